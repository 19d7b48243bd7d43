// Asks the node that holds an agent's ID whether that agent still answers (see AgentAdmission):
// a WebSocket of our own to the node's agent-check path, signed like a carried supporter, whose
// close reason is the answer. A node that cannot be reached in time, or answers anything else,
// counts as silent: its agents cannot be reached through it either.
#pragma once

#include "server/beast/beast.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace velmora::server {

/// Lifetime: shared by its pending operations; ends with the answer.
class RemoteAgentCheck : public std::enable_shared_from_this<RemoteAgentCheck>
{
public:
    struct Settings
    {
        /// "HOST:PORT" of the node that holds the ID.
        std::string node;
        /// The session ID asked about.
        std::string id;
        /// This node's address, and its signature over it and the check's path (see NodeAuth).
        std::string asking;
        std::string signature;
        /// The whole question, from resolving the node to its answer.
        std::chrono::milliseconds deadline{3000};
    };

    /// `done` is told once, later, true when the node says its agent answered.
    RemoteAgentCheck(net::io_context &io, Settings settings, std::function<void(bool)> done);

    /// Starts asking. Call once, right after construction.
    void start();

private:
    void onResolve(const beast::error_code &ec, const tcp::resolver::results_type &results);
    void onConnect(const beast::error_code &ec, const tcp::endpoint &);
    void onHandshake(const beast::error_code &ec);
    void onRead(const beast::error_code &ec, std::size_t);
    void finish(bool alive);

    const Settings settings;
    std::function<void(bool)> done;
    tcp::resolver resolver;
    websocket::stream<beast::tcp_stream> link;
    beast::flat_buffer buffer;
};

} // namespace velmora::server
