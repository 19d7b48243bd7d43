#include "server/cluster/remoteagentcheck.h"

#include "server/core/commandline.h"
#include "server/core/route.h"

namespace velmora::server {

namespace {

beast::string_view beastView(std::string_view text)
{
    return {text.data(), text.size()};
}

} // namespace

RemoteAgentCheck::RemoteAgentCheck(net::io_context &io, Settings settings,
                                   std::function<void(bool)> done)
    : settings(std::move(settings)), done(std::move(done)), resolver(io), link(io)
{}

void RemoteAgentCheck::start()
{
    HostPort node;
    if (!parseHostPort(settings.node, node)) {
        net::post(link.get_executor(), [self = shared_from_this()] { self->finish(false); });
        return;
    }
    // One deadline for every step, the node's own wait for its agent included.
    beast::get_lowest_layer(link).expires_after(settings.deadline);
    resolver.async_resolve(node.host, std::to_string(node.port),
                           [self = shared_from_this()](const beast::error_code &ec,
                                                       const tcp::resolver::results_type &results) {
                               self->onResolve(ec, results);
                           });
}

void RemoteAgentCheck::onResolve(const beast::error_code &ec,
                                 const tcp::resolver::results_type &results)
{
    if (ec)
        return finish(false);
    beast::get_lowest_layer(link).async_connect(
        results, [self = shared_from_this()](const beast::error_code &ec, const tcp::endpoint &at) {
            self->onConnect(ec, at);
        });
}

void RemoteAgentCheck::onConnect(const beast::error_code &ec, const tcp::endpoint &)
{
    if (ec)
        return finish(false);
    link.set_option(websocket::stream_base::decorator(
        [asking = settings.asking, signature = settings.signature](websocket::request_type &req) {
            req.set(beastView(kCarriedClientHeader), asking);
            req.set(beastView(kNodeSignatureHeader), signature);
        }));
    link.async_handshake(
        settings.node, std::string(kAgentCheckPrefix) + settings.id,
        [self = shared_from_this()](const beast::error_code &ec) { self->onHandshake(ec); });
}

void RemoteAgentCheck::onHandshake(const beast::error_code &ec)
{
    if (ec)
        return finish(false);
    // The answer is the close frame; the node sends nothing else.
    link.read_message_max(1024);
    link.async_read(buffer,
                    [self = shared_from_this()](const beast::error_code &ec, std::size_t bytes) {
                        self->onRead(ec, bytes);
                    });
}

void RemoteAgentCheck::onRead(const beast::error_code &ec, std::size_t)
{
    const websocket::close_reason &reason = link.reason();
    finish(ec == websocket::error::closed &&
           std::string_view(reason.reason.data(), reason.reason.size()) == kAgentAlive);
}

void RemoteAgentCheck::finish(bool alive)
{
    if (!done)
        return;
    auto answer = std::move(done);
    done = nullptr;
    beast::error_code ignored;
    beast::get_lowest_layer(link).socket().close(ignored);
    answer(alive);
}

} // namespace velmora::server
