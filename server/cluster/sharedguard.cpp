#include "server/cluster/sharedguard.h"

#include "server/cluster/guardscripts.h"
#include "server/core/clock.h"
#include "server/core/sessionids.h"

#include <deque>
#include <unordered_map>
#include <utility>

namespace velmora::server {

namespace {

using namespace std::chrono;
using Scripts = GuardScripts;

} // namespace

struct SharedGuard::State
{
    struct Pending
    {
        std::uint64_t seq = 0;
        std::string id;
        AttemptGuard::Ending ending;
        bool inFlight = false;
    };

    State(RedisClient &redis, LockoutSchedule lockouts, ProbeLimit probes, ProbeLimit newIds,
          std::string prefix, std::function<void(const std::string &)> log,
          milliseconds replicaWait)
        : redis(redis), scripts(lockouts, probes, newIds), view(lockouts, probes, newIds),
          prefix(std::move(prefix)), log(std::move(log)), replicaWait(replicaWait)
    {}

    std::string lockKey(const std::string &id, const std::string &client) const
    {
        return prefix + "lock:" + id + ":" + client;
    }
    std::string budgetKey(const std::string &id) const { return prefix + "guesses:" + id; }
    std::string probeKey(const std::string &client) const { return prefix + "probe:" + client; }
    std::string newIdKey(const std::string &client) const { return prefix + "newid:" + client; }

    std::vector<std::string> endedKeys(const std::string &id,
                                       const AttemptGuard::Ending &ending) const
    {
        return {lockKey(id, ending.client), budgetKey(id), probeKey(ending.client)};
    }

    std::vector<std::string> endedArguments(const AttemptGuard::Ending &ending) const
    {
        return scripts.endedArguments(Scripts::kindOf(ending));
    }

    AttemptGuard::Verdict verdictOf(const AttemptGuard::Ending &ending,
                                    std::pair<long long, long long> answer) const
    {
        AttemptGuard::Verdict verdict;
        const Scripts::Ending kind = Scripts::kindOf(ending);
        if (kind == Scripts::Ending::Accepted) {
            verdict.accepted = true;
            return verdict;
        }
        verdict.reason = AttemptGuard::reasonFor(ending.how);
        verdict.guess = kind == Scripts::Ending::Guess;
        verdict.probeTaken = kind == Scripts::Ending::Probe;
        verdict.refusalsInARow = unsigned(answer.first);
        verdict.lock = Scripts::fromMicroseconds(answer.second);
        return verdict;
    }

    bool waitsToBeRecorded(const std::string &id) const { return pendingIds.count(id) != 0; }

    void keep(const std::string &id, const AttemptGuard::Ending &ending)
    {
        if (pending.size() >= kMaxPending)
            dropOne();
        pending.push_back(Pending{nextSeq++, id, ending, false});
        ++pendingIds[id];
        ++counts.verdictsQueued;
    }

    // The oldest ending that is no guess, else the oldest guess.
    void dropOne()
    {
        auto victim = pending.begin();
        for (auto it = pending.begin(); it != pending.end(); ++it) {
            if (Scripts::kindOf(it->ending) != Scripts::Ending::Guess) {
                victim = it;
                break;
            }
        }
        if (Scripts::kindOf(victim->ending) == Scripts::Ending::Guess) {
            ++counts.guessesDropped;
            if (log)
                log("Redis: a refused guess on " + victim->id +
                    " could not be recorded and was dropped: " + std::to_string(kMaxPending) +
                    " endings already wait for Redis");
        }
        forget(victim);
    }

    void forget(std::deque<Pending>::iterator entry)
    {
        const auto ids = pendingIds.find(entry->id);
        if (ids != pendingIds.end() && --ids->second == 0)
            pendingIds.erase(ids);
        pending.erase(entry);
    }

    // Sends the endings that wait and are not on their way already, oldest first.
    void replay(const std::weak_ptr<State> &self)
    {
        lastReplay = Clock::now();
        for (Pending &entry : pending) {
            if (entry.inFlight)
                continue;
            entry.inFlight = true;
            redis.eval(scripts.ended, endedKeys(entry.id, entry.ending),
                       endedArguments(entry.ending),
                       [self, seq = entry.seq](const RedisReply &reply) {
                           if (const auto state = self.lock())
                               state->onReplayed(seq, reply);
                       });
        }
    }

