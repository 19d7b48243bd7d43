// The defence against guessing for a cluster of nodes: the same answers as the one node's guard,
// with the locks of the session IDs and the probe budgets of the client addresses kept in Redis,
// so that the bound on guesses per ID holds for the whole cluster and a supporter who spreads its
// attempts over several nodes gets no more of them than on one. Every answer comes from a Lua
// script that Redis runs atomically (see GuardScripts). Every key expires once it is as good as
// forgotten.
//
// Keys (PREFIX is the constructor's `prefix`):
//   PREFIX lock:ID:CLIENT  the lock that the address put on the ID for itself: hash {n: refusals
//                        in a row, last: last refusal, until: end of the lock}, times in
//                        microseconds of Redis's clock; expires when its lock has ended and a day
//                        has passed since its last refusal. Only well-formed IDs.
//   PREFIX guesses:ID    string: when the ID's budget of guesses is full again (microseconds), a
//                        bucket as the probes'; expires then.
//   PREFIX probe:CLIENT  string: when the address's probe bucket is full again (microseconds);
//                        expires then.
//   PREFIX newid:CLIENT  string: the same for the address's budget of new IDs.
// Both keys of one call are in the same script, so a Redis Cluster (hash slots) is not supported:
// one Redis, with replicas for availability.
//
// With a replica (Redis under Sentinel), a refused guess is answered only once a replica holds
// its lock too (WAIT 1), for at most `replicaWait`: a failover then keeps every lock that a
// supporter has been told of. A guess that no replica acknowledged in time is kept by this node
// and recorded again on whichever primary it reconnects to after a lost connection (on the same
// primary after a mere break it counts twice, which locks longer, never shorter).
//
// The guard also keeps this node's own view of the endings it was told (an AttemptGuard): when
// Redis does not answer, that view is the answer to handshakeEnded and lockedFor, while admit
// answers Unavailable. Runs on the thread of the RedisClient's io_context.
#pragma once

#include "server/cluster/redisclient.h"
#include "server/core/attemptguard.h"
#include "server/core/lockouts.h"
#include "server/core/probelimiter.h"
#include "server/net/guard.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace velmora::server {

class SharedGuard : public Guard
{
public:
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
        /// Refused guesses that no replica acknowledged within replicaWait.
        std::uint64_t replicaLate = 0;
    };

    /// At most this many endings wait for Redis. When it is full, endings that are no guess go
    /// first (they only cost a probe or forgive an ID); a guess goes last, and is counted and
    /// logged.
    static constexpr std::size_t kMaxPending = 256;

    /// `redis` must outlive the guard and is used from its io_context's thread only. `log` gets
    /// a line for a guess that could not be kept (may be empty). `replicaWait`: how long a
    /// refused guess waits for a replica's acknowledgement; zero when Redis has no replica.
    SharedGuard(RedisClient &redis, LockoutSchedule lockouts = {}, ProbeLimit probes = {},
                std::string prefix = "velmora:", std::function<void(const std::string &)> log = {},
                ProbeLimit newIds = kNewIdLimit, std::chrono::milliseconds replicaWait = {});
    ~SharedGuard() override;
    SharedGuard(const SharedGuard &) = delete;
    SharedGuard &operator=(const SharedGuard &) = delete;

    // Answers to different calls may come in another order than the calls (after Redis
    // restarts, a script is loaded again on its first use).

    /// As Guard::admit; Unavailable when Redis does not answer, and while a refused guess on
    /// `id` waits to be recorded. A malformed ID is never stored.
    void admit(const std::string &client, const std::string &id,
               std::function<void(Admission)> done) override;

    /// As Guard::ledNowhere. When Redis does not record it, it is counted in Stats::probesLost
    /// and not sent again.
    void ledNowhere(const std::string &client) override;

    /// As Guard::handshakeEnded, computed and recorded in Redis. When Redis does not answer, the
    /// ending is kept (see kMaxPending) and sent again once Redis is back, so that an outage
    /// cannot take a guess off the cluster's count, and the answer is this node's own view.
    /// Nothing is stored for an `id` that is not a session ID (the answer is this node's view).
    void handshakeEnded(const std::string &id, const AttemptGuard::Ending &ending,
                        std::function<void(AttemptGuard::Verdict)> done) override;

    /// As Guard::newId, the budget kept in Redis for the whole cluster; nothing when Redis does
    /// not answer (no new ID is sure to be unique then anyway).
    void newId(const std::string &client,
               std::function<void(std::optional<std::chrono::milliseconds>)> done) override;

    /// As Guard::lockedFor (always zero for a malformed ID); this node's own view when Redis
    /// does not answer, or while a refused guess on `id` waits to be recorded.
    void lockedFor(const std::string &id,
                   std::function<void(std::chrono::milliseconds)> done) override;

    /// Forgets what this node's own view holds that is as good as new.
    void forgetIdle(Clock::time_point now) override;

    Stats stats() const;

private:
    struct State;
    std::shared_ptr<State> state;
};

} // namespace velmora::server
