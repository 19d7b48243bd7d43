// Per client address: how many supporter connections for IDs that lead nowhere (unknown, offline
// or malformed) it may make, so that nobody can walk the ID space looking for agents. A token
// bucket: `burst` at once, then one every `interval`.
#pragma once

#include "server/core/clock.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace velmora::server {

struct ProbeLimit
{
    unsigned burst = 5;
    std::chrono::milliseconds interval{10000};

    /// How far ahead of now an address's bucket may be from full and still hold a token: burst - 1
    /// intervals (negative without a burst, so that every address waits an interval). A bucket
    /// is kept as the time it is full again; whatever keeps buckets elsewhere (the cluster's
    /// Redis) is given this number rather than the rule.
    std::chrono::milliseconds headroom() const;

    /// Probes one address can make within `window`, starting with a full bucket.
    std::uint64_t allowedWithin(std::chrono::milliseconds window) const;
};

/// New IDs that agents from one address may take (see AttemptGuard::newId): 240 at once, then
/// one every 15 s (240 an hour). The agents of an office share its address; each takes a new ID
/// when it starts, and keeps it across reconnections. A few hundred computers that start the
/// agent now and then stay far inside it, while an agent that connects and drops in a loop
/// leaves at most 240 IDs an hour in the directory.
inline constexpr ProbeLimit kNewIdLimit{240, std::chrono::milliseconds(15000)};

class ProbeLimiter
{
public:
    explicit ProbeLimiter(ProbeLimit limit = {});

    /// How long `address` must wait before its next connection is heard (zero: now). While it
    /// waits, every connection from it is refused, whatever the ID, so that the refusal itself
    /// tells nothing about the ID.
    Clock::duration waitFor(const std::string &address, Clock::time_point now) const;

    /// `address` asked for an ID that led nowhere: takes one token.
    void probed(const std::string &address, Clock::time_point now);

    /// Forgets addresses whose bucket is full again (they are as good as new).
    void forgetIdle(Clock::time_point now);

    std::size_t size() const { return full.size(); }
    const ProbeLimit &limit() const { return rules; }

private:
    ProbeLimit rules;
    // When each address's bucket is full again; a bucket holds burst - ceil((full - now) /
    // interval) tokens.
    std::unordered_map<std::string, Clock::time_point> full;
};

} // namespace velmora::server
