// One viewer connection of velmora-connect and its WebSocket to the server (over TLS for a
// wss:// server). Each direction has one operation in flight, which keeps the bytes in order and
// bounds what is buffered.
#pragma once

#include "connect/connectoptions.h"
#include "server/beast/beast.h"
#include "server/beast/transport.h"

#include <array>
#include <functional>
#include <memory>
#include <string>

namespace velmora::server {

/// Lifetime: shared; every pending operation holds a reference. `options` and `tls` must outlive
/// the session (the bridge's do).
class BridgeSession : public std::enable_shared_from_this<BridgeSession>
{
public:
    /// `tls`: the TLS settings for a wss:// server, null for ws://. `say` receives one line per
    /// event for the user (no line break).
    BridgeSession(tcp::socket viewer, const ConnectOptions &options, ssl::context *tls,
                  std::function<void(const std::string &)> say);

    /// Resolves and connects to the server, then relays both ways.
    void start();
    /// Drops both connections at once.
    void drop();

private:
    void onResolve(const beast::error_code &ec, const tcp::resolver::results_type &results);
    void onConnect(const beast::error_code &ec, const tcp::endpoint &);
    void doTlsHandshake();
    void onTlsHandshake(const beast::error_code &ec);
    void doHandshake();
    void onHandshake(const beast::error_code &ec);
    void doReadViewer();
    void onReadViewer(const beast::error_code &ec, std::size_t size);
    void onWriteServer(const beast::error_code &ec, std::size_t);
    void onClose(const beast::error_code &);
    void doReadServer();
    void onReadServer(const beast::error_code &ec, std::size_t);
    void onWriteViewer(const beast::error_code &ec, std::size_t);
    /// Tells the user and drops both connections (before the relay began).
    void fail(const std::string &why);
    /// Tells the user once and closes the viewer's connection.
    void finish(const std::string &why);

    tcp::socket viewer;
    tcp::resolver resolver;
    websocket::stream<Transport> ws;
    const ConnectOptions &options;
    std::function<void(const std::string &)> say;
    std::string peer;
    std::array<char, 64 * 1024> chunk{};
    beast::flat_buffer incoming;
    bool closing = false;
    bool serverDone = false;
    bool finished = false;
};

} // namespace velmora::server
