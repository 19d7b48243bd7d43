// Accepts TCP connections on the server's port (TLS or plain, and with TLS optionally a plain one
// beside it) and owns every live connection until it ends: the HTTP session that reads a
// connection's first request, then the WebSocket connection that an upgrade makes of it. Drops
// connections whose writes stall, gives the allocator's free memory back to the system after a wave
// of connections, and stops them all. Runs on the io_context's thread.
#pragma once

#include "server/beast/beast.h"
#include "server/beast/transport.h"
#include "server/core/clock.h"
#include "server/core/connectioncounts.h"
#include "server/core/failurelog.h"
#include "server/core/handshakebudget.h"
#include "server/core/serverconfig.h"
#include "server/net/httpsession.h"
#include "server/net/wsconnection.h"

#include <boost/asio/signal_set.hpp>

#include <memory>
#include <unordered_map>
#include <vector>

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
        /// supporter's path, as `route` says.
        virtual std::shared_ptr<WsConnection> connectionFor(Transport transport, const Route &route,
                                                            ConnectionId id,
                                                            const std::string &remote) = 0;
        /// The answer to a plain HTTP request.
        virtual HttpResponse answer(const HttpRequest &request) = 0;
        /// At every sweep, before stalled writes are looked for.
        virtual void sweeping(Clock::time_point now) = 0;
        /// Stopping has begun: the acceptors are closed, and every connection is closed next.
        virtual void stopping() = 0;

    protected:
        ~Owner() = default;
    };

    /// `io`, `owner`, `config`, `counters`, `failures` and `policy` (how the sessions tell
    /// clients apart) must outlive the listener.
    Listener(net::io_context &io, Owner &owner, const ServerConfig &config, Counters &counters,
             FailureLog &failures, const RoutePolicy &policy);

    /// Binds config.options.listen, logs "listening on HOST:PORT", starts accepting and
    /// sweeping, and on SIGTERM or SIGINT stops when config.handleSignals is set. Returns the
    /// bound port. With TLS configured, first loads the certificate and key, then serves TLS on
    /// that address and plain HTTP on config.options.plainListen, if set; the log lines then
    /// end in " (TLS)" and " (plain)". Throws std::runtime_error when the TLS files are
    /// unusable or an address cannot be resolved or bound.
    std::uint16_t listen();
    /// The bound port of config.options.plainListen after listen(); 0 without one.
    std::uint16_t plainPort() const { return plainListenPort; }

    /// Closes the acceptors and every connection (code 1001) and drops the HTTP sessions. The
    /// io_context runs out of work once every connection has ended; one that has not ended when
    /// the grace period runs out is dropped with the io_context, which this stops. Idempotent.
    void stop();
    bool stopping() const { return isStopping; }

    /// A WebSocket connection ended (it reported onClosed or onHandshakeFailed): no longer kept.
    void connectionEnded(ConnectionId id);

    /// Connections per client and kind, against the limits and the descriptors in reserve: plain
    /// HTTP by the TCP peer's address when accepted, agents and supporters by their client
    /// (Route::client) when upgraded.
    const ConnectionCounts &connectionCounts() const { return counts; }
    /// TLS handshakes in progress, per client (the TCP peer's address) and in all.
    const HandshakeBudget &handshakeBudget() const { return handshakes; }

private:
    // HttpSession::Owner, for the sessions this listener makes.
    HttpResponse answer(const HttpRequest &request) override;
    std::optional<HttpResponse> upgrade(Transport &transport, Request &request, const Route &route,
                                        const std::string &remote) override;
    void sessionEnded(ConnectionId id) override;
    bool handshakeBegins(ConnectionId id) override;
    void handshakeEnded(ConnectionId id) override;
    void failed(FailureLog::Kind kind, const std::string &line) override;
    void log(const std::string &line);

    /// One listening address and how its connections speak.
    struct Port
    {
        Port(net::io_context &io, ssl::context *tls) : acceptor(io), retryTimer(io), tls(tls) {}
        tcp::acceptor acceptor;
        net::steady_timer retryTimer;
        /// Null: plain HTTP and WebSocket.
        ssl::context *tls;
    };

    tcp::endpoint resolve(const HostPort &where);
    /// Binds `where` for connections that speak TLS with `context` (plain when null), logs it
    /// with `mode` and starts accepting; returns the bound port.
    std::uint16_t openPort(const HostPort &where, ssl::context *context, const char *mode);
    void doAccept(Port &port);
    void onAccept(Port &port, const beast::error_code &ec, tcp::socket socket);
    void onRetry(Port &port, const beast::error_code &ec);
    void sweep();
    void onSweep(const beast::error_code &ec);
    void onSignal(const beast::error_code &ec, int signal);
    void onGrace(const beast::error_code &ec);
    /// Ends the grace period early once nothing is left to close.
    void checkStopped();
    /// Counts a new connection of `kind` for `client`, or says why not in the log (once per
    /// interval) and the counters and returns the refusal.
    ConnectionCounts::Refusal admit(ConnectionCounts::Kind kind, const std::string &client,
                                    std::size_t inUse);
    /// Descriptors held now: those the process had when it began listening, and one for each
    /// connection.
    std::size_t descriptorsInUse() const;
    void forget(ConnectionId id);
    /// After a wave of connections or TLS handshakes has ended: the allocator keeps what they
    /// freed (glibc returns little of a fragmented heap by itself), so it is asked to give it
    /// back. At most once per sweep, and only after a wave, as it walks the whole heap.
    void giveBackMemory();
    /// Keeps the most connections held at once since memory was last given back.
    void notePeaks();

    net::io_context &io;
    Owner &owner;
    const ServerConfig &config;
    Counters &counters;
    FailureLog &failures;
    const RoutePolicy &policy;
    /// The TLS settings of the TLS port, when there is one.
    std::unique_ptr<ssl::context> tls;
    std::vector<std::unique_ptr<Port>> ports;
    std::uint16_t plainListenPort = 0;
    net::signal_set signals;
    net::steady_timer sweepTimer;
    net::steady_timer graceTimer;
    ConnectionId nextConnection = 1;
    bool isStopping = false;
    // Every WebSocket connection until it has closed: a connection whose reading is paused and
    // whose queue is empty has no pending operation that would keep it alive.
    std::unordered_map<ConnectionId, std::shared_ptr<WsConnection>> connections;
    // HTTP sessions keep themselves alive through their pending operations.
    std::unordered_map<ConnectionId, std::weak_ptr<HttpSession>> sessions;
    ConnectionCounts counts;
    HandshakeBudget handshakes;
    /// Since memory was last given back: the most sessions and connections held at once, and
    /// how many ended (a TLS handshake counting for 16).
    std::size_t heldPeak = 0;
    std::size_t ended = 0;
    // What each session and connection counts as, until it ends.
    std::unordered_map<ConnectionId, std::pair<ConnectionCounts::Kind, std::string>> counted;
    std::size_t baseDescriptors = 0;
    ThrottledLog refusalLog;
    ThrottledLog fullLog;
    ThrottledLog acceptLog;
    ThrottledLog handshakeLog;
};

} // namespace velmora::server
