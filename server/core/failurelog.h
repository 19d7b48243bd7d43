// Lines about single connections that failed: an attacker makes as many of them as connections.
#pragma once

#include "server/core/clock.h"
#include "server/core/connectioncounts.h"
#include "server/core/logsink.h"

#include <array>
#include <cstddef>
#include <string>

namespace velmora::server {

class Counters;

/// Says each kind of failure once per interval, with how many went unsaid since (one address
/// failing TLS handshakes in a loop wrote ten thousand lines a second), and counts every one
/// (Counters::connectionFailed, as /metrics shows them). Runs on the server's thread.
class FailureLog
{
public:
    enum class Kind {
        TlsHandshake,
        BadRequest,
        RequestTimeout,
        UnknownPath,
        WebSocketHandshake,
        UnreadAnswers,
        RedisUnavailable,
    };
    static constexpr std::size_t kKinds = 7;

    /// `log` and `counters` must outlive the failure log.
    FailureLog(const LogSink &log, Counters &counters,
               Clock::duration interval = std::chrono::seconds(10));

    /// A connection failed as `kind`: `line` goes to the log with " (N more like it before)",
    /// unless a line of this kind went there less than an interval before `now`.
    void failed(Kind kind, const std::string &line, Clock::time_point now = Clock::now());

    /// The metrics' label for `kind` ("tls-handshake", "bad-request", ...).
    static const char *name(Kind kind);

private:
    const LogSink &log;
    Counters &counters;
    std::array<ThrottledLog, kKinds> throttles;
};

} // namespace velmora::server
