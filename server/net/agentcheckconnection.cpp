#include "server/net/agentcheckconnection.h"

#include "server/core/route.h"

namespace velmora::server {

AgentCheckConnection::AgentCheckConnection(Owner &owner, Transport transport, ConnectionId id,
                                           std::string remote, ConnectionLimits limits,
                                           std::string sessionId, std::string node)
    : WsConnection(std::move(transport), id, std::move(remote), limits), owner(owner),
      askedId(std::move(sessionId)), asking(std::move(node))
{}

void AgentCheckConnection::answer(bool alive)
{
    close(1000, std::string(alive ? kAgentAlive : kAgentSilent));
}

void AgentCheckConnection::onOpen()
{
    owner.agentCheckOpened(std::static_pointer_cast<AgentCheckConnection>(shared_from_this()));
}

void AgentCheckConnection::onClosed(const std::string &)
{
    owner.agentCheckEnded(*this);
}

void AgentCheckConnection::onHandshakeFailed(const std::string &)
{
    owner.agentCheckEnded(*this);
}

} // namespace velmora::server
