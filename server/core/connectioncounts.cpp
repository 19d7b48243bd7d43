#include "server/core/connectioncounts.h"

namespace velmora::server {

ConnectionCounts::ConnectionCounts() : ConnectionCounts(Limits{}) {}

ConnectionCounts::ConnectionCounts(Limits limits) : bounds(limits) {}

std::size_t ConnectionCounts::limitFor(Kind kind) const
{
    switch (kind) {
    case Kind::Http:
        return bounds.http;
    case Kind::Agent:
        return bounds.agents;
    case Kind::Supporter:
        return bounds.supporters;
    }
    return 0;
}

ConnectionCounts::Refusal ConnectionCounts::admit(Kind kind, const std::string &client,
                                                  std::size_t inUse)
{
    // WebSockets stop short of the reserve; plain HTTP may use half of it, so that the page and
    // /metrics still answer when WebSockets have taken all they may.
    const std::size_t reserve = kind == Kind::Http ? bounds.reserve / 2 : bounds.reserve;
    if (inUse + reserve > bounds.descriptors)
        return Refusal::ServerFull;
    auto &counts = byClient[client];
    std::size_t &count = counts[static_cast<std::size_t>(kind)];
    if (count >= limitFor(kind)) {
        if (counts == std::array<std::size_t, 3>{})
            byClient.erase(client);
        return Refusal::ClientLimit;
    }
    ++count;
    return Refusal::None;
}

void ConnectionCounts::release(Kind kind, const std::string &client)
{
    const auto it = byClient.find(client);
    if (it == byClient.end())
        return;
    std::size_t &count = it->second[static_cast<std::size_t>(kind)];
    if (count > 0)
        --count;
    if (it->second == std::array<std::size_t, 3>{})
        byClient.erase(it);
}

std::size_t ConnectionCounts::count(Kind kind, const std::string &client) const
{
    const auto it = byClient.find(client);
    return it == byClient.end() ? 0 : it->second[static_cast<std::size_t>(kind)];
}

ThrottledLog::ThrottledLog(Clock::duration interval) : interval(interval) {}

bool ThrottledLog::happened(Clock::time_point now)
{
    if (saidOnce && now - last < interval) {
        ++pending;
        return false;
    }
    saidOnce = true;
    last = now;
    unsaid = pending;
    pending = 0;
    return true;
}

} // namespace velmora::server
