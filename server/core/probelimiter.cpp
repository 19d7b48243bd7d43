#include "server/core/probelimiter.h"

#include <algorithm>

namespace velmora::server {

std::uint64_t ProbeLimit::allowedWithin(std::chrono::milliseconds window) const
{
    if (interval.count() <= 0)
        return UINT64_MAX;
    return burst + std::uint64_t(std::max(window, std::chrono::milliseconds(0)) / interval);
}

ProbeLimiter::ProbeLimiter(ProbeLimit limit) : rules(limit) {}

Clock::duration ProbeLimiter::waitFor(const std::string &address, Clock::time_point now) const
{
    const auto it = full.find(address);
    if (it == full.end() || rules.burst == 0)
        return rules.burst == 0 ? Clock::duration(rules.interval) : Clock::duration::zero();
    // The bucket has a token while it is at most burst - 1 intervals away from full.
    const Clock::time_point allowedFrom = it->second - (rules.burst - 1) * rules.interval;
    return allowedFrom > now ? allowedFrom - now : Clock::duration::zero();
}

void ProbeLimiter::probed(const std::string &address, Clock::time_point now)
{
    Clock::time_point &until = full.try_emplace(address, now).first->second;
    until = std::max(until, now) + rules.interval;
}

void ProbeLimiter::forgetIdle(Clock::time_point now)
{
    for (auto it = full.begin(); it != full.end();) {
        if (it->second <= now)
            it = full.erase(it);
        else
            ++it;
    }
}

} // namespace velmora::server
