#include "server/net/httpsession.h"

#include <sys/ioctl.h>

namespace velmora::server {

namespace {

constexpr std::uint32_t kHeaderLimit = 8 * 1024;
constexpr std::uint64_t kBodyLimit = 64 * 1024;
// Bytes of answers a client may leave unread in the kernel before its next request waits.
constexpr int kUnreadLimit = 256 * 1024;
constexpr std::chrono::milliseconds kDrainPoll{50};

// Bytes written to `socket` that the peer has not acknowledged yet (Linux's SIOCOUTQ).
int unsentBytes(tcp::socket &socket)
{
    int bytes = 0;
    if (::ioctl(socket.native_handle(), TIOCOUTQ, &bytes) != 0)
        return 0;
    return bytes;
}

beast::string_view toBeast(std::string_view text)
{
    return {text.data(), text.size()};
}

// The parts of the request that decide what it is.
RequestHead headOf(const Request &request, tcp::socket &socket)
{
    RequestHead head;
    head.target = toStd(request.target());
    head.webSocketUpgrade = websocket::is_upgrade(request);
    const auto cookies = request.equal_range(http::field::cookie);
    for (auto it = cookies.first; it != cookies.second; ++it)
        head.cookies.push_back(toStd(it->value()));
    const auto forwarded = request.equal_range("X-Forwarded-For");
    for (auto it = forwarded.first; it != forwarded.second; ++it)
        head.forwardedFor.push_back(toStd(it->value()));
    if (const auto it = request.find(toBeast(kCarriedClientHeader)); it != request.end())
        head.carriedClient = toStd(it->value());
    if (const auto it = request.find(toBeast(kNodeSignatureHeader)); it != request.end())
        head.nodeSignature = toStd(it->value());
    // Only a WebSocket counts against its client's limits.
    beast::error_code ec;
    const tcp::endpoint peer = head.webSocketUpgrade ? socket.remote_endpoint(ec) : tcp::endpoint();
    if (head.webSocketUpgrade && !ec)
        head.peer = peer.address().to_string();
    return head;
}

HttpRequest plainRequest(const Request &request, const Route &route)
{
    HttpRequest plain;
    plain.method = std::string(request.method_string());
    plain.path = route.path;
    plain.target = std::string(request.target());
    plain.ifNoneMatch = std::string(request[http::field::if_none_match]);
    return plain;
}

} // namespace

HttpSession::HttpSession(Owner &owner, Transport transport, ssl::context *tls, ConnectionId id,
                         std::string remote, std::chrono::milliseconds requestTimeout,
                         const RoutePolicy &policy)
    : owner(owner), policy(policy), stream(std::move(transport)), tls(tls), connectionId(id),
      remote(std::move(remote)), requestTimeout(requestTimeout), timer(this->stream.get_executor())
{}

void HttpSession::start()
{
    if (tls)
        doAwaitHello();
    else
        doRead();
}

void HttpSession::abort()
{
    if (finished)
        return;
    beast::error_code ignored;
    beast::get_lowest_layer(stream).socket().close(ignored);
}

void HttpSession::doAwaitHello()
{
    awaitingHello = true;
    timer.expires_after(requestTimeout);
    timer.async_wait(beast::bind_front_handler(&HttpSession::onHelloTimeout, shared_from_this()));
    beast::get_lowest_layer(stream).socket().async_wait(
        tcp::socket::wait_read,
        beast::bind_front_handler(&HttpSession::onHello, shared_from_this()));
}

void HttpSession::onHelloTimeout(const beast::error_code &ec)
{
    // The timer may have expired just as the bytes came.
    if (ec || finished || !awaitingHello)
        return;
    owner.failed(FailureLog::Kind::TlsHandshake,
                 "TLS handshake with " + remote + " failed: timed out");
    finish();
}

void HttpSession::onHello(const beast::error_code &ec)
{
    awaitingHello = false;
    timer.cancel();
    if (finished)
        return;
    // Readable with nothing to read: the client left without a word (a port scan).
    beast::error_code gone;
    if (ec || beast::get_lowest_layer(stream).socket().available(gone) == 0 || gone ||
        !owner.handshakeBegins(connectionId)) {
        finish();
        return;
    }
    handshaking = true;
    stream.startTls(*tls);
    doHandshake();
}

void HttpSession::doHandshake()
{
    beast::get_lowest_layer(stream).expires_after(requestTimeout);
    stream.async_handshake(
        ssl::stream_base::server,
        beast::bind_front_handler(&HttpSession::onHandshake, shared_from_this()));
}

void HttpSession::onHandshake(const beast::error_code &ec)
{
    endHandshake();
    if (finished)
        return;
    if (ec) {
        // A client that leaves before the handshake is no news (a port check, a closed tab).
        if (ec != net::error::eof && ec != ssl::error::stream_truncated &&
            ec != net::error::connection_reset)
            owner.failed(FailureLog::Kind::TlsHandshake,
                         "TLS handshake with " + remote + " failed: " +
                             (ec == beast::error::timeout ? "timed out" : ec.message()));
        finish();
        return;
    }
    doRead();
}

void HttpSession::endHandshake()
{
    if (!handshaking)
        return;
    handshaking = false;
    owner.handshakeEnded(connectionId);
}

void HttpSession::doRead()
{
    parser.emplace();
    parser->header_limit(kHeaderLimit);
    parser->body_limit(kBodyLimit);
    beast::get_lowest_layer(stream).expires_after(requestTimeout);
    http::async_read(stream, buffer, *parser,
                     beast::bind_front_handler(&HttpSession::onRead, shared_from_this()));
}

void HttpSession::onRead(const beast::error_code &ec, std::size_t)
{
    if (finished)
        return;
    if (ec) {
        readFailed(ec);
        return;
    }
    const Request &request = parser->get();
    const RequestHead head = headOf(request, beast::get_lowest_layer(stream).socket());
    const Route route = routeRequest(head, policy);
    if (route.kind == Route::Kind::Agent || route.kind == Route::Kind::Supporter ||
        route.kind == Route::Kind::AgentCheck) {
        handOver(route);
        return;
    }
    HttpResponse answer;
    if (route.kind == Route::Kind::NotFound) {
        owner.failed(FailureLog::Kind::UnknownPath,
                     "refused WebSocket upgrade from " + remote + " to an unknown path");
        answer = notFound();
    } else {
        answer = owner.answer(plainRequest(request, route));
    }
    respond(request, std::move(answer), request.keep_alive() && !head.webSocketUpgrade);
}

void HttpSession::readFailed(const beast::error_code &ec)
{
    const bool partial = parser->got_some() || buffer.size() > 0;
    const bool malformed =
        ec.category() == http::make_error_code(http::error::bad_target).category() &&
        ec != http::error::end_of_stream && ec != http::error::partial_message;
    if (ec == beast::error::timeout && partial)
        owner.failed(FailureLog::Kind::RequestTimeout, "request from " + remote + " timed out");
    if (!malformed) {
        finish();
        return;
    }
    owner.failed(FailureLog::Kind::BadRequest, "bad request from " + remote + ": " + ec.message());
    auto badRequest = std::make_shared<Outgoing>();
    badRequest->bytes = std::make_shared<const std::string>("Bad request\n");
    badRequest->message = {http::status::bad_request, 11};
    badRequest->message.set(http::field::server, kServerHeader);
    badRequest->message.set(http::field::content_type, "text/plain; charset=utf-8");
    badRequest->message.set(http::field::connection, "close");
    badRequest->message.body() = {badRequest->bytes->data(), badRequest->bytes->size()};
    badRequest->message.prepare_payload();
    doWrite(std::move(badRequest), false);
}

void HttpSession::handOver(const Route &route)
{
    Request &request = parser->get();
    if (auto refusal = owner.upgrade(stream, request, route, remote)) {
        respond(request, std::move(*refusal), false);
        return;
    }
    finished = true;
    owner.sessionEnded(connectionId);
}

void HttpSession::respond(const Request &request, HttpResponse answer, bool keepAlive)
{
    auto out = std::make_shared<Outgoing>();
    out->bytes = answer.sharedBody ? std::move(answer.sharedBody)
                                   : std::make_shared<const std::string>(std::move(answer.body));
    auto &message = out->message;
    message.result(static_cast<http::status>(answer.status));
    message.version(request.version());
    message.set(http::field::server, kServerHeader);
    if (answer.status != 304)
        message.set(http::field::content_type, answer.contentType);
    for (const auto &[name, value] : answer.headers)
        message.set(name, value);
    message.keep_alive(keepAlive);
    const bool head = request.method() == http::verb::head;
    if (!head)
        message.body() = {out->bytes->data(), out->bytes->size()};
    message.prepare_payload();
    if (head && answer.status != 304)
        message.content_length(out->bytes->size());
    // A client that does not read its answer must not hold the connection for ever.
    beast::get_lowest_layer(stream).expires_after(requestTimeout);
    doWrite(std::move(out), keepAlive);
}

void HttpSession::doWrite(std::shared_ptr<Outgoing> answer, bool keepAlive)
{
    response = std::move(answer);
    http::async_write(
        stream, response->message,
        beast::bind_front_handler(&HttpSession::onWrite, shared_from_this(), keepAlive));
}

void HttpSession::onWrite(bool keepAlive, const beast::error_code &ec, std::size_t)
{
    response.reset();
    if (ec) {
        finish();
        return;
    }
    if (keepAlive)
        doAwaitDrain();
    else if (stream.secure())
        doShutdown();
    else
        finish();
}

void HttpSession::doAwaitDrain()
{
    if (finished)
        return;
    if (unsentBytes(beast::get_lowest_layer(stream).socket()) <= kUnreadLimit) {
        draining = false;
        doRead();
        return;
    }
    const auto now = Clock::now();
    if (!draining) {
        draining = true;
        drainDeadline = now + requestTimeout;
    } else if (now >= drainDeadline) {
        owner.failed(FailureLog::Kind::UnreadAnswers,
                     "dropping " + remote + ": it left its answers unread for " +
                         std::to_string(requestTimeout.count() / 1000) + " s");
        finish();
        return;
    }
    timer.expires_after(kDrainPoll);
    timer.async_wait(beast::bind_front_handler(&HttpSession::onAwaitDrain, shared_from_this()));
}

void HttpSession::onAwaitDrain(const beast::error_code &ec)
{
    if (!ec)
        doAwaitDrain();
}

void HttpSession::doShutdown()
{
    beast::get_lowest_layer(stream).expires_after(requestTimeout);
    stream.async_shutdown(beast::bind_front_handler(&HttpSession::onShutdown, shared_from_this()));
}

void HttpSession::onShutdown(const beast::error_code &)
{
    // Whether or not close_notify went out (the peer may be gone), the connection is done.
    finish();
}

void HttpSession::finish()
{
    if (finished)
        return;
    finished = true;
    timer.cancel();
    endHandshake();
    beast::error_code ignored;
    auto &socket = beast::get_lowest_layer(stream).socket();
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    socket.close(ignored);
    owner.sessionEnded(connectionId);
}

} // namespace velmora::server
