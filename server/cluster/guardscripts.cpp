#include "server/cluster/guardscripts.h"

#include "server/core/clock.h"

namespace velmora::server {

namespace {

using namespace std::chrono;

// The start of every script: the time, and how the state of a probe bucket and of a lock is
// read and written. Durations come in as milliseconds (ARGV) and are kept in microseconds.
constexpr const char *kPrelude = R"lua(
-- Redis's clock, not the node's: every node of the cluster sees the same time.
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000000 + tonumber(t[2])

-- Times are stored as whole microseconds; tostring would cut them to 14 digits.
local function num(x)
    return string.format('%.0f', x)
end

-- As ProbeLimiter::waitFor: the key holds when the bucket is full again (no key: full now),
-- and it has a token while that is at most `headroom` ahead.
local function probeWait(key, headroom)
    local full = math.max(tonumber(redis.call('GET', key)) or now, now)
    return math.max(0, full - headroom - now)
end

-- As ProbeLimiter::probed: one token less; the key lives until the bucket is full again.
local function probed(key, interval)
    local full = math.max(tonumber(redis.call('GET', key)) or now, now) + interval
    redis.call('SET', key, num(full), 'PX', num(math.max(1, math.ceil((full - now) / 1000))))
end

-- As Lockouts::lockedFor.
local function lockLeft(key)
    local ends = tonumber(redis.call('HGET', key, 'until'))
    if not ends then
        return 0
    end
    return math.max(0, ends - now)
end

-- As AttemptGuard::waitOn: the address's own lock, or the ID's empty budget of guesses.
local function idWait(lockKey, budgetKey, budgetHeadroom)
    return math.max(lockLeft(lockKey), probeWait(budgetKey, budgetHeadroom))
end
)lua";

// ARGV: headroom, interval, the ID budget's headroom (see GuardScripts::admitArguments).
constexpr const char *kAdmit = R"lua(
local headroom, interval = tonumber(ARGV[1]) * 1000, tonumber(ARGV[2]) * 1000
local wait = probeWait(KEYS[1], headroom)
if wait > 0 then
    return {1, wait}
end
if not KEYS[2] then
    probed(KEYS[1], interval)
    return {2, 0}
end
wait = idWait(KEYS[2], KEYS[3], tonumber(ARGV[3]) * 1000)
if wait > 0 then
    return {3, wait}
end
return {0, 0}
)lua";

// ARGV: interval.
constexpr const char *kLedNowhere = R"lua(
probed(KEYS[1], tonumber(ARGV[1]) * 1000)
return 0
)lua";

// KEYS: the address's own lock on the ID, the ID's budget of guesses, the address's probes.
// ARGV: how (accepted, guess, probe: no guess that the address pays a probe for, or noguess),
// forget, probe interval, the ID budget's headroom and interval, then the own locks' schedule
// (LockoutSchedule::ownLocks, its steps).
constexpr const char *kEnded = R"lua(
local how = ARGV[1]
local forget, interval = tonumber(ARGV[2]) * 1000, tonumber(ARGV[3]) * 1000
local budgetHeadroom, budgetInterval = tonumber(ARGV[4]) * 1000, tonumber(ARGV[5]) * 1000
local first = 6
if how == 'accepted' then
    redis.call('DEL', KEYS[1])
    return {0, 0}
end
if how == 'guess' then
    -- As Lockouts::refused: the schedule's n-th lock (its last one from there on), never
    -- shortening a lock in effect.
    local n = (tonumber(redis.call('HGET', KEYS[1], 'n')) or 0) + 1
    local lock = tonumber(ARGV[first - 1 + math.min(n, #ARGV - first + 1)]) * 1000
    local ends = math.max(tonumber(redis.call('HGET', KEYS[1], 'until')) or 0, now + lock)
    redis.call('HSET', KEYS[1], 'n', n, 'last', num(now), 'until', num(ends))
    -- Forgotten as Lockouts::forgetIdle forgets: the lock has ended and `forget` has passed.
    local keep = math.max(ends, now + forget) - now
    redis.call('PEXPIRE', KEYS[1], num(math.max(1, math.ceil(keep / 1000))))
    -- As AttemptGuard::handshakeEnded: a guess from the ID's budget, a probe from the address.
    probed(KEYS[2], budgetInterval)
    probed(KEYS[3], interval)
    return {n, idWait(KEYS[1], KEYS[2], budgetHeadroom)}
end
-- Before the password response: no guess, the locks are only read.
if how == 'probe' then
    probed(KEYS[3], interval)
end
return {tonumber(redis.call('HGET', KEYS[1], 'n')) or 0, idWait(KEYS[1], KEYS[2], budgetHeadroom)}
)lua";

// KEYS: the ID's budget of guesses, none for a malformed ID. ARGV: its headroom.
constexpr const char *kLockedFor = R"lua(
if not KEYS[1] then
    return 0
end
return probeWait(KEYS[1], tonumber(ARGV[1]) * 1000)
)lua";

// ARGV: headroom, interval of the budget of new IDs.
constexpr const char *kNewId = R"lua(
local wait = probeWait(KEYS[1], tonumber(ARGV[1]) * 1000)
if wait > 0 then
    return wait
end
probed(KEYS[1], tonumber(ARGV[2]) * 1000)
return 0
)lua";

