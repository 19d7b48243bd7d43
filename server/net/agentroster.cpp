#include "server/net/agentroster.h"

#include "protocol/envelope.h"
#include "server/core/counters.h"
#include "server/net/relaysession.h"

namespace velmora::server {

AgentRoster::AgentRoster(SessionRegistry &registry, const SessionTokens &tokens,
                         const SessionIdGenerator &ids, Counters &counters, LogSink log)
    : registry(registry), tokens(tokens), ids(ids), counters(counters), log(std::move(log))
{}

AgentIdentity AgentRoster::identify(const AgentConnection &agent) const
{
    AgentIdentity who;
    if (agent.presentedToken().empty())
        return who;
    const auto owned = tokens.verify(agent.presentedToken());
    if (!owned) {
        who.how = "new; it presented an invalid session token";
    } else if (registry.heldByOtherToken(*owned, agent.presentedToken())) {
        who.how = "new; the ID of its token is held by another agent";
    } else {
        who.id = *owned;
        who.token = agent.presentedToken();
        who.how = "returning";
    }
    return who;
}

void AgentRoster::draw(AgentIdentity &who) const
{
    who.id = ids.next([this](std::string_view candidate) { return registry.isTaken(candidate); });
    who.token = tokens.issue(who.id);
}

void AgentRoster::welcome(const std::shared_ptr<AgentConnection> &agent, const AgentIdentity &who)
{
    std::string how = who.how;
    agent->identify(who.id);
    const auto replaced = registry.agentOnline(who.id, who.token, agent->id(), Clock::now());
    agents[agent->id()] = agent;
    if (replaced) {
        const auto it = agents.find(*replaced);
        if (const auto old = it == agents.end() ? nullptr : it->second.lock()) {
            if (const auto session = old->session())
                session->agentGone("the agent reconnected", kReplaced);
            old->closeBecause(kReplaced, "replaced by a new connection");
        }
        how = "returning; replaces its previous connection";
    }
    agent->send(envelope::connectionInfoEnvelope(who.id, who.token));
    log("agent online id=" + who.id + " from " + agent->remote() + " (" + how + ")");
    publishCounts();
}

bool AgentRoster::closed(AgentConnection &agent, const std::string &why)
{
    agents.erase(agent.id());
    if (agent.sessionId().empty())
        return false;
    registry.agentOffline(agent.sessionId(), agent.id(), Clock::now());
    log("agent offline id=" + agent.sessionId() + " from " + agent.remote() + " (" +
        agent.whyEnded(why) + ")");
    if (const auto session = agent.session())
        session->agentGone("the agent left", kAgentGone);
    publishCounts();
    return !holds(agent.sessionId());
}

std::shared_ptr<AgentConnection> AgentRoster::withId(const std::string &id) const
{
    const SessionRegistry::Agent *entry = registry.find(id);
    const auto it = entry ? agents.find(entry->connection) : agents.end();
    const auto agent = it == agents.end() ? nullptr : it->second.lock();
    return agent && !agent->closing() ? agent : nullptr;
}

void AgentRoster::closeAll()
{
    for (const auto &[id, weak] : agents) {
        if (const auto agent = weak.lock())
            agent->closeBecause(kShutdown, "server shutting down");
    }
}

std::vector<std::pair<std::string, std::string>> AgentRoster::online() const
{
    std::vector<std::pair<std::string, std::string>> online;
    for (const auto &[connection, weak] : agents) {
        const auto agent = weak.lock();
        if (!agent || agent->closing() || agent->sessionId().empty())
            continue;
        const SessionRegistry::Agent *entry = registry.find(agent->sessionId());
        if (entry && entry->connection == connection)
            online.emplace_back(agent->sessionId(), SessionTokens::fingerprint(entry->token));
    }
    return online;
}

void AgentRoster::lost(const std::string &id)
{
    const SessionRegistry::Agent *entry = registry.find(id);
    if (!entry)
        return;
    const auto it = agents.find(entry->connection);
    if (const auto agent = it == agents.end() ? nullptr : it->second.lock()) {
        if (const auto session = agent->session())
            session->agentGone("the agent is held by another node", kReplaced);
        agent->closeBecause(kReplaced, "its ID is held by another node");
    }
}

void AgentRoster::publishCounts()
{
    counters.population(registry);
}

} // namespace velmora::server
