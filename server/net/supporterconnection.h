// A supporter's WebSocket (a viewer's raw RFB in binary messages): hands every event to the hub.
#pragma once

#include "server/net/wsconnection.h"

#include <memory>
#include <string>

namespace velmora::server {

class Hub;
struct RelaySession;

class SupporterConnection : public WsConnection
{
public:
    /// `requestedId`: the text after "/viewer/" (not necessarily a valid ID). `clientAddress`:
    /// who the supporter is for the per-address limits (see clientKey).
    SupporterConnection(Hub &hub, tcp::socket socket, ConnectionId id, std::string remote,
                        ConnectionLimits limits, std::string requestedId,
                        std::string clientAddress);

    const std::string requestedId;
    const std::string clientAddress;
    std::shared_ptr<RelaySession> session;
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
