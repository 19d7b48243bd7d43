#include "server/core/sessionregistry.h"

#include <algorithm>

namespace velmora::server {

SessionRegistry::SessionRegistry(Clock::duration remember, std::size_t maxRemembered)
    : rememberFor(remember), maxRemembered(maxRemembered)
{}

bool SessionRegistry::isTaken(std::string_view id) const
{
    const std::string key(id);
    return agents.count(key) != 0 || remembered.count(key) != 0;
}

bool SessionRegistry::heldByOtherToken(std::string_view id, std::string_view token) const
{
    const Agent *agent = find(id);
    return agent && agent->token != token;
}

std::optional<ConnectionId> SessionRegistry::agentOnline(const std::string &id,
                                                         const std::string &token,
                                                         ConnectionId connection,
                                                         Clock::time_point now)
{
    forgetExpired(now);
    remembered.erase(id);
    std::optional<ConnectionId> replaced;
    auto it = agents.find(id);
    if (it != agents.end()) {
        replaced = it->second.connection;
        if (it->second.supporter != 0)
            --sessions;
        it->second = Agent{connection, token, 0};
    } else {
        agents.emplace(id, Agent{connection, token, 0});
    }
    return replaced;
}

void SessionRegistry::agentOffline(const std::string &id, ConnectionId connection,
                                   Clock::time_point now)
{
    forgetExpired(now);
    auto it = agents.find(id);
    if (it == agents.end() || it->second.connection != connection)
        return;
    if (it->second.supporter != 0)
        --sessions;
    agents.erase(it);
    remembered[id] = now;
    order.emplace_back(now, id);
    while (remembered.size() > maxRemembered && !order.empty()) {
        const auto &[when, oldest] = order.front();
        const auto found = remembered.find(oldest);
        if (found != remembered.end() && found->second == when)
            remembered.erase(found);
        order.pop_front();
    }
    // Agents that keep coming back leave stale entries behind; rebuild before they pile up.
    if (order.size() > 2 * remembered.size() + 1024) {
        order.clear();
        for (const auto &[rememberedId, when] : remembered)
            order.emplace_back(when, rememberedId);
        std::sort(order.begin(), order.end());
    }
}

SessionRegistry::Refusal SessionRegistry::beginSession(std::string_view id, ConnectionId supporter,
                                                       Clock::time_point now)
{
    forgetExpired(now);
    const std::string key(id);
    auto it = agents.find(key);
    if (it == agents.end())
        return remembered.count(key) ? Refusal::Offline : Refusal::UnknownId;
    if (it->second.supporter != 0)
        return Refusal::Busy;
    it->second.supporter = supporter;
    ++sessions;
    return Refusal::None;
}

void SessionRegistry::endSession(std::string_view id, ConnectionId supporter)
{
    auto it = agents.find(std::string(id));
    if (it == agents.end() || it->second.supporter != supporter || supporter == 0)
        return;
    it->second.supporter = 0;
    --sessions;
}

const SessionRegistry::Agent *SessionRegistry::find(std::string_view id) const
{
    const auto it = agents.find(std::string(id));
    return it == agents.end() ? nullptr : &it->second;
}

void SessionRegistry::forgetExpired(Clock::time_point now)
{
    while (!order.empty() && now - order.front().first >= rememberFor) {
        const auto &[when, id] = order.front();
        const auto found = remembered.find(id);
        if (found != remembered.end() && found->second == when)
            remembered.erase(found);
        order.pop_front();
    }
}

} // namespace velmora::server