std::string argument(milliseconds duration)
{
    return std::to_string(duration.count());
}

} // namespace

GuardScripts::Ending GuardScripts::kindOf(const AttemptGuard::Ending &ending)
{
    if (ending.how == RfbHandshake::Refusal::None)
        return Ending::Accepted;
    if (ending.responseSent)
        return Ending::Guess;
    return ending.supporterEnded ? Ending::Probe : Ending::NoGuess;
}

GuardScripts::GuardScripts(LockoutSchedule lockouts, ProbeLimit probes, ProbeLimit newIds)
    : admit(std::string(kPrelude) + kAdmit), ledNowhere(std::string(kPrelude) + kLedNowhere),
      ended(std::string(kPrelude) + kEnded), lockedFor(std::string(kPrelude) + kLockedFor),
      newId(std::string(kPrelude) + kNewId), ownLocks(lockouts.ownLocks()),
      idBudget(lockouts.idBudget()), probes(probes), newIds(newIds)
{}

std::vector<std::string> GuardScripts::lockedForArguments() const
{
    return {argument(idBudget.headroom())};
}

std::vector<std::string> GuardScripts::newIdArguments() const
{
    return {argument(newIds.headroom()), argument(newIds.interval)};
}

std::vector<std::string> GuardScripts::admitArguments() const
{
    return {argument(probes.headroom()), argument(probes.interval), argument(idBudget.headroom())};
}

std::vector<std::string> GuardScripts::ledNowhereArguments() const
{
    return {argument(probes.interval)};
}

std::vector<std::string> GuardScripts::endedArguments(Ending how) const
{
    std::vector<std::string> arguments{how == Ending::Accepted ? "accepted"
                                       : how == Ending::Guess  ? "guess"
                                       : how == Ending::Probe  ? "probe"
                                                               : "noguess",
                                       argument(duration_cast<milliseconds>(kForgetLocksAfter)),
                                       argument(probes.interval), argument(idBudget.headroom()),
                                       argument(idBudget.interval)};
    for (const milliseconds lock : ownLocks.steps())
        arguments.push_back(argument(lock));
    return arguments;
}

std::optional<AttemptGuard::Refusal> GuardScripts::refusalOf(const RedisReply &reply, bool &valid)
{
    const auto answer = twoIntegers(reply);
    valid = answer && answer->first <= 3;
    if (!valid || answer->first == 0)
        return std::nullopt;
    const milliseconds wait = fromMicroseconds(answer->second);
    if (answer->first == 1)
        return AttemptGuard::Refusal{kTooManyAttempts, wait};
    if (answer->first == 2)
        return AttemptGuard::Refusal{kInvalidId, {}};
    return AttemptGuard::Refusal{kLocked, wait};
}

std::optional<std::pair<long long, long long>> GuardScripts::twoIntegers(const RedisReply &reply)
{
    if (reply.type != RedisReply::Type::Array || reply.elements.size() != 2)
        return std::nullopt;
    const auto a = integerOf(reply.elements[0]);
    const auto b = integerOf(reply.elements[1]);
    if (!a || !b)
        return std::nullopt;
    return std::make_pair(*a, *b);
}

std::optional<long long> GuardScripts::integerOf(const RedisReply &reply)
{
    if (reply.type != RedisReply::Type::Integer || reply.integer < 0)
        return std::nullopt;
    return reply.integer;
}

milliseconds GuardScripts::fromMicroseconds(long long us)
{
    return roundUpMs(microseconds(us));
}

} // namespace velmora::server
