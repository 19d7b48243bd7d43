#include "server/net/listener.h"

#include "server/beast/tlscontext.h"
#include "server/core/clientaddress.h"
#include "server/core/counters.h"
#include "server/core/text.h"

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace velmora::server {

namespace {

// The process's soft limit on descriptors (main raises it to the hard limit first).
std::size_t descriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 1u << 20;
    return static_cast<std::size_t>(limit.rlim_cur);
}

std::size_t openDescriptors()
{
    std::error_code ec;
    std::size_t count = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++count;
    return count;
}

const char *refusalName(ConnectionCounts::Refusal refusal)
{
    return refusal == ConnectionCounts::Refusal::ServerFull ? "server-full" : "client-limit";
}

const char *kindName(ConnectionCounts::Kind kind)
{
    switch (kind) {
    case ConnectionCounts::Kind::Http:
        return "HTTP";
    case ConnectionCounts::Kind::Agent:
        return "agent";
    case ConnectionCounts::Kind::Supporter:
        return "supporter";
    }
    return "?";
}

} // namespace

Listener::Listener(net::io_context &io, Owner &owner, const ServerConfig &config,
                   Counters &counters, FailureLog &failures, const RoutePolicy &policy)
    : io(io), owner(owner), config(config), counters(counters), failures(failures), policy(policy),
      signals(io), sweepTimer(io), graceTimer(io)
{}

std::uint16_t Listener::listen()
{
    const ServerOptions &options = config.options;
    if (!options.tlsCert.empty())
        tls = serverTlsContext(options.tlsCert, options.tlsKey);
    ConnectionCounts::Limits limits;
    limits.http = options.maxHttpPerAddress;
    limits.agents = options.maxAgentsPerAddress;
    limits.supporters = options.maxSupportersPerAddress;
    limits.descriptors = descriptorLimit();
    limits.reserve = options.descriptorReserve;
    counts = ConnectionCounts(limits);
    handshakes = HandshakeBudget({options.maxTlsHandshakesPerAddress, options.maxTlsHandshakes});
    const std::uint16_t port = openPort(options.listen, tls.get(), tls ? " (TLS)" : "");
    if (options.plainListen)
        plainListenPort = openPort(*options.plainListen, nullptr, " (plain)");
    // What the process holds besides its connections: the acceptors, the log, the library's.
    baseDescriptors = openDescriptors();
    // The first sweep on the loop's first turn: the owner may finish its set-up after this.
    net::post(io, [this] {
        if (!isStopping)
            sweep();
    });
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
    ++ended;
    connections.erase(id);
    forget(id);
    checkStopped();
}

void Listener::forget(ConnectionId id)
{
    const auto it = counted.find(id);
    if (it == counted.end())
        return;
    counts.release(it->second.first, it->second.second);
    counted.erase(it);
}

std::size_t Listener::descriptorsInUse() const
{
    return baseDescriptors + connections.size() + sessions.size();
}

ConnectionCounts::Refusal Listener::admit(ConnectionCounts::Kind kind, const std::string &client,
                                          std::size_t inUse)
{
    const auto refusal = counts.admit(kind, client, inUse);
    if (refusal == ConnectionCounts::Refusal::None)
        return refusal;
    counters.connectionRefused(refusalName(refusal));
    const auto now = Clock::now();
    if (refusal == ConnectionCounts::Refusal::ServerFull) {
        if (fullLog.happened(now))
            log("refusing new connections: " + std::to_string(inUse) + " of " +
                std::to_string(counts.limits().descriptors) + " descriptors in use, " +
                std::to_string(counts.limits().reserve) + " kept in reserve (" +
                std::to_string(fullLog.suppressed()) + " more refused before)");
    } else if (refusalLog.happened(now)) {
        log("refused a " + std::string(kindName(kind)) + " connection from " + client + ": " +
            std::to_string(counts.count(kind, client)) + " already (" +
            std::to_string(refusalLog.suppressed()) + " more refused before)");
    }
    return refusal;
}

HttpResponse Listener::answer(const HttpRequest &request)
{
    return owner.answer(request);
}

