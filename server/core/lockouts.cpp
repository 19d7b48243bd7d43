#include "server/core/lockouts.h"

#include <algorithm>

namespace velmora::server {

std::chrono::milliseconds LockoutSchedule::lockAfter(unsigned refusals) const
{
    std::chrono::milliseconds lock = base;
    for (unsigned i = 1; i < refusals && lock < cap; ++i)
        lock *= 2;
    return std::min(lock, cap);
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
