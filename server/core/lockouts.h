// Per session ID: how long the ID refuses new supporters after refused password attempts. The
// password stays the same for the whole run of an agent, so the only defence against guessing it
// is to make each wrong guess cost time.
#pragma once

#include "server/core/clock.h"
#include "server/core/probelimiter.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace velmora::server {

/// An ID without refused attempts for this long (and no lock in effect) starts over.
inline constexpr std::chrono::hours kForgetLocksAfter{24};

/// The lock after the n-th refused attempt in a row is base * 2^(n-1), at most cap: the bound on
/// guesses per ID, attemptsWithin(window), follows from it. Each address keeps its own lock on an
/// ID (ownLocks), and the guesses of all addresses on an ID draw from one budget (idBudget).
struct LockoutSchedule
{
    std::chrono::milliseconds base{2000};
    std::chrono::milliseconds cap{30 * 60 * 1000};
    /// The window of the bound on guesses per ID (a day).
    std::chrono::milliseconds window{24 * 60 * 60 * 1000};

    /// The lock after the 1st, 2nd, ... refused attempt in a row, up to the first that reaches
    /// the cap (or stops growing): every later refusal takes the last one. Whatever keeps locks
    /// elsewhere (the cluster's Redis) is given these numbers rather than the rule.
    std::vector<std::chrono::milliseconds> steps() const;

    /// The lock after the `refusals`-th refused attempt in a row (refusals >= 1).
    std::chrono::milliseconds lockAfter(unsigned refusals) const;

    /// How many attempts a guesser gets within `window` when each attempt starts the moment the
    /// lock allows and takes no time (the first at the window's start): the bound on guesses.
    std::uint64_t attemptsWithin(std::chrono::milliseconds window) const;

    /// The lock that one address puts on an ID for itself with its refused guesses: the same
    /// doubling up to twice the cap, so that one address (or one /64) alone always stays within
    /// a share of the ID's budget.
    LockoutSchedule ownLocks() const;

    /// The guesses on one ID from all addresses together, as a bucket: as many at once as one
    /// address makes before its own lock reaches its cap, then one per interval, so that no more
    /// than attemptsWithin(window) fit in any window. While it is empty the ID refuses every
    /// supporter: a siege needs several addresses.
    ProbeLimit idBudget() const;
};

class Lockouts
{
public:
    /// An ID without refused attempts for `forgetAfter` (and no lock in effect) starts over.
    explicit Lockouts(LockoutSchedule schedule = {},
                      Clock::duration forgetAfter = kForgetLocksAfter);

    /// The time left on the lock of `id` (zero when it may be tried).
    Clock::duration lockedFor(const std::string &id, Clock::time_point now) const;

    /// Records a refused attempt on `id` that ended at `now`; returns the lock it imposes.
    Clock::duration refused(const std::string &id, Clock::time_point now);

    /// Records a successful attempt: the count of `id` starts over.
    void succeeded(const std::string &id);

    /// Refused attempts in a row on `id`.
    unsigned refusals(const std::string &id) const;

    /// Forgets IDs whose last refusal is older than the forget time and whose lock has ended.
    void forgetIdle(Clock::time_point now);

    std::size_t size() const { return entries.size(); }
    const LockoutSchedule &schedule() const { return rules; }

private:
    struct Entry
    {
        unsigned refusals = 0;
        Clock::time_point lastRefusal;
        Clock::time_point lockedUntil;
    };

    LockoutSchedule rules;
    Clock::duration forgetAfter;
    std::unordered_map<std::string, Entry> entries;
};

} // namespace velmora::server
