// The one clock of the server.
#pragma once

#include <chrono>

namespace velmora::server {

/// Steady, so that locks, limits and timeouts do not move when the wall clock is set.
using Clock = std::chrono::steady_clock;

/// `duration` in whole milliseconds, rounded up (a wait told to a client is never too short).
template <typename Duration> std::chrono::milliseconds roundUpMs(Duration duration)
{
    return std::chrono::ceil<std::chrono::milliseconds>(duration);
}

} // namespace velmora::server
