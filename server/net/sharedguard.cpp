#include "server/net/sharedguard.h"

#include "server/core/clock.h"
#include "server/core/sessionids.h"

#include <deque>
#include <unordered_map>
#include <utility>

namespace velmora::server {

namespace {

using namespace std::chrono;

// The start of every script: the time, and the pieces of ProbeLimiter and Lockouts that more than
// one script needs. Durations come in as milliseconds (ARGV) and are kept in microseconds.
constexpr const char *kPrelude = R"lua(
-- Redis's clock, not the node's: every node of the cluster sees the same time.
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000000 + tonumber(t[2])

-- Times are stored as whole microseconds; tostring would cut them to 14 digits.
local function num(x)
    return string.format('%.0f', x)
end

-- ProbeLimiter::waitFor. The key holds when the bucket is full again; it has a token while that
-- is at most burst - 1 intervals away. An expired key is a full bucket.
local function probeWait(key, burst, interval)
    if burst == 0 then
        return interval
    end
    local full = tonumber(redis.call('GET', key))
    if not full then
        return 0
    end
    return math.max(0, full - (burst - 1) * interval - now)
end

-- ProbeLimiter::probed: one token less; the key lives until the bucket is full again.
local function probed(key, interval)
    local full = math.max(tonumber(redis.call('GET', key)) or now, now) + interval
    redis.call('SET', key, num(full), 'PX', num(math.max(1, math.ceil((full - now) / 1000))))
end

-- Lockouts::lockedFor.
local function lockLeft(key)
    local ends = tonumber(redis.call('HGET', key, 'until'))
    if not ends then
        return 0
    end
    return math.max(0, ends - now)
end
)lua";

// KEYS[1] the address's probe bucket, KEYS[2] the ID's lock (none for a malformed ID, so that
// such an ID never becomes a key). ARGV burst, interval. Returns {answer, wait in microseconds}:
// 0 admitted, 1 too-many-attempts, 2 invalid-id, 3 locked. The order is AttemptGuard::admit's: an
// address that waits learns nothing about any ID.
constexpr const char *kAdmit = R"lua(
local burst, interval = tonumber(ARGV[1]), tonumber(ARGV[2]) * 1000
local wait = probeWait(KEYS[1], burst, interval)
if wait > 0 then
    return {1, wait}
end
if not KEYS[2] then
    probed(KEYS[1], interval)
    return {2, 0}
end
wait = lockLeft(KEYS[2])
if wait > 0 then
    return {3, wait}
end
return {0, 0}
)lua";

// KEYS[1] the address's probe bucket. ARGV interval.
constexpr const char *kLedNowhere = R"lua(
probed(KEYS[1], tonumber(ARGV[1]) * 1000)
return 0
)lua";

// KEYS[1] the ID's lock, KEYS[2] the supporter's probe bucket when its address pays a probe.
// ARGV how (accepted, guess or noguess), base, cap, forget, probe interval. Returns {refusals in
// a row, lock left in microseconds}, as AttemptGuard::handshakeEnded computes them.
constexpr const char *kEnded = R"lua(
local how = ARGV[1]
local base, cap = tonumber(ARGV[2]) * 1000, tonumber(ARGV[3]) * 1000
local forget, interval = tonumber(ARGV[4]) * 1000, tonumber(ARGV[5]) * 1000
if how == 'accepted' then
    redis.call('DEL', KEYS[1])
    return {0, 0}
end
if how == 'guess' then
    -- Lockouts::refused: base * 2^(n-1), at most cap, never shortening a lock in effect.
    local n = (tonumber(redis.call('HGET', KEYS[1], 'n')) or 0) + 1
    local lock = base
    for i = 2, n do
        if lock >= cap then
            break
        end
        lock = lock * 2
    end
    lock = math.min(lock, cap)
    local ends = math.max(tonumber(redis.call('HGET', KEYS[1], 'until')) or 0, now + lock)
    redis.call('HSET', KEYS[1], 'n', n, 'last', num(now), 'until', num(ends))
    -- Forgotten as Lockouts::forgetIdle forgets: the lock has ended and a day has passed.
    local keep = math.max(ends, now + forget) - now
    redis.call('PEXPIRE', KEYS[1], num(math.max(1, math.ceil(keep / 1000))))
    return {n, ends - now}
end
-- Before the password response: no guess, the ID is only read.
if KEYS[2] then
    probed(KEYS[2], interval)
end
return {tonumber(redis.call('HGET', KEYS[1], 'n')) or 0, lockLeft(KEYS[1])}
)lua";

// KEYS[1] the ID's lock, none for a malformed ID (never locked). Returns the lock left in
// microseconds.
constexpr const char *kLockedFor = R"lua(
if not KEYS[1] then
    return 0
