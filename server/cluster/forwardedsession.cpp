#include "server/cluster/forwardedsession.h"

#include "server/core/commandline.h"
#include "server/core/route.h"
#include "server/net/supporterconnection.h"

namespace velmora::server {

ForwardedSession::ForwardedSession(net::io_context &io, Settings settings, std::string id,
                                   const std::shared_ptr<SupporterConnection> &supporter,
                                   std::function<void(const std::string &)> ended)
    : settings(std::move(settings)), id(std::move(id)), supporter(supporter),
      ended(std::move(ended)), resolver(io), link(io)
{}

ForwardedSession::~ForwardedSession() = default;

void ForwardedSession::start()
{
    if (const auto live = supporter.lock())
        live->join(shared_from_this());
    HostPort node;
    if (!parseHostPort(settings.node, node)) {
        linkEnded(net::error::invalid_argument, "reading the node's address");
        return;
    }
    beast::get_lowest_layer(link).expires_after(settings.connectTimeout);
    resolver.async_resolve(node.host, std::to_string(node.port),
                           [self = shared_from_this()](const beast::error_code &ec,
                                                       const tcp::resolver::results_type &results) {
                               self->onResolve(ec, results);
                           });
}

void ForwardedSession::onResolve(const beast::error_code &ec,
                                 const tcp::resolver::results_type &results)
{
    if (ec || done)
        return linkEnded(ec, "resolving the node");
    beast::get_lowest_layer(link).async_connect(
        results, [self = shared_from_this()](const beast::error_code &ec, const tcp::endpoint &at) {
            self->onConnect(ec, at);
        });
}

void ForwardedSession::onConnect(const beast::error_code &ec, const tcp::endpoint &)
{
    if (ec || done)
        return linkEnded(ec, "connecting to the node");
    beast::get_lowest_layer(link).socket().set_option(tcp::no_delay(true));
    link.set_option(websocket::stream_base::decorator(
        [client = settings.client, signature = settings.signature](websocket::request_type &req) {
            const auto name = [](std::string_view text) {
                return beast::string_view(text.data(), text.size());
            };
            req.set(name(kCarriedClientHeader), client);
            req.set(name(kNodeSignatureHeader), signature);
            req.set(http::field::sec_websocket_protocol, name(kBinarySubprotocol));
        }));
    link.async_handshake(
        settings.node, std::string(kViewerPrefix) + id,
        [self = shared_from_this()](const beast::error_code &ec) { self->onHandshake(ec); });
}

void ForwardedSession::onHandshake(const beast::error_code &ec)
{
    if (ec || done)
        return linkEnded(ec, "the WebSocket handshake with the node");
    beast::get_lowest_layer(link).expires_never();
    // The node pings its supporters; a node that vanishes without a FIN is noticed by silence.
    websocket::stream_base::timeout timeout =
        websocket::stream_base::timeout::suggested(beast::role_type::client);
    timeout.handshake_timeout = settings.connectTimeout;
    timeout.idle_timeout = std::chrono::seconds(60);
    timeout.keep_alive_pings = true;
    link.set_option(timeout);
    link.binary(true);
    link.read_message_max(settings.maxMessage);
    open = true;
    doRead();
    if (!queue.empty())
        doWrite();
}

void ForwardedSession::doRead()
{
    if (reading || done)
        return;
    reading = true;
    link.async_read(buffer,
                    [self = shared_from_this()](const beast::error_code &ec, std::size_t bytes) {
                        self->onRead(ec, bytes);
                    });
}

void ForwardedSession::onRead(const beast::error_code &ec, std::size_t)
{
    reading = false;
    if (ec || done)
        return linkEnded(ec, "reading from the node");
    const auto live = supporter.lock();
    if (!live)
        return finish("the supporter left");
    live->send(beast::buffers_to_string(buffer.data()));
    buffer.consume(buffer.size());
    // The supporter's pace sets the node's: its connection tells us when it has drained.
    if (live->aboveHighWater())
        readPaused = true;
    else
        doRead();
}

void ForwardedSession::supporterDrained()
{
    if (readPaused && open && !done) {
        readPaused = false;
        doRead();
    }
}

void ForwardedSession::fromSupporter(SupporterConnection &sender, std::string_view bytes)
{
    if (done)
        return;
    queued += bytes.size();
    queue.emplace_back(bytes);
    if (queued > settings.highWater)
        sender.pauseReading();
    if (open && !writing)
        doWrite();
}

void ForwardedSession::doWrite()
{
    writing = true;
    link.async_write(net::buffer(queue.front()),
                     [self = shared_from_this()](const beast::error_code &ec, std::size_t bytes) {
                         self->onWrite(ec, bytes);
                     });
}

void ForwardedSession::onWrite(const beast::error_code &ec, std::size_t)
{
    writing = false;
    if (ec || done)
        return linkEnded(ec, "writing to the node");
    queued -= queue.front().size();
    queue.pop_front();
    if (queued <= settings.highWater / 2) {
        if (const auto live = supporter.lock(); live && live->readingPaused())
            live->resumeReading();
    }
    if (!queue.empty())
        doWrite();
}

void ForwardedSession::linkEnded(const beast::error_code &ec, const char *step)
{
    if (done)
        return;
    const auto live = supporter.lock();
    if (ec == websocket::error::closed) {
        // The node's own close, word for word: the supporter sees what a supporter of that node
        // sees.
        const websocket::close_reason &reason = link.reason();
        if (live)
            live->close(reason.code, std::string(reason.reason.c_str(), reason.reason.size()));
        return finish("the node closed it: " + std::to_string(reason.code) + " " +
                      std::string(reason.reason.c_str(), reason.reason.size()));
    }
    const std::string why = std::string(step) + " failed: " + ec.message();
    if (live) {
        if (open) {
            // The agent's node went away in the middle of the session.
            live->close(kAgentGone);
        } else {
            // The directory still names a node that is gone; its agents come back elsewhere
            // within their reconnect interval.
            live->close(kOffline.code, withRetryAfter(kOffline, kOfflineRetry));
        }
    }
    finish(why);
}

void ForwardedSession::supporterLeft(const std::string &why)
{
    if (done)
        return;
    if (open) {
        link.async_close(websocket::close_code::normal,
                         [self = shared_from_this()](const beast::error_code &) {});
    } else {
        resolver.cancel();
        beast::get_lowest_layer(link).cancel();
    }
    finish("the supporter left: " + why);
}

void ForwardedSession::finish(const std::string &why)
{
    if (done)
        return;
    done = true;
    queue.clear();
    queued = 0;
    if (const auto live = supporter.lock())
        live->leave();
    if (ended)
        ended(why);
}

} // namespace velmora::server
