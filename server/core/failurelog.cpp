#include "server/core/failurelog.h"

#include "server/core/counters.h"

namespace velmora::server {

FailureLog::FailureLog(const LogSink &log, Counters &counters, Clock::duration interval)
    : log(log), counters(counters)
{
    throttles.fill(ThrottledLog(interval));
}

void FailureLog::failed(Kind kind, const std::string &line, Clock::time_point now)
{
    counters.connectionFailed(name(kind));
    ThrottledLog &throttle = throttles[static_cast<std::size_t>(kind)];
    if (throttle.happened(now))
        log(line + " (" + std::to_string(throttle.suppressed()) + " more like it before)");
}

const char *FailureLog::name(Kind kind)
{
    switch (kind) {
    case Kind::TlsHandshake:
        return "tls-handshake";
    case Kind::BadRequest:
        return "bad-request";
    case Kind::RequestTimeout:
        return "request-timeout";
    case Kind::UnknownPath:
        return "unknown-path";
    case Kind::WebSocketHandshake:
        return "websocket-handshake";
    case Kind::UnreadAnswers:
        return "unread-answers";
    case Kind::RedisUnavailable:
        return "redis-unavailable";
    }
    return "?";
}

} // namespace velmora::server
