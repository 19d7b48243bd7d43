#include "server/net/agentconnection.h"

#include "server/core/agentmessage.h"
#include "server/core/text.h"
#include "server/net/relaysession.h"

namespace velmora::server {

AgentConnection::AgentConnection(Owner &owner, Transport transport, ConnectionId id,
                                 std::string remote, ConnectionLimits limits, const Route &route)
    : WsConnection(std::move(transport), id, std::move(remote), limits), owner(owner),
      token(route.token), client(route.client)
{}

void AgentConnection::join(std::shared_ptr<RelaySession> session)
{
    current = std::move(session);
    setMessageLimit(connectionLimits().maxMessage);
}

void AgentConnection::leave()
{
    current.reset();
    setMessageLimit(connectionLimits().maxMessageOutsideSession);
}

void AgentConnection::closeBecause(const CloseReason &reason, std::string why)
{
    closedBecause = std::move(why);
    close(reason);
}

const std::string &AgentConnection::whyEnded(const std::string &why) const
{
    return closedBecause.empty() ? why : closedBecause;
}

void AgentConnection::onOpen()
{
    owner.agentOpened(std::static_pointer_cast<AgentConnection>(shared_from_this()));
}

void AgentConnection::onMessage(bool binary, std::string_view data)
{
    AgentMessage message = decodeAgentMessage(data, binary);
    if (forbidden(message.kind)) {
        owner.log("closing agent id=" + assignedId + " " + remote() + ": " +
                  std::string(describe(message.kind)) + " (" + std::to_string(data.size()) +
                  " bytes)");
        closeBecause(kForbiddenMessage, "it sent a forbidden message");
        return;
    }
    // A copy, so that the session outlives the call whatever it does.
    const auto session = current;
    std::string problem;
    if (message.kind != AgentMessage::Kind::Rfb)
        problem = std::string(describe(message.kind)) +
                  (message.action.empty() ? "" : " '" + printable(message.action) + "'");
    else if (!session || !session->fromAgent(*this, std::move(message.bytes)))
        problem = "rfb outside a session";
    if (problem.empty())
        return;
    if (++dropped <= kLoggedDrops) {
        owner.log("dropped a message from agent id=" + assignedId + ": " + problem +
                  (dropped == kLoggedDrops ? " (further drops are not logged)" : ""));
    }
}

void AgentConnection::onDrained()
{
    if (current)
        current->agentDrained();
}

void AgentConnection::onClosed(const std::string &why)
{
    owner.agentClosed(*this, why);
}

void AgentConnection::onHandshakeFailed(const std::string &why)
{
    owner.agentHandshakeFailed(*this, why);
}

} // namespace velmora::server