end
return lockLeft(KEYS[1])
)lua";

const RedisScript &admitScript()
{
    static const RedisScript script(std::string(kPrelude) + kAdmit);
    return script;
}

const RedisScript &ledNowhereScript()
{
    static const RedisScript script(std::string(kPrelude) + kLedNowhere);
    return script;
}

const RedisScript &endedScript()
{
    static const RedisScript script(std::string(kPrelude) + kEnded);
    return script;
}

const RedisScript &lockedForScript()
{
    static const RedisScript script(std::string(kPrelude) + kLockedFor);
    return script;
}

std::optional<long long> integerOf(const RedisReply &reply)
{
    if (reply.type != RedisReply::Type::Integer)
        return std::nullopt;
    return reply.integer;
}

/// {a, b} of two integers, anything else (an error, a reply of another shape) nothing.
std::optional<std::pair<long long, long long>> twoIntegers(const RedisReply &reply)
{
    if (reply.type != RedisReply::Type::Array || reply.elements.size() != 2)
        return std::nullopt;
    const auto a = integerOf(reply.elements[0]);
    const auto b = integerOf(reply.elements[1]);
    if (!a || !b || *a < 0 || *b < 0)
        return std::nullopt;
    return std::make_pair(*a, *b);
}

milliseconds fromMicroseconds(long long us)
{
    return roundUpMs(microseconds(us));
}

std::string argument(milliseconds duration)
{
    return std::to_string(duration.count());
}

enum class EndingKind { Accepted, Guess, NoGuess };

