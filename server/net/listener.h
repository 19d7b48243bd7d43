// Accepts TCP connections on the server's port and owns every live connection until it ends:
// the HTTP session that reads a connection's first request, then the WebSocket connection that
// an upgrade makes of it. Drops connections whose writes stall, and stops them all. Runs on the
// io_context's thread.
#pragma once

#include "server/beast/beast.h"
#include "server/core/clock.h"
#include "server/core/serverconfig.h"
#include "server/net/httpsession.h"
#include "server/net/wsconnection.h"

#include <boost/asio/signal_set.hpp>

#include <memory>
#include <unordered_map>

namespace velmora::server {

class Counters;

class Listener : public HttpSession::Owner
{
public:
    /// What the listener asks of the server it listens for (the hub), on the server's thread.
    class Owner
    {
    public:
        /// The WebSocket connection, not yet started, for an upgrade request to an agent's or a
        /// viewer's path.
        virtual std::shared_ptr<WsConnection> connectionFor(tcp::socket socket,
                                                            const Request &request, ConnectionId id,
                                                            const std::string &remote) = 0;
        /// The answer to a plain HTTP request.
        virtual HttpResponse answer(const HttpRequest &request) = 0;
        /// At every sweep, before stalled writes are looked for.
        virtual void sweeping(Clock::time_point now) = 0;
        /// Stopping has begun: the acceptor is closed, and every connection is closed next.
        virtual void stopping() = 0;

    protected:
        ~Owner() = default;
    };

    /// `io`, `owner`, `config` and `counters` must outlive the listener.
    Listener(net::io_context &io, Owner &owner, const ServerConfig &config, Counters &counters);

    /// Binds config.options.listen, logs "listening on HOST:PORT", starts accepting and
    /// sweeping, and on SIGTERM or SIGINT stops when config.handleSignals is set. Returns the
    /// bound port. Throws std::runtime_error when the address cannot be resolved or bound.
    std::uint16_t listen();

    /// Closes the acceptor and every connection (code 1001) and drops the HTTP sessions. The
    /// io_context runs out of work once every connection has ended; one that has not ended when
    /// the grace period runs out is dropped with the io_context, which this stops. Idempotent.
    void stop();
    bool stopping() const { return isStopping; }

    /// A WebSocket connection ended (it reported onClosed or onHandshakeFailed): no longer kept.
    void connectionEnded(ConnectionId id);

private:
    // HttpSession::Owner, for the sessions this listener makes.
    HttpResponse answer(const HttpRequest &request) override;
    void upgrade(tcp::socket socket, Request request, const std::string &remote) override;
    void sessionEnded(ConnectionId id) override;
    void log(const std::string &line) override;

    tcp::endpoint resolve(const HostPort &where);
    void doAccept();
    void onAccept(const beast::error_code &ec, tcp::socket socket);
    void onRetry(const beast::error_code &ec);
    void sweep();
    void onSweep(const beast::error_code &ec);
    void onSignal(const beast::error_code &ec, int signal);
    void onGrace(const beast::error_code &ec);
    /// Ends the grace period early once nothing is left to close.
    void checkStopped();

    net::io_context &io;
    Owner &owner;
    const ServerConfig &config;
    Counters &counters;
    tcp::acceptor acceptor;
    net::signal_set signals;
    net::steady_timer sweepTimer;
    net::steady_timer retryTimer;
    net::steady_timer graceTimer;
    ConnectionId nextConnection = 1;
    bool isStopping = false;
    // Every WebSocket connection until it has closed: a connection whose reading is paused and
    // whose queue is empty has no pending operation that would keep it alive.
    std::unordered_map<ConnectionId, std::shared_ptr<WsConnection>> connections;
    // HTTP sessions keep themselves alive through their pending operations.
    std::unordered_map<ConnectionId, std::weak_ptr<HttpSession>> sessions;
};

} // namespace velmora::server
