// velmora-connect's work: each TCP connection of a native VNC viewer bridged to the server's
// WebSocket (over TLS for a wss:// server) for one session ID, binary messages both ways.
#pragma once

#include "connect/connectoptions.h"
#include "server/beast/beast.h"
#include "server/beast/transport.h"

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>

namespace velmora::server {

class BridgeSession;

class Bridge
{
public:
    /// `say` receives one line per event for the user (no line break).
    /// `io` must outlive the bridge. Throws std::runtime_error when the TLS settings cannot be
    /// made (an unusable --ca-file).
    Bridge(net::io_context &io, ConnectOptions options,
           std::function<void(const std::string &)> say);

    /// Checks that the server accepts TCP connections, completes the TLS handshake with a
    /// certificate that verifies (wss://) and answers HTTP, running `io` until done. Returns an
    /// English explanation of what failed, or an empty string. Call before listen().
    std::string checkServer(std::chrono::milliseconds timeout);

    /// Binds the local port and starts accepting viewers; returns the bound port. Throws
    /// std::runtime_error when the address cannot be bound.
    std::uint16_t listen();

    /// Stops accepting; bridged connections are dropped.
    void stop();

    /// "ws://HOST:PORT/viewer/ID", or wss://.
    std::string viewerUrl() const;

private:
    void doAccept();
    void onAccept(const beast::error_code &ec, tcp::socket socket);

    net::io_context &io;
    ConnectOptions options;
    std::function<void(const std::string &)> say;
    /// The TLS settings for a wss:// server; null for ws://.
    std::unique_ptr<ssl::context> tls;
    tcp::acceptor acceptor;
    /// The bridged connections, dropped by stop(); pruned as they end.
    std::list<std::weak_ptr<BridgeSession>> sessions;
};

} // namespace velmora::server
