#include "server/net/agentconnection.h"

#include "server/net/hub.h"

namespace velmora::server {

AgentConnection::AgentConnection(Hub &hub, tcp::socket socket, ConnectionId id, std::string remote,
                                 ConnectionLimits limits, std::string presentedToken)
    : WsConnection(std::move(socket), id, std::move(remote), limits),
      presentedToken(std::move(presentedToken)), hub(hub)
{}

void AgentConnection::onOpen()
{
    hub.agentOpened(std::static_pointer_cast<AgentConnection>(shared_from_this()));
}

void AgentConnection::onMessage(bool binary, std::string_view data)
{
    hub.agentMessage(*this, binary, data);
}

void AgentConnection::onDrained()
{
    hub.agentDrained(*this);
}

void AgentConnection::onClosed(const std::string &why)
{
    hub.agentClosed(*this, why);
}

void AgentConnection::onHandshakeFailed(const std::string &why)
{
    hub.handshakeFailed(*this, "agent", why);
}

} // namespace velmora::server
