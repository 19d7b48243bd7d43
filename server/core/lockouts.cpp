#include "server/core/lockouts.h"

#include <algorithm>

namespace velmora::server {

std::vector<std::chrono::milliseconds> LockoutSchedule::steps() const
{
    std::vector<std::chrono::milliseconds> locks{std::min(base, cap)};
    while (locks.back() < cap) {
        const std::chrono::milliseconds next = std::min(locks.back() * 2, cap);
        if (next <= locks.back())
            break;
        locks.push_back(next);
    }
    return locks;
}

std::chrono::milliseconds LockoutSchedule::lockAfter(unsigned refusals) const
{
    const std::vector<std::chrono::milliseconds> locks = steps();
    return locks[std::min<std::size_t>(std::max(refusals, 1u), locks.size()) - 1];
}

std::uint64_t LockoutSchedule::attemptsWithin(std::chrono::milliseconds window) const
{
    if (window < std::chrono::milliseconds(0))
        return 0;
    std::uint64_t attempts = 1;
    std::chrono::milliseconds elapsed{0};
    for (unsigned refusals = 1;; ++refusals) {
        const std::chrono::milliseconds lock = lockAfter(refusals);
        if (lock == cap) {
            // From here every attempt waits the cap.
            if (lock.count() <= 0)
                return UINT64_MAX;
            return attempts + std::uint64_t((window - elapsed) / lock);
        }
        if (elapsed + lock > window)
            return attempts;
        elapsed += lock;
        ++attempts;
    }
}

LockoutSchedule LockoutSchedule::ownLocks() const
{
    return {base, cap * 2, window};
}

ProbeLimit LockoutSchedule::idBudget() const
{
    const std::uint64_t bound = attemptsWithin(window);
    const std::uint64_t burst =
        std::min<std::uint64_t>({ownLocks().steps().size(), bound, 1000000});
    const std::uint64_t refills = bound - burst;
    ProbeLimit budget;
    budget.burst = static_cast<unsigned>(std::max<std::uint64_t>(burst, 1));
    budget.interval = refills == 0 ? window + std::chrono::milliseconds(1)
                                   : std::chrono::milliseconds((window.count() + refills - 1) /
                                                               static_cast<long long>(refills));
    return budget;
}

Lockouts::Lockouts(LockoutSchedule schedule, Clock::duration forgetAfter)
    : rules(schedule), forgetAfter(forgetAfter)
{}

Clock::duration Lockouts::lockedFor(const std::string &id, Clock::time_point now) const
{
    const auto it = entries.find(id);
    if (it == entries.end() || it->second.lockedUntil <= now)
        return Clock::duration::zero();
    return it->second.lockedUntil - now;
}

Clock::duration Lockouts::refused(const std::string &id, Clock::time_point now)
{
    Entry &entry = entries[id];
    ++entry.refusals;
    entry.lastRefusal = now;
    const Clock::duration lock = rules.lockAfter(entry.refusals);
    entry.lockedUntil = std::max(entry.lockedUntil, now + lock);
    return entry.lockedUntil - now;
}

void Lockouts::succeeded(const std::string &id)
{
    entries.erase(id);
}

unsigned Lockouts::refusals(const std::string &id) const
{
    const auto it = entries.find(id);
    return it == entries.end() ? 0 : it->second.refusals;
}

void Lockouts::forgetIdle(Clock::time_point now)
{
    for (auto it = entries.begin(); it != entries.end();) {
        if (now - it->second.lastRefusal >= forgetAfter && it->second.lockedUntil <= now)
            it = entries.erase(it);
        else
            ++it;
    }
}

} // namespace velmora::server
