#include "server/net/wsconnection.h"

#include "server/core/route.h"

namespace velmora::server {

namespace {

// A flat buffer keeps the capacity of the largest message it held; give it back after a big one
// so that thousands of idle connections stay small.
constexpr std::size_t kKeptBufferCapacity = 64 * 1024;

std::string describeError(const beast::error_code &ec)
{
    if (ec == websocket::error::closed)
        return "closed by the peer";
    if (ec == beast::error::timeout)
        return "timed out";
    if (ec == net::error::eof || ec == net::error::connection_reset)
        return "connection dropped without a close frame";
    if (ec == websocket::error::message_too_big)
        return "message too big";
    return ec.message();
}

} // namespace

WsConnection::WsConnection(tcp::socket socket, ConnectionId id, std::string remote,
                           ConnectionLimits limits)
    : ws(std::move(socket)), connectionId(id), remoteText(std::move(remote)), limits(limits)
{}

WsConnection::~WsConnection() = default;

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
        response.set(http::field::server, "velmora-server");
        if (binary)
            response.set(http::field::sec_websocket_protocol,
                         beast::string_view(kBinarySubprotocol.data(), kBinarySubprotocol.size()));
    }));
    ws.read_message_max(limits.maxMessage);
    ws.auto_fragment(false);
    auto self = shared_from_this();
    auto held = std::make_shared<Request>(std::move(request));
    ws.async_accept(*held, [self, held](const beast::error_code &ec) {
        if (ec) {
            self->finish(describeError(ec));
            return;
        }
        if (self->finished)
            return;
        self->open = true;
        self->ws.binary(true);
        if (self->closeRequested) {
            // Closed (server shutdown) while the handshake was under way: only say goodbye.
            self->doClose();
            return;
        }
        self->onOpen();
        self->doRead();
    });
}

void WsConnection::doRead()
{
    if (reading || paused || finished || !open)
        return;
    reading = true;
    ws.async_read(buffer, [self = shared_from_this()](const beast::error_code &ec, std::size_t) {
        self->reading = false;
        if (ec) {
            self->finish(describeError(ec));
            return;
        }
        if (!self->closeRequested && !self->finished) {
            const auto data = self->buffer.cdata();
            self->onMessage(self->ws.got_binary(),
                            std::string_view(static_cast<const char *>(data.data()), data.size()));
        }
        self->buffer.consume(self->buffer.size());
        if (self->buffer.capacity() > kKeptBufferCapacity)
            self->buffer.shrink_to_fit();
        self->doRead();
    });
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
                   [self = shared_from_this()](const beast::error_code &ec, std::size_t) {
                       self->writing = false;
                       self->queued -= self->queue.front().size();
                       self->queue.pop_front();
                       if (ec) {
                           self->finish(describeError(ec));
                           return;
                       }
                       if (self->finished)
                           return;
                       if (!self->queue.empty()) {
                           self->doWrite();
                       } else if (self->closeRequested) {
                           self->doClose();
                       }
                       if (self->congested && self->queued <= self->limits.highWater / 2) {
                           self->congested = false;
                           if (!self->closeRequested)
                               self->onDrained();
                       }
                   });
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
    ws.async_close(reason, [self = shared_from_this()](const beast::error_code &ec) {
        self->finish(ec ? describeError(ec) : "closed by the server");
    });
    doRead();
}

void WsConnection::abort()
{
    beast::error_code ignored;
    beast::get_lowest_layer(ws).socket().close(ignored);
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

void WsConnection::finish(const std::string &why)
{
    if (finished)
        return;
    finished = true;
    // The message being written must outlive its write, which the closed socket ends soon.
    while (queue.size() > (writing ? 1u : 0u)) {
        queued -= queue.back().size();
        queue.pop_back();
    }
    abort();
    if (open)
        onClosed(why);
    else
        onHandshakeFailed(why);
}

} // namespace velmora::server
