// How many connections each client holds, by what they are for, against per-client limits and a
// reserve of descriptors for the server itself.
#pragma once

#include "server/core/clock.h"

#include <array>
#include <cstddef>
#include <string>
#include <unordered_map>

namespace velmora::server {

/// Every connection holds a descriptor, and a process has only so many: without limits, a few
/// addresses could take them all (20,000 idle agent connections from two addresses did), and
/// then nobody connects, not even an operator asking for /metrics. Connections count against a
/// limit per client (the key clientKey gives; IPv6 by its /64) for each kind, and against the
/// process's descriptors minus a reserve: WebSocket connections may use all but the reserve,
/// plain HTTP (the page, /metrics) half of the reserve on top. No sockets.
class ConnectionCounts
{
public:
    enum class Kind { Http, Agent, Supporter };

    struct Limits
    {
        /// Per client, by kind.
        std::size_t http = 128;
        std::size_t agents = 1024;
        std::size_t supporters = 64;
        /// Descriptors the process may hold (its soft limit), and how many of them only plain
        /// HTTP and the server itself may use.
        std::size_t descriptors = 1024;
        std::size_t reserve = 64;
    };

    /// Why a connection may not be made.
    enum class Refusal { None, ClientLimit, ServerFull };

    ConnectionCounts();
    explicit ConnectionCounts(Limits limits);

    /// Counts one more connection of `kind` for `client`, or says why not (counting nothing).
    /// `inUse`: descriptors the process holds now, this connection's included.
    Refusal admit(Kind kind, const std::string &client, std::size_t inUse);
    /// A connection counted by admit ended (or changed kind: release, then admit the new kind).
    void release(Kind kind, const std::string &client);

    std::size_t count(Kind kind, const std::string &client) const;
    const Limits &limits() const { return bounds; }

private:
    std::size_t limitFor(Kind kind) const;

    Limits bounds;
    std::unordered_map<std::string, std::array<std::size_t, 3>> byClient;
};

/// Says a recurring trouble once per interval, with how often it happened meanwhile: a flood of
/// refused connections must not become a flood of log lines.
class ThrottledLog
{
public:
    explicit ThrottledLog(Clock::duration interval = std::chrono::seconds(10));
    /// The trouble happened at `now`: true when it is to be said now, with `suppressed()` times
    /// it happened unsaid since the last time it was.
    bool happened(Clock::time_point now);
    std::size_t suppressed() const { return unsaid; }

private:
    Clock::duration interval;
    Clock::time_point last{};
    bool saidOnce = false;
    std::size_t unsaid = 0;
    std::size_t pending = 0;
};

} // namespace velmora::server
