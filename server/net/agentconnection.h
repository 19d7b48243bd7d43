// An agent's WebSocket: hands every event to the hub and carries the agent's identity.
#pragma once

#include "server/net/wsconnection.h"

#include <memory>
#include <string>

namespace velmora::server {

class Hub;
struct RelaySession;

class AgentConnection : public WsConnection
{
public:
    /// `presentedToken`: the session token from the handshake's cookie (empty when none).
    /// `hub` must outlive every callback, which stop() ensures by ending the io_context last.
    AgentConnection(Hub &hub, tcp::socket socket, ConnectionId id, std::string remote,
                    ConnectionLimits limits, std::string presentedToken);

    const std::string presentedToken;
    /// Assigned by the hub once the handshake is done.
    std::string sessionId;
    std::string sessionToken;
    /// The session in progress, if any.
    std::shared_ptr<RelaySession> session;
    /// Why the server closed this connection, for the offline log line (empty: the agent left).
    std::string closedBecause;
    /// Messages dropped so far; only the first few are logged.
    unsigned dropped = 0;

protected:
    void onOpen() override;
    void onMessage(bool binary, std::string_view data) override;
    void onDrained() override;
    void onClosed(const std::string &why) override;
    void onHandshakeFailed(const std::string &why) override;

private:
    Hub &hub;
};

} // namespace velmora::server
