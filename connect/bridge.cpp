#include "connect/bridge.h"

#include "connect/bridgesession.h"
#include "connect/servercheck.h"
#include "server/beast/tlscontext.h"
#include "server/core/route.h"

#include <stdexcept>

namespace velmora::server {

Bridge::Bridge(net::io_context &io, ConnectOptions options,
               std::function<void(const std::string &)> say)
    : io(io), options(std::move(options)), say(std::move(say)),
      tls(this->options.tls ? clientTlsContext(this->options.caFile) : nullptr), acceptor(io)
{}

std::string Bridge::viewerUrl() const
{
    return serverUrl(options) + std::string(kViewerPrefix) + options.id;
}

std::string Bridge::checkServer(std::chrono::milliseconds timeout)
{
    return ServerCheck(io, options, tls.get()).run(timeout);
}

std::uint16_t Bridge::listen()
{
    beast::error_code ec;
    const auto address = net::ip::make_address(options.listen.host, ec);
    if (ec)
        throw std::runtime_error("--listen needs an IP address, got '" + options.listen.host + "'");
    const std::uint16_t port = listenAt(acceptor, tcp::endpoint(address, options.listen.port));
    doAccept();
    return port;
}

void Bridge::stop()
{
    beast::error_code ignored;
    acceptor.close(ignored);
    for (const auto &weak : sessions) {
        if (const auto session = weak.lock())
            session->drop();
    }
    sessions.clear();
}

void Bridge::doAccept()
{
    acceptor.async_accept(beast::bind_front_handler(&Bridge::onAccept, this));
}

void Bridge::onAccept(const beast::error_code &ec, tcp::socket socket)
{
    if (ec == net::error::operation_aborted)
        return;
    if (ec) {
        say("accepting a viewer failed: " + ec.message());
    } else {
        auto session = std::make_shared<BridgeSession>(std::move(socket), options, tls.get(), say);
        sessions.remove_if([](const auto &weak) { return weak.expired(); });
        sessions.push_back(session);
        session->start();
    }
    doAccept();
}

} // namespace velmora::server