    void onReplayed(std::uint64_t seq, const RedisReply &reply)
    {
        // Gone when a full queue pushed it out meanwhile.
        for (auto it = pending.begin(); it != pending.end(); ++it) {
            if (it->seq != seq)
                continue;
            if (Scripts::twoIntegers(reply)) {
                forget(it);
                ++counts.verdictsReplayed;
            } else {
                it->inFlight = false;
            }
            return;
        }
    }

    // Redis answered one of our scripts: endings that failed again on the last reconnection (an
    // error of Redis, not of the connection) get another try, at most once a second.
    void answered(const std::weak_ptr<State> &self)
    {
        if (pending.empty() || Clock::now() - lastReplay < seconds(1))
            return;
        for (const Pending &entry : pending) {
            if (entry.inFlight)
                return;
        }
        replay(self);
    }

    // A recorded guess waits for a replica to hold it, then `done` gets `verdict`.
    void awaitReplica(const std::weak_ptr<State> &self, const std::string &id,
                      const AttemptGuard::Ending &ending, const AttemptGuard::Verdict &verdict,
                      std::function<void(AttemptGuard::Verdict)> done)
    {
        redis.command({"WAIT", "1", std::to_string(replicaWait.count())},
                      [self, id, ending, verdict, done = std::move(done)](const RedisReply &reply) {
                          const auto state = self.lock();
                          if (!state)
                              return;
                          if (reply.type == RedisReply::Type::Integer && reply.integer >= 1) {
                              // WAIT covers every earlier write of the connection.
                              state->unacknowledged.clear();
                          } else if (reply.isError()) {
                              // Lost with its primary, perhaps: recorded again after reconnecting.
                              state->keep(id, ending);
                          } else {
                              ++state->counts.replicaLate;
                              if (state->unacknowledged.size() >= kMaxPending)
                                  state->unacknowledged.pop_front();
                              state->unacknowledged.push_back({id, ending});
                          }
                          done(verdict);
                      });
    }

    // The connection is lost: guesses no replica acknowledged may be lost with the primary.
    void connectionLost()
    {
        for (auto &[id, ending] : unacknowledged)
            keep(id, ending);
        unacknowledged.clear();
    }

