#include "server/core/relaystate.h"

#include "protocol/envelope.h"

#include <cstdio>

namespace velmora::server {

RelayState::RelayState(std::size_t holdLimit, Clock::time_point start)
    : holdLimit(holdLimit), start(start)
{}

std::optional<std::string> RelayState::fromSupporter(std::string_view bytes)
{
    std::string envelope = velmora::envelope::rfbEnvelope(velmora::envelope::kApiVersion, bytes);
    if (waiting) {
        heldBytes += envelope.size();
        heldPayload += bytes.size();
        held.push_back(std::move(envelope));
        return std::nullopt;
    }
    toAgent += bytes.size();
    return envelope;
}

std::deque<std::string> RelayState::fromAgent(std::size_t size)
{
    toSupporter += size;
    if (!waiting)
        return {};
    waiting = false;
    toAgent += heldPayload;
    heldPayload = 0;
    heldBytes = 0;
    std::deque<std::string> released;
    released.swap(held);
    return released;
}

std::string RelayState::summary(Clock::time_point now) const
{
    const double seconds = std::chrono::duration<double>(age(now)).count();
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.3f", seconds);
    return std::to_string(toAgent) + " bytes to the agent, " + std::to_string(toSupporter) +
           " bytes to the supporter, " + duration + " s";
}

} // namespace velmora::server
