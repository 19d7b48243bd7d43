// The Lua scripts that SharedGuard runs in Redis, with what each is given and what its answer
// means. The rules come in as arguments, computed by the same code as the one node's
// (LockoutSchedule::ownLocks and idBudget, their steps and headroom): the scripts keep state,
// they do not restate the rules. Each runs atomically, on Redis's clock (one clock for every node).
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
    /// What an ending does: accepted, a guess, or no guess that the address pays a probe for
    /// (Probe) or not (NoGuess).
    enum class Ending { Accepted, Guess, Probe, NoGuess };
    static Ending kindOf(const AttemptGuard::Ending &ending);

    GuardScripts(LockoutSchedule lockouts, ProbeLimit probes, ProbeLimit newIds = kNewIdLimit);

    /// KEYS: the address's probe bucket, then the address's own lock on the ID and the ID's
    /// budget of guesses (neither for a malformed ID, so that such an ID never becomes a key).
    /// Answers {answer, wait in microseconds}: 0 admitted, 1 too-many-attempts, 2 invalid-id, 3
    /// locked, asked in AttemptGuard::admit's order.
    const RedisScript admit;
    /// KEYS: the address's probe bucket, which pays one probe. Answers 0.
    const RedisScript ledNowhere;
    /// KEYS: the address's own lock on the ID, the ID's budget of guesses, the address's probe
    /// bucket. Answers {refusals in a row, wait in microseconds}, as
    /// AttemptGuard::handshakeEnded.
    const RedisScript ended;
    /// KEYS: the ID's budget of guesses, none for a malformed ID (never locked). Answers how
    /// long the ID refuses everyone, in microseconds.
    const RedisScript lockedFor;
    /// KEYS: the address's bucket of new IDs, kept as a probe bucket. Answers 0 when it took a
    /// new ID from it, else the wait in microseconds, as AttemptGuard::newId.
    const RedisScript newId;

    std::array<const RedisScript *, 5> all() const
    {
        return {&admit, &ledNowhere, &ended, &lockedFor, &newId};
    }

    std::vector<std::string> admitArguments() const;
    std::vector<std::string> ledNowhereArguments() const;
    std::vector<std::string> endedArguments(Ending how) const;
    std::vector<std::string> lockedForArguments() const;
    std::vector<std::string> newIdArguments() const;

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
    const LockoutSchedule ownLocks;
    const ProbeLimit idBudget;
    const ProbeLimit probes;
    const ProbeLimit newIds;
};

} // namespace velmora::server
