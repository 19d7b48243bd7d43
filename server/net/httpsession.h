// A TCP connection until its first request tells what it is: a WebSocket upgrade (handed to the
// hub) or plain HTTP (answered here, with keep-alive).
#pragma once

#include "server/beast/beast.h"
#include "server/core/sessionregistry.h"

#include <memory>
#include <optional>
#include <string>

namespace velmora::server {

class Hub;

class HttpSession : public std::enable_shared_from_this<HttpSession>
{
public:
    HttpSession(Hub &hub, tcp::socket socket, ConnectionId id, std::string remote);

    void start();
    /// Drops the connection (server shutdown).
    void abort();
    ConnectionId id() const { return connectionId; }

private:
    void doRead();
    void finish();

    Hub &hub;
    beast::tcp_stream stream;
    ConnectionId connectionId;
    std::string remote;
    beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body>> parser;
    bool finished = false;
};

} // namespace velmora::server
