// The node's composition root: owns the io_context and the pieces, and wires the listener's and
// the connections' events to them. Who an agent is belongs to the AgentRoster and the
// AgentAdmission, whether a supporter may start a session to the SupporterAdmission, and what
// lies beyond this node (the guard's state, other nodes' agents) to the NodeServices it is given.
// Runs on one thread.
#pragma once

#include "server/beast/beast.h"
#include "server/core/bufferbudget.h"
#include "server/core/counters.h"
#include "server/core/failurelog.h"
#include "server/core/httpresponder.h"
#include "server/core/route.h"
#include "server/core/serverconfig.h"
#include "server/core/sessionids.h"
#include "server/core/sessionregistry.h"
#include "server/core/sessiontokens.h"
#include "server/net/agentadmission.h"
#include "server/net/agentcheckconnection.h"
#include "server/net/agentconnection.h"
#include "server/net/agentroster.h"
#include "server/net/listener.h"
#include "server/net/nodeservices.h"
#include "server/net/supporteradmission.h"
#include "server/net/supporterconnection.h"

#include <memory>

namespace velmora::server {

/// The interfaces are for the listener and the connections it makes; their overrides are
/// private.
class Hub : public Listener::Owner,
            public AgentConnection::Owner,
            public SupporterConnection::Owner,
            public AgentCheckConnection::Owner
{
public:
    /// `services` makes the guard and the directory once the port is known (see localServices).
    Hub(ServerConfig config, MakeNodeServices services);
    ~Hub();

    /// See Server.
    std::uint16_t listen();
    std::uint16_t plainListenPort() const { return listener.plainPort(); }
    void run();
    void stop();
    ServerStats stats() const;

private:
    // Listener::Owner
    std::shared_ptr<WsConnection> connectionFor(Transport transport, const Route &route,
                                                ConnectionId id,
                                                const std::string &remote) override;
    HttpResponse answer(const HttpRequest &request) override;
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

    // AgentCheckConnection::Owner
    void agentCheckOpened(const std::shared_ptr<AgentCheckConnection> &check) override;
    void agentCheckEnded(AgentCheckConnection &check) override;

    void handshakeFailed(WsConnection &connection, const char *role, const std::string &why);

    /// Its log is never empty (a server told to log nothing gets a sink that drops the lines).
    const ServerConfig config;
    const MakeNodeServices makeServices;
    net::io_context io;
    Counters counters;
    /// Every line about a single failed connection goes through it.
    FailureLog failures;
    /// What the connections' unfinished messages hold, per client and in all.
    BufferBudget budget;
    SessionRegistry registry;
    SessionTokens tokens;
    SessionIdGenerator ids;
    HttpResponder responder;
    RoutePolicy policy;
    Listener listener;
    AgentRoster roster;
    /// Made by listen(), once the port is known; everything below needs them.
    NodeServices services;
    std::unique_ptr<SupporterAdmission> admission;
    std::unique_ptr<AgentAdmission> agentAdmission;
};

} // namespace velmora::server
