// Another node's question whether the agent of an ID still answers here (it holds the ID in the
// cluster's directory, and a connection there presented the ID's token). The question is the
// WebSocket's path; the answer is the reason of the close frame that ends it (kAgentAlive or
// kAgentSilent). Nothing is read from the asking node.
#pragma once

#include "server/net/wsconnection.h"

#include <memory>
#include <string>

namespace velmora::server {

class AgentCheckConnection : public WsConnection
{
public:
    /// What the connection tells the server, on the server's thread.
    class Owner
    {
    public:
        /// The WebSocket handshake is done: answer() it.
        virtual void agentCheckOpened(const std::shared_ptr<AgentCheckConnection> &check) = 0;
        /// The connection ended, whether or not it had opened.
        virtual void agentCheckEnded(AgentCheckConnection &check) = 0;

    protected:
        ~Owner() = default;
    };

    /// `sessionId`: the ID asked about; `node`: the asking node (its signed address). `owner`
    /// must outlive every callback.
    AgentCheckConnection(Owner &owner, Transport transport, ConnectionId id, std::string remote,
                         ConnectionLimits limits, std::string sessionId, std::string node);

    const std::string &sessionId() const { return askedId; }
    const std::string &node() const { return asking; }

    /// Closes the connection with the answer.
    void answer(bool alive);

protected:
    void onOpen() override;
    void onMessage(bool, std::string_view) override {}
    void onDrained() override {}
    void onClosed(const std::string &why) override;
    void onHandshakeFailed(const std::string &why) override;

private:
    Owner &owner;
    const std::string askedId;
    const std::string asking;
};

} // namespace velmora::server
