#include "server/net/listener.h"

#include "server/beast/tlscontext.h"
#include "server/core/counters.h"
#include "server/core/text.h"

#include <algorithm>
#include <stdexcept>

namespace velmora::server {

Listener::Listener(net::io_context &io, Owner &owner, const ServerConfig &config,
                   Counters &counters)
    : io(io), owner(owner), config(config), counters(counters), signals(io), sweepTimer(io),
      graceTimer(io)
{}

std::uint16_t Listener::listen()
{
    const ServerOptions &options = config.options;
    if (!options.tlsCert.empty())
        tls = serverTlsContext(options.tlsCert, options.tlsKey);
    const std::uint16_t port = openPort(options.listen, tls.get(), tls ? " (TLS)" : "");
    if (options.plainListen)
        plainListenPort = openPort(*options.plainListen, nullptr, " (plain)");
    sweep();
    if (config.handleSignals) {
        signals.add(SIGTERM);
        signals.add(SIGINT);
        signals.async_wait(beast::bind_front_handler(&Listener::onSignal, this));
    }
    return port;
}

std::uint16_t Listener::openPort(const HostPort &where, ssl::context *context, const char *mode)
{
    Port &port = *ports.emplace_back(std::make_unique<Port>(io, context));
    const tcp::endpoint endpoint = resolve(where);
    const std::uint16_t bound = listenAt(port.acceptor, endpoint);
    log("listening on " + formatHostPort(endpoint.address().to_string(), bound) + mode);
    doAccept(port);
    return bound;
}

tcp::endpoint Listener::resolve(const HostPort &where)
{
    beast::error_code ec;
    const auto address = net::ip::make_address(where.host, ec);
    if (!ec)
        return tcp::endpoint(address, where.port);
    tcp::resolver resolver(io);
    const auto results = resolver.resolve(where.host, std::to_string(where.port), ec);
    if (ec || results.empty())
        throw std::runtime_error("cannot resolve " + where.host + ": " + ec.message());
    return *results.begin();
}

void Listener::stop()
{
    if (isStopping)
        return;
    isStopping = true;
    log("shutting down");
    beast::error_code ignored;
    for (const auto &port : ports) {
        port->acceptor.close(ignored);
        port->retryTimer.cancel();
    }
    signals.cancel(ignored);
    sweepTimer.cancel();
    owner.stopping();
    const auto open = connections;
    for (const auto &[id, connection] : open)
        connection->close(kShutdown);
    const auto reading = sessions;
    for (const auto &[id, weak] : reading) {
        if (const auto session = weak.lock())
            session->abort();
    }
    if (connections.empty() && sessions.empty())
        return;
    graceTimer.expires_after(config.shutdownGrace);
    graceTimer.async_wait(beast::bind_front_handler(&Listener::onGrace, this));
}

void Listener::connectionEnded(ConnectionId id)
{
    connections.erase(id);
    checkStopped();
}

HttpResponse Listener::answer(const HttpRequest &request)
{
    return owner.answer(request);
}

void Listener::upgrade(Transport transport, Request request, const std::string &remote)
{
    const ConnectionId id = nextConnection++;
    auto connection = owner.connectionFor(std::move(transport), request, id, remote);
    connections[id] = connection;
    connection->start(std::move(request));
}

void Listener::sessionEnded(ConnectionId id)
{
    sessions.erase(id);
    checkStopped();
}

void Listener::log(const std::string &line)
{
    config.log(line);
}

void Listener::doAccept(Port &port)
{
    port.acceptor.async_accept(
        beast::bind_front_handler(&Listener::onAccept, this, std::ref(port)));
}

void Listener::onAccept(Port &port, const beast::error_code &ec, tcp::socket socket)
{
    if (isStopping || ec == net::error::operation_aborted)
        return;
    if (ec) {
        // Typically out of file descriptors: try again shortly instead of spinning.
        log("accept failed: " + ec.message());
        port.retryTimer.expires_after(std::chrono::milliseconds(100));
        port.retryTimer.async_wait(
            beast::bind_front_handler(&Listener::onRetry, this, std::ref(port)));
        return;
    }
    beast::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    counters.connectionAccepted();
    const ConnectionId id = nextConnection++;
    const std::string remote = remoteAddress(socket);
    auto session = std::make_shared<HttpSession>(*this, Transport(std::move(socket), port.tls), id,
                                                 remote, config.options.requestTimeout());
    sessions[id] = session;
    session->start();
    doAccept(port);
}

void Listener::onRetry(Port &port, const beast::error_code &ec)
{
    if (!ec && !isStopping)
        doAccept(port);
}

void Listener::sweep()
{
    const auto now = Clock::now();
    owner.sweeping(now);
    for (const auto &[id, connection] : connections) {
        if (connection->stalled(now)) {
            log("dropping " + connection->remote() + ": a write made no progress for " +
                secondsText(config.options.idleTimeout) + " s");
            connection->abort();
        }
    }
    using std::chrono::milliseconds;
    sweepTimer.expires_after(
        std::clamp(config.options.idleTimeout / 4, milliseconds(50), milliseconds(5000)));
    sweepTimer.async_wait(beast::bind_front_handler(&Listener::onSweep, this));
}

void Listener::onSweep(const beast::error_code &ec)
{
    if (!ec && !isStopping)
        sweep();
}

void Listener::onSignal(const beast::error_code &ec, int signal)
{
    if (ec)
        return;
    log(std::string("received ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT"));
    stop();
}

void Listener::onGrace(const beast::error_code &ec)
{
    if (ec)
        return;
    log("dropping " + std::to_string(connections.size() + sessions.size()) +
        " connections that did not close in time");
    io.stop();
}

void Listener::checkStopped()
{
    if (isStopping && connections.empty() && sessions.empty())
        graceTimer.cancel();
}

} // namespace velmora::server
