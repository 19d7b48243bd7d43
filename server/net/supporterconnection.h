// A supporter's WebSocket (a viewer's raw RFB in binary messages): hands the bytes to its session
// and its other events to its owner, the hub.
#pragma once

#include "server/core/route.h"
#include "server/net/supportersession.h"
#include "server/net/wsconnection.h"

#include <memory>
#include <string>

namespace velmora::server {

class SupporterConnection : public WsConnection
{
public:
    /// What the connection tells the server, on the server's thread.
    class Owner
    {
    public:
        /// The WebSocket handshake is done.
        virtual void supporterOpened(const std::shared_ptr<SupporterConnection> &supporter) = 0;
        /// The connection ended after it had opened; `why` as WsConnection gives it.
        virtual void supporterClosed(SupporterConnection &supporter, const std::string &why) = 0;
        /// The connection ended before it opened.
        virtual void supporterHandshakeFailed(SupporterConnection &supporter,
                                              const std::string &why) = 0;
        virtual void log(const std::string &line) = 0;

    protected:
        ~Owner() = default;
    };

    /// `route`: the request's, of kind Supporter (its ID, the client it counts as, whether
    /// another node carried it here). `owner` must outlive every callback.
    SupporterConnection(Owner &owner, Transport transport, ConnectionId id, std::string remote,
                        ConnectionLimits limits, const Route &route);

    /// The text after "/viewer/" (not necessarily a valid ID).
    const std::string &requestedId() const { return wanted; }
    /// Who the supporter is for the per-address limits (see clientKey).
    const std::string &clientAddress() const { return client; }
    /// Another node of the cluster carried this supporter here (its address came signed).
    bool carried() const { return fromNode; }
    /// When carried: the node's signature that carried it.
    const std::string &nodeSignature() const { return signature; }

    /// The session in progress, if any (see AgentConnection::session).
    const std::shared_ptr<SupporterSession> &session() const { return current; }
    void join(std::shared_ptr<SupporterSession> session) { current = std::move(session); }
    void leave() { current.reset(); }

protected:
    void onOpen() override;
    void onMessage(bool binary, std::string_view data) override;
    void onDrained() override;
    void onClosed(const std::string &why) override;
    void onHandshakeFailed(const std::string &why) override;

private:
    Owner &owner;
    const std::string wanted;
    const std::string client;
    const bool fromNode;
    const std::string signature;
    std::shared_ptr<SupporterSession> current;
    /// Text messages dropped so far; only the first few are logged.
    unsigned dropped = 0;
};

} // namespace velmora::server
