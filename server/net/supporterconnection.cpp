#include "server/net/supporterconnection.h"

#include "server/net/hub.h"

namespace velmora::server {

SupporterConnection::SupporterConnection(Hub &hub, tcp::socket socket, ConnectionId id,
                                         std::string remote, ConnectionLimits limits,
                                         std::string requestedId, std::string clientAddress)
    : WsConnection(std::move(socket), id, std::move(remote), limits),
      requestedId(std::move(requestedId)), clientAddress(std::move(clientAddress)), hub(hub)
{}

void SupporterConnection::onOpen()
{
    hub.supporterOpened(std::static_pointer_cast<SupporterConnection>(shared_from_this()));
}

void SupporterConnection::onMessage(bool binary, std::string_view data)
{
    hub.supporterMessage(*this, binary, data);
}

void SupporterConnection::onDrained()
{
    hub.supporterDrained(*this);
}

void SupporterConnection::onClosed(const std::string &why)
{
    hub.supporterClosed(*this, why);
}

void SupporterConnection::onHandshakeFailed(const std::string &why)
{
    hub.handshakeFailed(*this, "supporter", why);
}

} // namespace velmora::server
