// The defence against guessing for a cluster of nodes: the same answers as AttemptGuard, with the
// locks of the session IDs and the probe budgets of the client addresses kept in Redis, so that
// the bound on guesses per ID holds for the whole cluster and a supporter who spreads its
// attempts over several nodes gets no more of them than on one. Every answer comes from a Lua
// script that Redis runs atomically, with the time taken from Redis's own clock (one clock for
// every node). Every key expires once it is as good as forgotten.
//
// Keys (PREFIX is the constructor's `prefix`):
//   PREFIX lock:ID       hash {n: refusals in a row, last: last refusal, until: end of the lock},
//                        times in microseconds of Redis's clock; expires when its lock has ended
//                        and a day has passed since its last refusal. Only well-formed IDs.
//   PREFIX probe:CLIENT  string: when the address's probe bucket is full again (microseconds);
//                        expires then.
// Both keys of one call are in the same script, so a Redis Cluster (hash slots) is not supported:
// one Redis, with replicas for availability.
//
// Runs on the thread of the RedisClient's io_context.
#pragma once

#include "server/core/attemptguard.h"
#include "server/core/lockouts.h"
#include "server/core/probelimiter.h"
#include "server/net/redisclient.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace velmora::server {

class SharedGuard
{
public:
    /// The answer to admit.
    struct Admission
    {
        enum class Kind {
            /// The supporter may go on to the ID's agent.
            Allowed,
            /// See refusal.
            Refused,
            /// Redis did not answer, or a refused guess on this ID is not in Redis yet: the
            /// caller refuses the supporter. Never to be taken as allowed.
            Unavailable
        };
        Kind kind = Kind::Unavailable;
        /// When Refused: what the supporter is told, as AttemptGuard::admit.
        AttemptGuard::Refusal refusal{kUnsupportedSecurity, {}};

        bool allowed() const { return kind == Kind::Allowed; }
    };

    struct Stats
    {
        /// Admissions answered Unavailable.
        std::uint64_t unavailable = 0;
        /// Probes (ledNowhere) that Redis did not record.
        std::uint64_t probesLost = 0;
        /// Handshake endings that Redis did not record at once, and how many of them it recorded
        /// later.
        std::uint64_t verdictsQueued = 0;
        std::uint64_t verdictsReplayed = 0;
        /// Refused guesses pushed out of a full queue: lost to the cluster's count.
        std::uint64_t guessesDropped = 0;
        /// Endings waiting in the queue now.
        std::size_t pending = 0;
    };

    /// An ID with refused attempts is remembered this long after its last one (and at least
    /// until its lock ends), as Lockouts does by default.
    static constexpr std::chrono::hours kForgetAfter{24};
    /// At most this many endings wait for Redis. When it is full, endings that are no guess go
    /// first (they only cost a probe or forgive an ID); a guess goes last, and is counted and
    /// logged.
    static constexpr std::size_t kMaxPending = 256;

    /// `redis` must outlive the guard and is used from its io_context's thread only. `log` gets
    /// a line for a guess that could not be kept (may be empty).
    SharedGuard(RedisClient &redis, LockoutSchedule lockouts = {}, ProbeLimit probes = {},
                std::string prefix = "velmora:", std::function<void(const std::string &)> log = {});
    ~SharedGuard();
    SharedGuard(const SharedGuard &) = delete;
    SharedGuard &operator=(const SharedGuard &) = delete;

    // Every `done` is called once, later on the loop (never from inside the call), unless the
    // guard is destroyed first: then never. Answers to different calls may come in another order
    // than the calls (after Redis restarts, a script is loaded again on its first use).

    /// May the supporter from `client` (see clientKey) try `id` (as requested, perhaps
    /// malformed)? Asked in AttemptGuard::admit's order: too-many-attempts while the address
    /// waits for a probe; invalid-id for a malformed ID, which takes a probe (a malformed ID is
    /// never stored); locked while the ID is locked.
    void admit(const std::string &client, const std::string &id,
               std::function<void(Admission)> done);

    /// The well-formed ID that `client` asked for led nowhere: takes one of its probes. When
    /// Redis does not record it, it is counted in Stats::probesLost and not sent again.
    void ledNowhere(const std::string &client);

    /// The security handshake of a session with `id` ended: AttemptGuard::handshakeEnded's
    /// verdict, computed and recorded in Redis. Nothing when Redis did not answer: the ending is
    /// then kept (see kMaxPending) and sent again once Redis is back, so that an outage cannot
    /// take a guess off the cluster's count, and until it is recorded admit answers Unavailable
    /// for `id`. Precondition: `id` is a session ID (it was admitted); for any other, nothing is
    /// stored and the answer is nothing.
    void handshakeEnded(const std::string &id, const AttemptGuard::Ending &ending,
                        std::function<void(std::optional<AttemptGuard::Verdict>)> done);

    /// What is left of the lock on `id`, rounded up to milliseconds (zero when it may be tried;
    /// always zero for a malformed ID). Nothing when Redis did not answer, or while a refused
    /// guess on `id` waits to be recorded.
    void lockedFor(const std::string &id,
                   std::function<void(std::optional<std::chrono::milliseconds>)> done);

    Stats stats() const;

private:
    struct State;
    std::shared_ptr<State> state;
};

} // namespace velmora::server
