#include "server/net/wsconnection.h"

#include "server/core/httphandler.h"
#include "server/core/route.h"

namespace velmora::server {

namespace {

// A flat buffer keeps the capacity of the largest message it held; give it back after a big one
// so that thousands of idle connections stay small.
constexpr std::size_t kKeptBufferCapacity = 64 * 1024;
// Messages are read in pieces of at most this, so that each piece is counted as it arrives.
constexpr std::size_t kReadPiece = 512 * 1024;

std::string describeError(const beast::error_code &ec)
{
    if (ec == websocket::error::closed)
        return "closed by the peer";
    if (ec == beast::error::timeout)
        return "timed out";
    if (ec == net::error::eof || ec == net::error::connection_reset ||
        ec == ssl::error::stream_truncated)
        return "connection dropped without a close frame";
    if (ec == websocket::error::message_too_big)
        return "message too big";
    return ec.message();
}

} // namespace

WsConnection::WsConnection(Transport transport, ConnectionId id, std::string remote,
                           ConnectionLimits limits)
    : ws(std::move(transport)), connectionId(id), remoteText(std::move(remote)), limits(limits)
{}

WsConnection::~WsConnection()
{
    releaseHeld();
}

void WsConnection::holdMessagesTo(BufferBudget &shared, std::string client)
{
    budget = &shared;
    budgetClient = std::move(client);
}

void WsConnection::setMessageLimit(std::size_t bytes)
{
    ws.read_message_max(bytes);
}

void WsConnection::releaseHeld()
{
    if (budget)
        budget->give(budgetClient, held);
    held = 0;
}

websocket::stream_base::timeout WsConnection::timeouts(bool idle) const
{
    websocket::stream_base::timeout option;
    option.handshake_timeout = limits.handshakeTimeout;
    option.idle_timeout =
        idle ? std::chrono::duration_cast<std::chrono::steady_clock::duration>(limits.idleTimeout)
             : websocket::stream_base::none();
    option.keep_alive_pings = true;
    return option;
}

void WsConnection::start(Request request)
{
    beast::get_lowest_layer(ws).expires_never();
    ws.set_option(timeouts(true));
    const bool binary =
        offersSubprotocol(toStd(request[http::field::sec_websocket_protocol]), kBinarySubprotocol);
    ws.set_option(websocket::stream_base::decorator([binary](websocket::response_type &response) {
        response.set(http::field::server, kServerHeader);
        if (binary)
            response.set(http::field::sec_websocket_protocol,
                         beast::string_view(kBinarySubprotocol.data(), kBinarySubprotocol.size()));
    }));
    ws.read_message_max(limits.maxMessageOutsideSession);
    ws.auto_fragment(false);
    if (limits.deflateLevel >= 0) {
        websocket::permessage_deflate deflate;
        deflate.server_enable = true;
        deflate.compLevel = limits.deflateLevel;
        ws.set_option(deflate);
    }
    // The request must outlive the accept, which answers it.
    auto held = std::make_shared<Request>(std::move(request));
    ws.async_accept(*held, [self = shared_from_this(), held](const beast::error_code &ec) {
        self->onAccept(ec);
    });
}

void WsConnection::onAccept(const beast::error_code &ec)
{
    if (ec) {
        finish(describeError(ec));
        return;
    }
    if (finished)
        return;
    open = true;
    ws.binary(true);
    // Called only from within this connection's own reads.
    ws.control_callback([this](websocket::frame_type kind, beast::string_view) {
        if (kind == websocket::frame_type::pong)
            heard();
    });
    if (closeRequested) {
        // Closed (server shutdown) while the handshake was under way: only say goodbye.
        doClose();
        return;
    }
    onOpen();
    doRead();
}

void WsConnection::doRead()
{
    if (reading || finished || !open || (paused && !inMessage))
        return;
    reading = true;
    ws.async_read_some(buffer, kReadPiece,
                       beast::bind_front_handler(&WsConnection::onRead, shared_from_this()));
}

void WsConnection::onRead(const beast::error_code &ec, std::size_t bytes)
{
    reading = false;
    if (ec) {
        finish(describeError(ec));
        return;
    }
    heard();
    if (budget && !budget->take(budgetClient, bytes)) {
        finish("its unfinished messages went over the budget for its address or the server's");
        return;
    }
    held += bytes;
    if (!ws.is_message_done()) {
        if (!inMessage) {
            inMessage = true;
            messageStarted = Clock::now();
        }
        doRead();
        return;
    }
    inMessage = false;
    if (!closeRequested && !finished) {
        const auto data = buffer.cdata();
        onMessage(ws.got_binary(),
                  std::string_view(static_cast<const char *>(data.data()), data.size()));
    }
    releaseHeld();
    buffer.consume(buffer.size());
    if (buffer.capacity() > kKeptBufferCapacity)
        buffer.shrink_to_fit();
    doRead();
}

void WsConnection::send(std::string message)
{
    if (closeRequested || finished || !open)
        return;
    queued += message.size();
    if (queued > limits.highWater)
        congested = true;
    queue.push_back(std::move(message));
    if (!writing)
        doWrite();
}

void WsConnection::doWrite()
{
    writing = true;
    writeStarted = Clock::now();
    ws.async_write(net::buffer(queue.front()),
                   beast::bind_front_handler(&WsConnection::onWrite, shared_from_this()));
}

void WsConnection::onWrite(const beast::error_code &ec, std::size_t)
{
    writing = false;
    queued -= queue.front().size();
    queue.pop_front();
    if (ec) {
        finish(describeError(ec));
        return;
    }
    if (finished)
        return;
    if (!queue.empty()) {
        doWrite();
    } else if (closeRequested) {
        doClose();
    }
    if (congested && queued <= limits.highWater / 2) {
        congested = false;
        if (!closeRequested)
            onDrained();
    }
}

void WsConnection::close(const CloseReason &reason)
{
    close(reason.code, std::string(reason.text));
}

void WsConnection::close(std::uint16_t code, std::string reason)
{
    if (closeRequested || finished)
        return;
    closeRequested = true;
    closeCode = code;
    closeText = std::move(reason);
    if (closeText.size() > 123)
        closeText.resize(123);
    if (!open)
        return;
    if (!writing)
        doClose();
}

void WsConnection::doClose()
{
    if (closeSent || finished)
        return;
    closeSent = true;
    // Closing needs the peer's answer, which only a read delivers.
    if (paused) {
        paused = false;
        ws.set_option(timeouts(true));
    }
    websocket::close_reason reason(closeCode);
    reason.reason = closeText;
    ws.async_close(reason, beast::bind_front_handler(&WsConnection::onClose, shared_from_this()));
    doRead();
}

void WsConnection::onClose(const beast::error_code &ec)
{
    finish(ec ? describeError(ec) : "closed by the server");
}

void WsConnection::abort()
{
    beast::error_code ignored;
    beast::get_lowest_layer(ws).socket().close(ignored);
}

bool WsConnection::ping(std::function<void(bool)> answered)
{
    if (!open || closeRequested || finished)
        return false;
    lifeWaiters.push_back(std::move(answered));
    if (!pinging) {
        pinging = true;
        ws.async_ping(
            {}, [self = shared_from_this()](const beast::error_code &) { self->pinging = false; });
    }
    return true;
}

void WsConnection::heard()
{
    if (lifeWaiters.empty())
        return;
    // Later, so that no waiter runs inside this connection's read.
    net::post(ws.get_executor(), [waiters = std::move(lifeWaiters)] {
        for (const auto &answered : waiters)
            answered(true);
    });
    lifeWaiters.clear();
}

void WsConnection::pauseReading()
{
    if (paused || finished || closeSent)
        return;
    paused = true;
    ws.set_option(timeouts(false));
}

void WsConnection::resumeReading()
{
    if (!paused || finished)
        return;
    paused = false;
    ws.set_option(timeouts(true));
    doRead();
}

bool WsConnection::stalled(Clock::time_point now) const
{
    return writing && now - writeStarted > limits.idleTimeout;
}

bool WsConnection::messageOverdue(Clock::time_point now) const
{
    return inMessage && !finished && now - messageStarted > limits.messageTimeout;
}

void WsConnection::finish(const std::string &why)
{
    if (finished)
        return;
    finished = true;
    releaseHeld();
    // The message being written must outlive its write, which the closed socket ends soon.
    while (queue.size() > (writing ? 1u : 0u)) {
        queued -= queue.back().size();
        queue.pop_back();
    }
    abort();
    // Told after the owner has seen the end, so that they find the connection gone.
    auto waiters = std::move(lifeWaiters);
    lifeWaiters.clear();
    if (open)
        onClosed(why);
    else
        onHandshakeFailed(why);
    for (const auto &answered : waiters)
        answered(false);
}

} // namespace velmora::server
