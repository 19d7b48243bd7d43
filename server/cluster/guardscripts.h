// The Lua scripts that SharedGuard runs in Redis, with what each is given and what its answer
// means. The rules come in as arguments, computed by the same code as the one node's
// (LockoutSchedule::steps, ProbeLimit::headroom): the scripts keep state, they do not restate
// the rules. Each runs atomically, on Redis's clock (one clock for every node).
#pragma once

#include "server/cluster/redisclient.h"
#include "server/core/attemptguard.h"
#include "server/core/lockouts.h"
#include "server/core/probelimiter.h"

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmora::server {

class GuardScripts
{
public:
    /// What an ending does to the ID.
    enum class Ending { Accepted, Guess, NoGuess };
    static Ending kindOf(const AttemptGuard::Ending &ending);

    GuardScripts(LockoutSchedule lockouts, ProbeLimit probes);

    /// KEYS: the address's probe bucket, then the ID's lock (none for a malformed ID, so that
    /// such an ID never becomes a key). Answers {answer, wait in microseconds}: 0 admitted, 1
    /// too-many-attempts, 2 invalid-id, 3 locked, asked in AttemptGuard::admit's order.
    const RedisScript admit;
    /// KEYS: the address's probe bucket, which pays one probe. Answers 0.
    const RedisScript ledNowhere;
    /// KEYS: the ID's lock, then the supporter's probe bucket when its address pays a probe.
    /// Answers {refusals in a row, lock left in microseconds}, as AttemptGuard::handshakeEnded.
    const RedisScript ended;
    /// KEYS: the ID's lock, none for a malformed ID (never locked). Answers the lock left in
    /// microseconds.
    const RedisScript lockedFor;

    std::array<const RedisScript *, 4> all() const
    {
        return {&admit, &ledNowhere, &ended, &lockedFor};
    }

    std::vector<std::string> admitArguments() const;
    std::vector<std::string> ledNowhereArguments() const;
    std::vector<std::string> endedArguments(Ending how) const;

    /// The answer of `admit` as the one node's guard gives it: nothing when admitted; nothing
    /// either, with `valid` false, for an answer of another shape (an error).
    static std::optional<AttemptGuard::Refusal> refusalOf(const RedisReply &reply, bool &valid);
    /// {a, b} of two non-negative integers (the answers of `admit` and `ended`), else nothing.
    static std::optional<std::pair<long long, long long>> twoIntegers(const RedisReply &reply);
    /// A non-negative integer (the answers of `ledNowhere` and `lockedFor`), else nothing.
    static std::optional<long long> integerOf(const RedisReply &reply);
    /// Microseconds of Redis's clock as a wait told to a client: rounded up.
    static std::chrono::milliseconds fromMicroseconds(long long us);

private:
    const LockoutSchedule lockouts;
    const ProbeLimit probes;
};

} // namespace velmora::server