    RedisClient &redis;
    const GuardScripts scripts;
    /// This node's own view of the endings it was told: the answer while Redis gives none.
    AttemptGuard view;
    const std::string prefix;
    const std::function<void(const std::string &)> log;
    Stats counts;
    std::deque<Pending> pending;
    /// How many endings wait per ID.
    std::unordered_map<std::string, unsigned> pendingIds;
    std::uint64_t nextSeq = 1;
    Clock::time_point lastReplay{};
    const milliseconds replicaWait;
    /// Recorded guesses that no replica acknowledged yet.
    std::deque<std::pair<std::string, AttemptGuard::Ending>> unacknowledged;
};

SharedGuard::SharedGuard(RedisClient &redis, LockoutSchedule lockouts, ProbeLimit probes,
                         std::string prefix, std::function<void(const std::string &)> log,
                         ProbeLimit newIds, milliseconds replicaWait)
    : state(std::make_shared<State>(redis, lockouts, probes, newIds, std::move(prefix),
                                    std::move(log), replicaWait))
{
    redis.onLost([self = std::weak_ptr<State>(state)] {
        if (const auto state = self.lock())
            state->connectionLost();
    });
    redis.onConnected([self = std::weak_ptr<State>(state)] {
        const auto state = self.lock();
        if (!state)
            return;
        // Loaded before anything else goes out on the new connection, so that no EVALSHA of
        // ours meets a Redis that has forgotten the script (after its restart) and is sent again
        // behind the commands that followed it: a guess is recorded before a later admit reads.
        for (const RedisScript *script : state->scripts.all())
            state->redis.command({"SCRIPT", "LOAD", script->source}, [](const RedisReply &) {});
        state->replay(self);
    });
}

SharedGuard::~SharedGuard() = default;

void SharedGuard::admit(const std::string &client, const std::string &id,
                        std::function<void(Admission)> done)
{
    std::vector<std::string> keys{state->probeKey(client)};
    if (isSessionId(id)) {
        keys.push_back(state->lockKey(id, client));
        keys.push_back(state->budgetKey(id));
    }
    state->redis.eval(
        state->scripts.admit, std::move(keys), state->scripts.admitArguments(),
        [self = std::weak_ptr<State>(state), id, done = std::move(done)](const RedisReply &reply) {
            const auto state = self.lock();
            if (!state)
                return;
            Admission admission;
            bool answered = false;
            if (const auto refusal = Scripts::refusalOf(reply, answered)) {
                admission.kind = Admission::Kind::Refused;
                admission.refusal = *refusal;
            } else if (answered) {
                // Redis does not know yet what the ending that waits will do to the ID.
                admission.kind = state->waitsToBeRecorded(id) ? Admission::Kind::Unavailable
                                                              : Admission::Kind::Allowed;
            }
            if (answered)
                state->answered(self);
            if (admission.kind == Admission::Kind::Unavailable)
                ++state->counts.unavailable;
            done(admission);
        });
}

void SharedGuard::ledNowhere(const std::string &client)
{
    state->redis.eval(state->scripts.ledNowhere, {state->probeKey(client)},
                      state->scripts.ledNowhereArguments(),
                      [self = std::weak_ptr<State>(state)](const RedisReply &reply) {
                          const auto state = self.lock();
                          if (!state)
                              return;
                          if (Scripts::integerOf(reply))
                              state->answered(self);
                          else
                              ++state->counts.probesLost;
                      });
}

void SharedGuard::handshakeEnded(const std::string &id, const AttemptGuard::Ending &ending,
                                 std::function<void(AttemptGuard::Verdict)> done)
{
    const AttemptGuard::Verdict own = state->view.handshakeEnded(id, ending, Clock::now());
    if (!isSessionId(id)) {
        // Nothing to record; the script without a key only brings the answer later, as always.
        state->redis.eval(
            state->scripts.lockedFor, {}, {},
            [self = std::weak_ptr<State>(state), own, done = std::move(done)](const RedisReply &) {
                if (self.lock())
                    done(own);
            });
        return;
    }
    state->redis.eval(state->scripts.ended, state->endedKeys(id, ending),
                      state->endedArguments(ending),
                      [self = std::weak_ptr<State>(state), id, ending, own,
                       done = std::move(done)](const RedisReply &reply) {
                          const auto state = self.lock();
                          if (!state)
                              return;
                          const auto answer = Scripts::twoIntegers(reply);
                          if (!answer) {
                              state->keep(id, ending);
                              done(own);
                              return;
                          }
                          state->answered(self);
                          const AttemptGuard::Verdict verdict = state->verdictOf(ending, *answer);
                          if (verdict.guess && state->replicaWait.count() > 0)
                              state->awaitReplica(self, id, ending, verdict, std::move(done));
                          else
                              done(verdict);
                      });
}

void SharedGuard::newId(const std::string &client,
                        std::function<void(std::optional<milliseconds>)> done)
{
    state->redis.eval(
        state->scripts.newId, {state->newIdKey(client)}, state->scripts.newIdArguments(),
        [self = std::weak_ptr<State>(state), done = std::move(done)](const RedisReply &reply) {
            const auto state = self.lock();
            if (!state)
                return;
            const auto wait = Scripts::integerOf(reply);
            if (!wait) {
                done(std::nullopt);
                return;
            }
            state->answered(self);
            done(Scripts::fromMicroseconds(*wait));
        });
}

void SharedGuard::lockedFor(const std::string &id, std::function<void(milliseconds)> done)
{
    std::vector<std::string> keys;
    if (isSessionId(id))
        keys.push_back(state->budgetKey(id));
    state->redis.eval(
        state->scripts.lockedFor, std::move(keys), state->scripts.lockedForArguments(),
        [self = std::weak_ptr<State>(state), id, done = std::move(done)](const RedisReply &reply) {
            const auto state = self.lock();
            if (!state)
                return;
            const auto left = Scripts::integerOf(reply);
            if (!left || state->waitsToBeRecorded(id)) {
                done(state->view.lockedFor(id, Clock::now()));
                return;
            }
            state->answered(self);
            done(Scripts::fromMicroseconds(*left));
        });
}

void SharedGuard::forgetIdle(Clock::time_point now)
{
    state->view.forgetIdle(now);
}

SharedGuard::Stats SharedGuard::stats() const
{
    Stats stats = state->counts;
    stats.pending = state->pending.size();
    return stats;
}

} // namespace velmora::server
