// A TCP connection until its first request tells what it is: a WebSocket upgrade (handed to the
// owner with the connection) or plain HTTP (answered here, with keep-alive). What a request is gets
// decided here once (routeRequest), and goes on with what was derived from it. On a TLS port the
// TLS handshake comes first, bounded like a request; its state is made only once the client has
// sent something, so that an idle connection costs no more than a plain one.
#pragma once

#include "server/beast/beast.h"
#include "server/beast/transport.h"
#include "server/core/clock.h"
#include "server/core/failurelog.h"
#include "server/core/httphandler.h"
#include "server/core/route.h"
#include "server/core/sessionregistry.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace velmora::server {

/// Lifetime: shared; every pending operation holds a reference, and the owner keeps a weak one
/// until sessionEnded.
class HttpSession : public std::enable_shared_from_this<HttpSession>
{
public:
    /// What a session hands on, on the server's thread (the listener, which owns it).
    class Owner
    {
    public:
        /// The answer to a plain HTTP request.
        virtual HttpResponse answer(const HttpRequest &request) = 0;
        /// A WebSocket upgrade to an agent's or a supporter's path (`route`): takes (moves from)
        /// `transport` and `request` and returns nothing, or refuses it with the answer to give,
        /// leaving both as they were.
        virtual std::optional<HttpResponse> upgrade(Transport &transport, Request &request,
                                                    const Route &route,
                                                    const std::string &remote) = 0;
        /// The session is over (its socket closed or handed on); called once.
        virtual void sessionEnded(ConnectionId id) = 0;
        /// The TLS client of session `id` has sent its first bytes: true when its handshake may
        /// begin, counted until handshakeEnded; false drops the connection.
        virtual bool handshakeBegins(ConnectionId id) = 0;
        virtual void handshakeEnded(ConnectionId id) = 0;
        /// The connection failed as `kind`, which `line` says.
        virtual void failed(FailureLog::Kind kind, const std::string &line) = 0;

    protected:
        ~Owner() = default;
    };

    /// `transport` is plain TCP; `tls`, when not null, the TLS that it speaks. `requestTimeout`
    /// bounds the wait for a TLS client's first bytes, the TLS handshake, reading each request
    /// and writing its answer. `owner`, `tls` and `policy` must outlive every callback.
    HttpSession(Owner &owner, Transport transport, ssl::context *tls, ConnectionId id,
                std::string remote, std::chrono::milliseconds requestTimeout,
                const RoutePolicy &policy);

    void start();
    /// Drops the connection (server shutdown).
    void abort();
    ConnectionId id() const { return connectionId; }

private:
    /// An answer on its way: its body refers to `bytes`, which it keeps alive.
    struct Outgoing
    {
        std::shared_ptr<const std::string> bytes;
        http::response<http::span_body<const char>> message;
    };

    /// Waits, without reading, until the TLS client sends something.
    void doAwaitHello();
    void onHello(const beast::error_code &ec);
    void onHelloTimeout(const beast::error_code &ec);
    void doHandshake();
    void onHandshake(const beast::error_code &ec);
    /// Gives the handshake's place in the budget back, once.
    void endHandshake();
    void doRead();
    void onRead(const beast::error_code &ec, std::size_t);
    /// A read that failed: a malformed request is answered 400, anything else ends the session.
    void readFailed(const beast::error_code &ec);
    void handOver(const Route &route);
    /// Answers the request that was read; keep-alive unless it asked otherwise or for an upgrade.
    void respond(const Request &request, HttpResponse answer, bool keepAlive);
    void doWrite(std::shared_ptr<Outgoing> answer, bool keepAlive);
    void onWrite(bool keepAlive, const beast::error_code &ec, std::size_t);
    /// Reads the next request once the client has taken most of the earlier answers: one that
    /// pipelines requests and never reads would otherwise have every answer queued for it.
    /// Drops the connection when it has not done so within the request timeout.
    void doAwaitDrain();
    void onAwaitDrain(const beast::error_code &ec);
    /// TLS's orderly end (our close_notify) after the last answer; then finish().
    void doShutdown();
    void onShutdown(const beast::error_code &ec);
    /// Closes the connection and tells the owner; once.
    void finish();

    Owner &owner;
    const RoutePolicy &policy;
    Transport stream;
    ssl::context *tls;
    ConnectionId connectionId;
    std::string remote;
    std::chrono::milliseconds requestTimeout;
    beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body>> parser;
    /// The answer being written.
    std::shared_ptr<Outgoing> response;
    /// Bounds the wait for a TLS client's first bytes; later polls the bytes still waiting in the
    /// kernel while the client does not read.
    net::steady_timer timer;
    Clock::time_point drainDeadline;
    bool awaitingHello = false;
    bool handshaking = false;
    bool draining = false;
    bool finished = false;
};

} // namespace velmora::server
