// The server's shared state and its answers to connection events: which agent holds which ID,
// and which supporter may start a session with it. It owns the pieces and wires them together:
// the listener, the attempt guard, the counters, the HTTP responder; sessions run on their own.
// Runs on one thread.
#pragma once

#include "server/beast/beast.h"
#include "server/core/agentidentity.h"
#include "server/core/attemptguard.h"
#include "server/core/bufferbudget.h"
#include "server/core/counters.h"
#include "server/core/httpresponder.h"
#include "server/core/serverconfig.h"
#include "server/core/sessionids.h"
#include "server/core/sessionregistry.h"
#include "server/core/sessiontokens.h"
#include "server/net/agentconnection.h"
#include "server/net/clusternode.h"
#include "server/net/listener.h"
#include "server/net/supporterconnection.h"

#include <memory>
#include <unordered_map>

namespace velmora::server {

/// The interfaces are for the listener and the connections it makes; their overrides are
/// private.
class Hub : public Listener::Owner, public AgentConnection::Owner, public SupporterConnection::Owner
{
public:
    explicit Hub(ServerConfig config);
    ~Hub();

    /// See Server.
    std::uint16_t listen();
    std::uint16_t plainListenPort() const { return listener.plainPort(); }
    void run();
    void stop();
    ServerStats stats() const;

private:
    // Listener::Owner
    std::shared_ptr<WsConnection> connectionFor(Transport transport, const Request &request,
                                                ConnectionId id,
                                                const std::string &remote) override;
    HttpResponse answer(const HttpRequest &request) override;
    std::string clientOf(const tcp::socket &socket, const Request &request) override;
    void sweeping(Clock::time_point now) override;
    void stopping() override;

    // AgentConnection::Owner
    void agentOpened(const std::shared_ptr<AgentConnection> &agent) override;
    void agentClosed(AgentConnection &agent, const std::string &why) override;
    void agentHandshakeFailed(AgentConnection &agent, const std::string &why) override;

    // SupporterConnection::Owner
    void supporterOpened(const std::shared_ptr<SupporterConnection> &supporter) override;
    void supporterClosed(SupporterConnection &supporter, const std::string &why) override;
    void supporterHandshakeFailed(SupporterConnection &supporter, const std::string &why) override;

    void log(const std::string &line) override;

    /// Who a new agent connection is: the ID and token of a valid token it presented, else
    /// nothing yet (see drawIdentity).
    AgentIdentity identityOf(const AgentConnection &agent) const;
    /// Gives a new agent a fresh ID and token.
    void drawIdentity(AgentIdentity &who) const;
    /// Records the agent online under its ID and tells it its ID and token.
    void welcome(const std::shared_ptr<AgentConnection> &agent, const AgentIdentity &who);
    /// The supporter passed the guard: a session with the ID's agent here, or on its node.
    void connectSupporter(const std::shared_ptr<SupporterConnection> &supporter);
    /// As a node of a cluster, the ID is not online here: asks the directory where it is.
    void locate(const std::shared_ptr<SupporterConnection> &supporter);
    /// The requested well-formed ID led nowhere: the address pays a probe.
    void ledNowhere(SupporterConnection &supporter, const CloseReason &reason);
    void refuseUnavailable(SupporterConnection &supporter, const std::string &why);
    /// The agents online on this node with their tokens' fingerprints, for the directory.
    std::vector<std::pair<std::string, std::string>> localAgents() const;
    void lostToCluster(const std::string &id);
    void handshakeFailed(WsConnection &connection, const char *role, const std::string &why);
    void refuseSupporter(SupporterConnection &supporter, const CloseReason &reason,
                         std::chrono::milliseconds retryAfter = std::chrono::milliseconds(0));
    /// The online agent that the registry has under `id`, unless its connection is closing.
    std::shared_ptr<AgentConnection> agentWithId(const std::string &id) const;
    std::string clientAddressOf(const tcp::socket &socket, const Request &request) const;
    void publishCounts();

    /// Its log is never empty (a server told to log nothing gets a sink that drops the lines).
    const ServerConfig config;
    net::io_context io;
    Counters counters;
    AttemptGuard guard;
    /// What the connections' unfinished messages hold, per client and in all.
    BufferBudget budget;
    SessionRegistry registry;
    SessionTokens tokens;
    SessionIdGenerator ids;
    HttpResponder responder;
    Listener listener;
    /// The agents whose connection has opened and not yet closed.
    std::unordered_map<ConnectionId, std::weak_ptr<AgentConnection>> agents;
    /// As a node of a cluster (--redis), made once the listener's port is known; null on a
    /// single node.
    std::unique_ptr<ClusterNode> cluster;
};

} // namespace velmora::server
