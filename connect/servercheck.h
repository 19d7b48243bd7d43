// One plain HTTP request to the server's root, so that velmora-connect can tell before it
// listens whether the server is there and speaks HTTP.
#pragma once

#include "server/beast/beast.h"
#include "server/core/commandline.h"

#include <chrono>
#include <string>

namespace velmora::server {

class ServerCheck
{
public:
    /// `io` must outlive the check and have no other work.
    ServerCheck(net::io_context &io, HostPort server);

    /// Runs `io` until the server answered or `timeout` passed. Returns an English explanation
    /// of what failed, or an empty string. Call once.
    std::string run(std::chrono::milliseconds timeout);

private:
    void onConnect(const beast::error_code &ec, const tcp::endpoint &);
    void onWrite(const beast::error_code &ec, std::size_t);
    void onRead(const beast::error_code &ec, std::size_t);

    net::io_context &io;
    HostPort server;
    /// "ws://HOST:PORT", for the messages.
    std::string where;
    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    http::request<http::empty_body> request;
    http::response<http::string_body> response;
    std::string result;
};

} // namespace velmora::server
