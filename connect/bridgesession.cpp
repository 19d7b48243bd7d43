#include "connect/bridgesession.h"

#include "connect/failure.h"
#include "server/core/route.h"

namespace velmora::server {

BridgeSession::BridgeSession(tcp::socket viewer, const ConnectOptions &options, ssl::context *tls,
                             std::function<void(const std::string &)> say)
    : viewer(std::move(viewer)), resolver(this->viewer.get_executor()),
      ws(tcp::socket(this->viewer.get_executor()), tls), options(options), say(std::move(say)),
      peer(remoteAddress(this->viewer))
{}

void BridgeSession::start()
{
    resolver.async_resolve(
        options.server.host, std::to_string(options.server.port),
        beast::bind_front_handler(&BridgeSession::onResolve, shared_from_this()));
}

void BridgeSession::drop()
{
    beast::error_code ignored;
    viewer.close(ignored);
    beast::get_lowest_layer(ws).socket().close(ignored);
}

void BridgeSession::onResolve(const beast::error_code &ec,
                              const tcp::resolver::results_type &results)
{
    if (ec)
        return fail("cannot resolve the server: " + describeFailure(ec));
    beast::get_lowest_layer(ws).expires_after(std::chrono::seconds(10));
    beast::get_lowest_layer(ws).async_connect(
        results, beast::bind_front_handler(&BridgeSession::onConnect, shared_from_this()));
}

void BridgeSession::onConnect(const beast::error_code &ec, const tcp::endpoint &)
{
    if (ec)
        return fail("cannot reach the server: " + describeFailure(ec));
    if (ws.next_layer().secure())
        doTlsHandshake();
    else
        doHandshake();
}

void BridgeSession::doTlsHandshake()
{
    if (!ws.next_layer().expectHost(options.server.host))
        return fail("cannot check the server's certificate for " + options.server.host);
    ws.next_layer().async_handshake(
        ssl::stream_base::client,
        beast::bind_front_handler(&BridgeSession::onTlsHandshake, shared_from_this()));
}

void BridgeSession::onTlsHandshake(const beast::error_code &ec)
{
    if (ec)
        return fail("no TLS connection to the server: " + describeTlsFailure(ws.next_layer(), ec));
    doHandshake();
}

void BridgeSession::doHandshake()
{
    beast::error_code ignored;
    beast::get_lowest_layer(ws).socket().set_option(tcp::no_delay(true), ignored);
    viewer.set_option(tcp::no_delay(true), ignored);
    ws.set_option(websocket::stream_base::decorator([](websocket::request_type &request) {
        request.set(http::field::user_agent, "velmora-connect");
        request.set(http::field::sec_websocket_protocol,
                    beast::string_view(kBinarySubprotocol.data(), kBinarySubprotocol.size()));
    }));
    const std::string host = formatHostPort(options.server.host, options.server.port);
    const std::string target = std::string(kViewerPrefix) + options.id;
    ws.async_handshake(host, target,
                       beast::bind_front_handler(&BridgeSession::onHandshake, shared_from_this()));
}

void BridgeSession::onHandshake(const beast::error_code &ec)
{
    if (ec)
        return fail("the server refused the connection: " + describeFailure(ec));
    beast::get_lowest_layer(ws).expires_never();
    ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::client));
    ws.binary(true);
    ws.auto_fragment(false);
    say("viewer " + peer + " connected to session " + options.id);
    doReadViewer();
    doReadServer();
}

void BridgeSession::doReadViewer()
{
    viewer.async_read_some(
        net::buffer(chunk),
        beast::bind_front_handler(&BridgeSession::onReadViewer, shared_from_this()));
}

void BridgeSession::onReadViewer(const beast::error_code &ec, std::size_t size)
{
    if (ec) {
        // The viewer left: end the session on the server in an orderly way.
        if (!serverDone && !closing) {
            closing = true;
            ws.async_close(websocket::close_code::normal,
                           beast::bind_front_handler(&BridgeSession::onClose, shared_from_this()));
        }
        return;
    }
    ws.async_write(net::buffer(chunk.data(), size),
                   beast::bind_front_handler(&BridgeSession::onWriteServer, shared_from_this()));
}

void BridgeSession::onWriteServer(const beast::error_code &ec, std::size_t)
{
    if (!ec)
        doReadViewer();
}

void BridgeSession::onClose(const beast::error_code &)
{
    finish("the viewer disconnected");
}

void BridgeSession::doReadServer()
{
    ws.async_read(incoming,
                  beast::bind_front_handler(&BridgeSession::onReadServer, shared_from_this()));
}

void BridgeSession::onReadServer(const beast::error_code &ec, std::size_t)
{
    if (ec) {
        serverDone = true;
        if (ec == websocket::error::closed) {
            const auto &reason = ws.reason();
            if (reason.code != websocket::close_code::normal || !reason.reason.empty()) {
                say("the server closed the connection: " + std::string(reason.reason.c_str()) +
                    " (code " + std::to_string(reason.code) + ")");
            }
            finish("the server closed the connection");
        } else if (!closing) {
            finish("lost the server: " + describeFailure(ec));
        }
        return;
    }
    net::async_write(viewer, incoming.data(),
                     beast::bind_front_handler(&BridgeSession::onWriteViewer, shared_from_this()));
}

void BridgeSession::onWriteViewer(const beast::error_code &ec, std::size_t)
{
    incoming.consume(incoming.size());
    if (!ec)
        doReadServer();
}

void BridgeSession::fail(const std::string &why)
{
    say(why);
    drop();
}

void BridgeSession::finish(const std::string &why)
{
    if (finished)
        return;
    finished = true;
    say("viewer " + peer + " disconnected (" + why + ")");
    beast::error_code ignored;
    viewer.shutdown(tcp::socket::shutdown_both, ignored);
    viewer.close(ignored);
}

} // namespace velmora::server
