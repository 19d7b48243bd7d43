#include "server/net/httpsession.h"

#include "server/core/route.h"
#include "server/net/hub.h"

namespace velmora::server {

namespace {

constexpr std::uint32_t kHeaderLimit = 8 * 1024;
constexpr std::uint64_t kBodyLimit = 64 * 1024;

} // namespace

HttpSession::HttpSession(Hub &hub, tcp::socket socket, ConnectionId id, std::string remote)
    : hub(hub), stream(std::move(socket)), connectionId(id), remote(std::move(remote))
{}

void HttpSession::start()
{
    doRead();
}

void HttpSession::abort()
{
    beast::error_code ignored;
    stream.socket().close(ignored);
}

void HttpSession::doRead()
{
    parser.emplace();
    parser->header_limit(kHeaderLimit);
    parser->body_limit(kBodyLimit);
    stream.expires_after(hub.requestTimeout());
    http::async_read(
        stream, buffer, *parser,
        [self = shared_from_this()](const beast::error_code &ec, std::size_t) {
            if (self->finished)
                return;
            if (ec) {
                const bool partial = self->parser->got_some() || self->buffer.size() > 0;
                const bool malformed =
                    ec.category() == http::make_error_code(http::error::bad_target).category() &&
                    ec != http::error::end_of_stream && ec != http::error::partial_message;
                if (ec == beast::error::timeout && partial)
                    self->hub.log("request from " + self->remote + " timed out");
                if (!malformed) {
                    self->finish();
                    return;
                }
                self->hub.log("bad request from " + self->remote + ": " + ec.message());
                auto response = std::make_shared<http::response<http::string_body>>(
                    http::status::bad_request, 11);
                response->set(http::field::server, "velmora-server");
                response->set(http::field::content_type, "text/plain; charset=utf-8");
                response->set(http::field::connection, "close");
                response->body() = "Bad request\n";
                response->prepare_payload();
                http::async_write(
                    self->stream, *response,
                    [self, response](const beast::error_code &, std::size_t) { self->finish(); });
                return;
            }
            Request &request = self->parser->get();
            const bool upgrade = websocket::is_upgrade(request);
            const Route route = routeRequest(toStd(request.target()), upgrade);
            if (route.kind == Route::Kind::Agent || route.kind == Route::Kind::Viewer) {
                self->stream.expires_never();
                self->hub.upgrade(self->stream.release_socket(), self->parser->release(),
                                  self->remote);
                self->finish();
                return;
            }
            HttpResponse answer;
            if (route.kind == Route::Kind::NotFound) {
                self->hub.log("refused WebSocket upgrade from " + self->remote +
                              " to an unknown path");
                answer = notFound();
            } else {
                HttpRequest plain;
                plain.method = std::string(request.method_string());
                plain.path = route.path;
                plain.target = std::string(request.target());
                plain.ifNoneMatch = std::string(request[http::field::if_none_match]);
                answer = self->hub.answer(plain);
            }
            const bool keepAlive = request.keep_alive() && !upgrade;
            auto response = std::make_shared<http::response<http::string_body>>(
                static_cast<http::status>(answer.status), request.version());
            response->set(http::field::server, "velmora-server");
            if (answer.status != 304)
                response->set(http::field::content_type, answer.contentType);
            for (const auto &[name, value] : answer.headers)
                response->set(name, value);
            response->keep_alive(keepAlive);
            const bool head = request.method() == http::verb::head;
            if (!head)
                response->body() = std::move(answer.body);
            response->prepare_payload();
            if (head && answer.status != 304)
                response->content_length(answer.body.size());
            // A client that does not read its answer must not hold the connection for ever.
            self->stream.expires_after(self->hub.requestTimeout());
            http::async_write(
                self->stream, *response,
                [self, response, keepAlive](const beast::error_code &error, std::size_t) {
                    if (error || !keepAlive) {
                        self->finish();
                        return;
                    }
                    self->doRead();
                });
        });
}

void HttpSession::finish()
{
    if (finished)
        return;
    finished = true;
    beast::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream.socket().close(ignored);
    hub.httpSessionEnded(connectionId);
}

} // namespace velmora::server
