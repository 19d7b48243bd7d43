// An agent's WebSocket: carries the agent's identity, hands its "rfb" envelopes to its session
// and its other events to its owner, the hub.
#pragma once

#include "server/core/route.h"
#include "server/net/wsconnection.h"

#include <memory>
#include <string>

namespace velmora::server {

class RelaySession;

class AgentConnection : public WsConnection
{
public:
    /// What the connection tells the server, on the server's thread.
    class Owner
    {
    public:
        /// The WebSocket handshake is done.
        virtual void agentOpened(const std::shared_ptr<AgentConnection> &agent) = 0;
        /// The connection ended after it had opened; `why` as WsConnection gives it.
        virtual void agentClosed(AgentConnection &agent, const std::string &why) = 0;
        /// The connection ended before it opened.
        virtual void agentHandshakeFailed(AgentConnection &agent, const std::string &why) = 0;
        virtual void log(const std::string &line) = 0;

    protected:
        ~Owner() = default;
    };

    /// `route`: the request's, of kind Agent (the session token from the handshake's cookie,
    /// empty when none, and the client it counts as). `owner` must outlive every callback, which
    /// the server ensures by ending the io_context last.
    AgentConnection(Owner &owner, Transport transport, ConnectionId id, std::string remote,
                    ConnectionLimits limits, const Route &route);

    const std::string &presentedToken() const { return token; }
    /// Who the agent is for the per-address limits (see clientKey).
    const std::string &clientAddress() const { return client; }

    /// The session ID the hub gave the agent; empty until then.
    const std::string &sessionId() const { return assignedId; }
    void identify(std::string sessionId) { assignedId = std::move(sessionId); }

    /// The session in progress, if any. A session joins both of its connections when it starts
    /// and leaves them when it ends.
    const std::shared_ptr<RelaySession> &session() const { return current; }
    /// Joining a session lets the agent send frames as large as the relay takes; outside one it
    /// has nothing to send that needs more than a few kilobytes.
    void join(std::shared_ptr<RelaySession> session);
    void leave();

    /// Closes the connection with `reason`; `why` is what the offline log line will say, even
    /// when the connection was closing already (a later `why` replaces an earlier one).
    void closeBecause(const CloseReason &reason, std::string why);
    /// Why the connection ended, for the log: what the server gave as it closed it, else `why`.
    const std::string &whyEnded(const std::string &why) const;

protected:
    void onOpen() override;
    void onMessage(bool binary, std::string_view data) override;
    void onDrained() override;
    void onClosed(const std::string &why) override;
    void onHandshakeFailed(const std::string &why) override;

private:
    Owner &owner;
    const std::string token;
    const std::string client;
    std::string assignedId;
    std::shared_ptr<RelaySession> current;
    /// Why the server closed this connection (empty: the agent left).
    std::string closedBecause;
    /// Messages dropped so far; only the first few are logged.
    unsigned dropped = 0;
};

} // namespace velmora::server