EndingKind kindOf(const AttemptGuard::Ending &ending)
{
    if (ending.how == RfbHandshake::Refusal::None)
        return EndingKind::Accepted;
    return ending.responseSent ? EndingKind::Guess : EndingKind::NoGuess;
}

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

    State(RedisClient &redis, LockoutSchedule lockouts, ProbeLimit probes, std::string prefix,
          std::function<void(const std::string &)> log)
        : redis(redis), lockouts(lockouts), probes(probes), prefix(std::move(prefix)),
          log(std::move(log))
    {}

    std::string lockKey(const std::string &id) const { return prefix + "lock:" + id; }
    std::string probeKey(const std::string &client) const { return prefix + "probe:" + client; }

    std::vector<std::string> endedKeys(const std::string &id,
                                       const AttemptGuard::Ending &ending) const
    {
        std::vector<std::string> keys{lockKey(id)};
        if (kindOf(ending) == EndingKind::NoGuess && ending.supporterEnded)
            keys.push_back(probeKey(ending.client));
        return keys;
    }

    std::vector<std::string> endedArguments(const AttemptGuard::Ending &ending) const
    {
        const char *how = "noguess";
        if (kindOf(ending) == EndingKind::Accepted)
            how = "accepted";
        else if (kindOf(ending) == EndingKind::Guess)
            how = "guess";
        return {how, argument(lockouts.base), argument(lockouts.cap),
                argument(duration_cast<milliseconds>(kForgetAfter)), argument(probes.interval)};
    }

    AttemptGuard::Verdict verdictOf(const AttemptGuard::Ending &ending,
                                    std::pair<long long, long long> answer) const
    {
        AttemptGuard::Verdict verdict;
        const EndingKind kind = kindOf(ending);
        if (kind == EndingKind::Accepted) {
            verdict.accepted = true;
            return verdict;
        }
        verdict.reason = AttemptGuard::reasonFor(ending.how);
        verdict.guess = kind == EndingKind::Guess;
        verdict.probeTaken = kind == EndingKind::NoGuess && ending.supporterEnded;
        verdict.refusalsInARow = unsigned(answer.first);
        verdict.lock = fromMicroseconds(answer.second);
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
            if (kindOf(it->ending) != EndingKind::Guess) {
                victim = it;
                break;
            }
        }
        if (kindOf(victim->ending) == EndingKind::Guess) {
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
            redis.eval(endedScript(), endedKeys(entry.id, entry.ending),
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
            if (twoIntegers(reply)) {
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

    RedisClient &redis;
    const LockoutSchedule lockouts;
    const ProbeLimit probes;
    const std::string prefix;
    const std::function<void(const std::string &)> log;
    Stats counts;
    std::deque<Pending> pending;
    /// How many endings wait per ID.
    std::unordered_map<std::string, unsigned> pendingIds;
    std::uint64_t nextSeq = 1;
    Clock::time_point lastReplay{};
};

SharedGuard::SharedGuard(RedisClient &redis, LockoutSchedule lockouts, ProbeLimit probes,
                         std::string prefix, std::function<void(const std::string &)> log)
    : state(std::make_shared<State>(redis, lockouts, probes, std::move(prefix), std::move(log)))
{
    redis.onConnected([self = std::weak_ptr<State>(state)] {
        const auto state = self.lock();
        if (!state)
            return;
        // Loaded before anything else goes out on the new connection, so that no EVALSHA of
        // ours meets a Redis that has forgotten the script (after its restart) and is sent again
        // behind the commands that followed it: a guess is recorded before a later admit reads.
        for (const RedisScript *script :
             {&admitScript(), &ledNowhereScript(), &endedScript(), &lockedForScript()})
            state->redis.command({"SCRIPT", "LOAD", script->source}, [](const RedisReply &) {});
        state->replay(self);
    });
}

SharedGuard::~SharedGuard() = default;

void SharedGuard::admit(const std::string &client, const std::string &id,
                        std::function<void(Admission)> done)
{
    std::vector<std::string> keys{state->probeKey(client)};
    if (isSessionId(id))
        keys.push_back(state->lockKey(id));
    state->redis.eval(
        admitScript(), std::move(keys),
        {std::to_string(state->probes.burst), argument(state->probes.interval)},
        [self = std::weak_ptr<State>(state), id, done = std::move(done)](const RedisReply &reply) {
            const auto state = self.lock();
            if (!state)
                return;
            Admission admission;
            const auto answer = twoIntegers(reply);
            if (answer) {
                const milliseconds wait = fromMicroseconds(answer->second);
                switch (answer->first) {
                case 0:
                    admission.kind = Admission::Kind::Allowed;
                    break;
                case 1:
                    admission.kind = Admission::Kind::Refused;
                    admission.refusal = {kTooManyAttempts, wait};
                    break;
                case 2:
                    admission.kind = Admission::Kind::Refused;
                    admission.refusal = {kInvalidId, {}};
                    break;
                case 3:
                    admission.kind = Admission::Kind::Refused;
                    admission.refusal = {kLocked, wait};
                    break;
                default:
                    break;
                }
                state->answered(self);
            }
            // Redis does not know yet what the ending that waits will do to the ID.
            if (admission.allowed() && state->waitsToBeRecorded(id))
                admission.kind = Admission::Kind::Unavailable;
            if (admission.kind == Admission::Kind::Unavailable)
                ++state->counts.unavailable;
            done(admission);
        });
}

void SharedGuard::ledNowhere(const std::string &client)
{
    state->redis.eval(ledNowhereScript(), {state->probeKey(client)},
                      {argument(state->probes.interval)},
                      [self = std::weak_ptr<State>(state)](const RedisReply &reply) {
                          const auto state = self.lock();
                          if (!state)
                              return;
                          if (integerOf(reply))
                              state->answered(self);
                          else
                              ++state->counts.probesLost;
                      });
}

void SharedGuard::handshakeEnded(const std::string &id, const AttemptGuard::Ending &ending,
                                 std::function<void(std::optional<AttemptGuard::Verdict>)> done)
{
    if (!isSessionId(id)) {
        // Nothing to record; the script without a key only brings the answer later, as always.
        state->redis.eval(
            lockedForScript(), {}, {},
            [self = std::weak_ptr<State>(state), done = std::move(done)](const RedisReply &) {
                if (self.lock())
                    done(std::nullopt);
            });
        return;
    }
    state->redis.eval(endedScript(), state->endedKeys(id, ending), state->endedArguments(ending),
                      [self = std::weak_ptr<State>(state), id, ending,
                       done = std::move(done)](const RedisReply &reply) {
                          const auto state = self.lock();
                          if (!state)
                              return;
                          const auto answer = twoIntegers(reply);
                          if (!answer) {
                              state->keep(id, ending);
                              done(std::nullopt);
                              return;
                          }
                          state->answered(self);
                          done(state->verdictOf(ending, *answer));
                      });
}

void SharedGuard::lockedFor(const std::string &id,
                            std::function<void(std::optional<milliseconds>)> done)
{
    std::vector<std::string> keys;
    if (isSessionId(id))
        keys.push_back(state->lockKey(id));
    state->redis.eval(
        lockedForScript(), std::move(keys), {},
        [self = std::weak_ptr<State>(state), id, done = std::move(done)](const RedisReply &reply) {
            const auto state = self.lock();
            if (!state)
                return;
            const auto left = integerOf(reply);
            if (!left || *left < 0 || state->waitsToBeRecorded(id)) {
                done(std::nullopt);
                return;
            }
            state->answered(self);
            done(fromMicroseconds(*left));
        });
}

SharedGuard::Stats SharedGuard::stats() const
{
    Stats stats = state->counts;
    stats.pending = state->pending.size();
    return stats;
}

} // namespace velmora::server
