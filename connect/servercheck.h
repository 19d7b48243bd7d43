// One HTTP request to the server's root, so that velmora-connect can tell before it listens
// whether the server is there, passes the TLS checks (wss://) and speaks HTTP.
#pragma once

#include "connect/connectoptions.h"
#include "server/beast/beast.h"
#include "server/beast/transport.h"

#include <chrono>
#include <string>

namespace velmora::server {

class ServerCheck
{
public:
    /// `io` must outlive the check and have no other work; `tls` (null for ws://) must outlive
    /// it too.
    ServerCheck(net::io_context &io, const ConnectOptions &options, ssl::context *tls);

    /// Runs `io` until the server answered or `timeout` passed. Returns an English explanation
    /// of what failed, or an empty string. Call once.
    std::string run(std::chrono::milliseconds timeout);

private:
    void onConnect(const beast::error_code &ec, const tcp::endpoint &);
    void doHandshake();
    void onHandshake(const beast::error_code &ec);
    void doWrite();
    void onWrite(const beast::error_code &ec, std::size_t);
    void onRead(const beast::error_code &ec, std::size_t);

    net::io_context &io;
    HostPort server;
    /// "ws://HOST:PORT" or "wss://HOST:PORT", for the messages.
    std::string where;
    Transport stream;
    beast::flat_buffer buffer;
    http::request<http::empty_body> request;
    http::response<http::string_body> response;
    std::string result;
};

} // namespace velmora::server
