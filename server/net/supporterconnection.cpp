#include "server/net/supporterconnection.h"

namespace velmora::server {

SupporterConnection::SupporterConnection(Owner &owner, Transport transport, ConnectionId id,
                                         std::string remote, ConnectionLimits limits,
                                         const Route &route)
    : WsConnection(std::move(transport), id, std::move(remote), limits), owner(owner),
      wanted(route.id), client(route.client), fromNode(route.carried), signature(route.signature)
{}

void SupporterConnection::onOpen()
{
    owner.supporterOpened(std::static_pointer_cast<SupporterConnection>(shared_from_this()));
}

void SupporterConnection::onMessage(bool binary, std::string_view data)
{
    if (!binary) {
        if (++dropped <= kLoggedDrops)
            owner.log("dropped a text message from supporter " + remote());
        return;
    }
    // A copy, so that the session outlives the call whatever it does.
    if (const auto session = current)
        session->fromSupporter(*this, data);
}

void SupporterConnection::onDrained()
{
    if (current)
        current->supporterDrained();
}

void SupporterConnection::onClosed(const std::string &why)
{
    owner.supporterClosed(*this, why);
}

void SupporterConnection::onHandshakeFailed(const std::string &why)
{
    owner.supporterHandshakeFailed(*this, why);
}

} // namespace velmora::server