std::optional<HttpResponse> Listener::upgrade(Transport &transport, Request &request,
                                              const Route &route, const std::string &remote)
{
    const auto kind = route.kind == Route::Kind::Agent ? ConnectionCounts::Kind::Agent
                                                       : ConnectionCounts::Kind::Supporter;
    // The socket is counted already, as the HTTP session that ends with this upgrade.
    const auto refusal = admit(kind, route.client, descriptorsInUse());
    if (refusal == ConnectionCounts::Refusal::ServerFull)
        return plainAnswer(503, "The server is full. Try again later.");
    if (refusal == ConnectionCounts::Refusal::ClientLimit)
        return plainAnswer(429, "Too many connections from your address.");
    const ConnectionId id = nextConnection++;
    auto connection = owner.connectionFor(std::move(transport), route, id, remote);
    connections[id] = connection;
    counted[id] = {kind, route.client};
    connection->start(std::move(request));
    return std::nullopt;
}

void Listener::sessionEnded(ConnectionId id)
{
    ++ended;
    sessions.erase(id);
    forget(id);
    checkStopped();
}

bool Listener::handshakeBegins(ConnectionId id)
{
    const auto it = counted.find(id);
    const std::string client = it == counted.end() ? std::string("unknown") : it->second.second;
    const auto refusal = handshakes.begin(client);
    if (refusal == HandshakeBudget::Refusal::None)
        return true;
    counters.connectionRefused("handshake-limit");
    if (handshakeLog.happened(Clock::now())) {
        const bool busy = refusal == HandshakeBudget::Refusal::ServerBusy;
        log("refused a TLS handshake from " + client + ": " +
            std::to_string(busy ? handshakes.inProgress() : handshakes.inProgress(client)) +
            (busy ? " in progress in all" : " in progress from it") + " (" +
            std::to_string(handshakeLog.suppressed()) + " more refused before)");
    }
    return false;
}

void Listener::handshakeEnded(ConnectionId id)
{
    const auto it = counted.find(id);
    handshakes.end(it == counted.end() ? std::string("unknown") : it->second.second);
    ended += 16;
}

void Listener::failed(FailureLog::Kind kind, const std::string &line)
{
    failures.failed(kind, line);
}

void Listener::log(const std::string &line)
{
    config.log(line);
}

void Listener::notePeaks()
{
    heldPeak = std::max(heldPeak, sessions.size() + connections.size());
}

void Listener::giveBackMemory()
{
    // A wave has ended when what is held has fallen to half its peak, after enough ended to
    // be worth the walk: a TLS handshake weighs as much as 16 connections.
    constexpr std::size_t kWave = 256;
    const std::size_t held = sessions.size() + connections.size();
    if (ended < kWave || held > heldPeak / 2)
        return;
    malloc_trim(0);
    heldPeak = held;
    ended = 0;
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
        // Typically out of file descriptors: try again shortly instead of spinning, and say so
        // once per interval rather than ten times a second.
        counters.connectionRefused("accept-failed");
        if (acceptLog.happened(Clock::now()))
            log("accept failed: " + ec.message() + " (" + std::to_string(acceptLog.suppressed()) +
                " more failures before)");
        port.retryTimer.expires_after(std::chrono::milliseconds(100));
        port.retryTimer.async_wait(
            beast::bind_front_handler(&Listener::onRetry, this, std::ref(port)));
        return;
    }
    beast::error_code ignored;
    counters.connectionAccepted();
    beast::error_code peerError;
    const tcp::endpoint peer = socket.remote_endpoint(peerError);
    const std::string address = peerError ? std::string("unknown") : peer.address().to_string();
    std::string client = clientKey(address).value_or(address);
    if (admit(ConnectionCounts::Kind::Http, client, descriptorsInUse() + 1) !=
        ConnectionCounts::Refusal::None) {
        socket.close(ignored);
        doAccept(port);
        return;
    }
    socket.set_option(tcp::no_delay(true), ignored);
    const ConnectionId id = nextConnection++;
    counted[id] = {ConnectionCounts::Kind::Http, std::move(client)};
    const std::string remote = remoteAddress(socket);
    // A TLS port's stream is made when the client first sends something: plain until then.
    auto session =
        std::make_shared<HttpSession>(*this, Transport(std::move(socket), nullptr), port.tls, id,
                                      remote, config.options.requestTimeout(), policy);
    sessions[id] = session;
    notePeaks();
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
    giveBackMemory();
    for (const auto &[id, connection] : connections) {
        if (connection->stalled(now)) {
            log("dropping " + connection->remote() + ": a write made no progress for " +
                secondsText(config.options.idleTimeout) + " s");
            connection->abort();
        } else if (connection->messageOverdue(now)) {
            // The server holds what arrived of a message until its end.
            counters.connectionRefused("message-timeout");
            log("dropping " + connection->remote() + ": a message took longer than " +
                secondsText(config.options.messageTimeout) + " s");
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
