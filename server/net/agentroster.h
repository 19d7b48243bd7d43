// The agents connected to this node: who each is (its ID and token, the connection it replaces)
// and which connection holds which ID. Runs on the server's thread.
#pragma once

#include "server/core/agentidentity.h"
#include "server/core/logsink.h"
#include "server/core/sessionids.h"
#include "server/core/sessionregistry.h"
#include "server/core/sessiontokens.h"
#include "server/net/agentconnection.h"
#include "server/net/agentdirectory.h"

#include <memory>
#include <string>
#include <unordered_map>

namespace velmora::server {

class Counters;

class AgentRoster : public AgentDirectory::Agents
{
public:
    /// Everything given must outlive the roster.
    AgentRoster(SessionRegistry &registry, const SessionTokens &tokens,
                const SessionIdGenerator &ids, Counters &counters, LogSink log);

    /// Who a new agent connection is: the ID and token of a valid token it presented, else
    /// nothing yet (see draw).
    AgentIdentity identify(const AgentConnection &agent) const;
    /// Records the agent online under its ID (closing the connection it replaces) and tells it
    /// its ID and token.
    void welcome(const std::shared_ptr<AgentConnection> &agent, const AgentIdentity &who);
    /// The agent's connection ended (`why` as it gives it). True when it had an ID that no
    /// connection of this node holds any more.
    bool closed(AgentConnection &agent, const std::string &why);

    /// True while a connection of this node holds `id`.
    bool holds(const std::string &id) const { return registry.find(id) != nullptr; }
    /// The connection that holds `id`, unless it is closing.
    std::shared_ptr<AgentConnection> withId(const std::string &id) const;
    /// Closes every agent's connection (the server is stopping).
    void closeAll();

    // AgentDirectory::Agents
    std::vector<std::pair<std::string, std::string>> online() const override;
    void lost(const std::string &id) override;
    void draw(AgentIdentity &who) const override;

private:
    void publishCounts();

    SessionRegistry &registry;
    const SessionTokens &tokens;
    const SessionIdGenerator &ids;
    Counters &counters;
    LogSink log;
    /// The agents whose connection has opened and not yet closed.
    std::unordered_map<ConnectionId, std::weak_ptr<AgentConnection>> agents;
};

} // namespace velmora::server
