#include "server/core/probelimiter.h"

#include <algorithm>

namespace velmora::server {

std::uint64_t ProbeLimit::allowedWithin(std::chrono::milliseconds window) const
{
    if (interval.count() <= 0)
        return UINT64_MAX;
    return burst + std::uint64_t(std::max(window, std::chrono::milliseconds(0)) / interval);
}

std::chrono::milliseconds ProbeLimit::headroom() const
{
    return (static_cast<long long>(burst) - 1) * interval;
}

ProbeLimiter::ProbeLimiter(ProbeLimit limit) : rules(limit) {}

Clock::duration ProbeLimiter::waitFor(const std::string &address, Clock::time_point now) const
{
    // An address without a bucket has a full one.
    const auto it = full.find(address);
    const Clock::time_point fullAgain = it == full.end() ? now : std::max(it->second, now);
    const Clock::time_point allowedFrom = fullAgain - rules.headroom();
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
