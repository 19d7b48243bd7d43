#include "server/bridge.h"

#include "server/route.h"

#include <array>
#include <stdexcept>

namespace velmora::server {

namespace {

std::string describe(const beast::error_code &ec)
{
    if (ec == beast::error::timeout)
        return "no answer in time";
    return ec.message();
}

} // namespace

// One viewer connection and its WebSocket to the server. Each direction has one operation in
// flight, which keeps the bytes in order and bounds what is buffered.
class BridgeSession : public std::enable_shared_from_this<BridgeSession>
{
public:
    BridgeSession(tcp::socket viewer, const ConnectOptions &options,
                  std::function<void(const std::string &)> say)
        : viewer(std::move(viewer)), ws(this->viewer.get_executor()), options(options),
          say(std::move(say)), peer(remoteAddress(this->viewer))
    {}

    void start()
    {
        auto self = shared_from_this();
        auto resolver = std::make_shared<tcp::resolver>(viewer.get_executor());
        resolver->async_resolve(
            options.server.host, std::to_string(options.server.port),
            [self, resolver](const beast::error_code &ec, tcp::resolver::results_type results) {
                if (ec)
                    return self->fail("cannot resolve the server: " + describe(ec));
                beast::get_lowest_layer(self->ws).expires_after(std::chrono::seconds(10));
                beast::get_lowest_layer(self->ws).async_connect(
                    results, [self](const beast::error_code &error, const tcp::endpoint &) {
                        if (error)
                            return self->fail("cannot reach the server: " + describe(error));
                        self->handshake();
                    });
            });
    }

    void drop()
    {
        beast::error_code ignored;
        viewer.close(ignored);
        beast::get_lowest_layer(ws).socket().close(ignored);
    }

private:
    void handshake()
    {
        beast::error_code ignored;
        beast::get_lowest_layer(ws).socket().set_option(tcp::no_delay(true), ignored);
        viewer.set_option(tcp::no_delay(true), ignored);
        ws.set_option(websocket::stream_base::decorator([](websocket::request_type &request) {
            request.set(http::field::user_agent, "velmora-connect");
            request.set(http::field::sec_websocket_protocol,
                        beast::string_view(kBinarySubprotocol.data(), kBinarySubprotocol.size()));
        }));
        const std::string host = formatHostPort(options.server.host, options.server.port);
        const std::string target = std::string(kViewerPrefix) + options.id;
        ws.async_handshake(host, target, [self = shared_from_this()](const beast::error_code &ec) {
            if (ec)
                return self->fail("the server refused the connection: " + describe(ec));
            beast::get_lowest_layer(self->ws).expires_never();
            self->ws.set_option(
                websocket::stream_base::timeout::suggested(beast::role_type::client));
            self->ws.binary(true);
            self->ws.auto_fragment(false);
            self->say("viewer " + self->peer + " connected to session " + self->options.id);
            self->fromViewer();
            self->fromServer();
        });
    }

    void fromViewer()
    {
        viewer.async_read_some(
            net::buffer(chunk),
            [self = shared_from_this()](const beast::error_code &ec, std::size_t size) {
                if (ec) {
                    // The viewer left: end the session on the server in an orderly way.
                    if (!self->serverDone && !self->closing) {
                        self->closing = true;
                        self->ws.async_close(websocket::close_code::normal,
                                             [self](const beast::error_code &) {
                                                 self->finish("the viewer disconnected");
                                             });
                    }
                    return;
                }
                self->ws.async_write(net::buffer(self->chunk.data(), size),
                                     [self](const beast::error_code &error, std::size_t) {
                                         if (!error)
                                             self->fromViewer();
                                     });
            });
    }

    void fromServer()
    {
        ws.async_read(incoming, [self = shared_from_this()](const beast::error_code &ec,
                                                            std::size_t) {
            if (ec) {
                self->serverDone = true;
                if (ec == websocket::error::closed) {
                    const auto &reason = self->ws.reason();
                    if (reason.code != websocket::close_code::normal || !reason.reason.empty()) {
                        self->say("the server closed the connection: " +
                                  std::string(reason.reason.c_str()) + " (code " +
                                  std::to_string(reason.code) + ")");
                    }
                    self->finish("the server closed the connection");
                } else if (!self->closing) {
                    self->finish("lost the server: " + describe(ec));
                }
                return;
            }
            net::async_write(self->viewer, self->incoming.data(),
                             [self](const beast::error_code &error, std::size_t) {
                                 self->incoming.consume(self->incoming.size());
                                 if (!error)
                                     self->fromServer();
                             });
        });
    }

    void fail(const std::string &why)
    {
        say(why);
        drop();
    }

    void finish(const std::string &why)
    {
        if (finished)
            return;
        finished = true;
        say("viewer " + peer + " disconnected (" + why + ")");
        beast::error_code ignored;
        viewer.shutdown(tcp::socket::shutdown_both, ignored);
        viewer.close(ignored);
    }

    tcp::socket viewer;
    websocket::stream<beast::tcp_stream> ws;
    const ConnectOptions &options;
    std::function<void(const std::string &)> say;
    std::string peer;
    std::array<char, 64 * 1024> chunk{};
    beast::flat_buffer incoming;
    bool closing = false;
    bool serverDone = false;
    bool finished = false;
};

Bridge::Bridge(net::io_context &io, ConnectOptions options,
               std::function<void(const std::string &)> say)
    : io(io), options(std::move(options)), say(std::move(say)), acceptor(io)
{}

std::string Bridge::viewerUrl() const
{
    return "ws://" + formatHostPort(options.server.host, options.server.port) +
           std::string(kViewerPrefix) + options.id;
}

std::string Bridge::checkServer(std::chrono::milliseconds timeout)
{
    const std::string where = "ws://" + formatHostPort(options.server.host, options.server.port);
    std::string result = "cannot reach the server at " + where + ": no answer in time";
    tcp::resolver resolver(io);
    beast::tcp_stream stream(io);
    beast::flat_buffer buffer;
    http::request<http::empty_body> request(http::verb::get, "/", 11);
    request.set(http::field::host, formatHostPort(options.server.host, options.server.port));
    request.set(http::field::user_agent, "velmora-connect");
    request.set(http::field::connection, "close");
    http::response<http::string_body> response;
    beast::error_code ec;
    const auto results =
        resolver.resolve(options.server.host, std::to_string(options.server.port), ec);
    if (ec)
        return "cannot resolve the server " + options.server.host + ": " + ec.message();
    stream.expires_after(timeout);
    stream.async_connect(results, [&](const beast::error_code &error, const tcp::endpoint &) {
        if (error) {
            result = "cannot reach the server at " + where + ": " + describe(error);
            return;
        }
        http::async_write(stream, request, [&](const beast::error_code &written, std::size_t) {
            if (written) {
                result = "cannot talk to the server at " + where + ": " + describe(written);
                return;
            }
            http::async_read(stream, buffer, response,
                             [&](const beast::error_code &read, std::size_t) {
                                 result = read ? "the server at " + where +
                                                     " did not answer HTTP: " + describe(read)
                                               : "";
                             });
        });
    });
    io.run();
    io.restart();
    return result;
}

std::uint16_t Bridge::listen()
{
    beast::error_code ec;
    const auto address = net::ip::make_address(options.listen.host, ec);
    if (ec)
        throw std::runtime_error("--listen needs an IP address, got '" + options.listen.host + "'");
    const std::uint16_t port = listenAt(acceptor, tcp::endpoint(address, options.listen.port));
    doAccept();
    return port;
}

void Bridge::stop()
{
    beast::error_code ignored;
    acceptor.close(ignored);
    for (const auto &weak : sessions) {
        if (const auto session = weak.lock())
            session->drop();
    }
    sessions.clear();
}

void Bridge::doAccept()
{
    acceptor.async_accept([this](const beast::error_code &ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted)
            return;
        if (!ec) {
            auto session = std::make_shared<BridgeSession>(std::move(socket), options, say);
            sessions.remove_if([](const auto &weak) { return weak.expired(); });
            sessions.push_back(session);
            session->start();
        } else {
            say("accepting a viewer failed: " + ec.message());
        }
        doAccept();
    });
}

} // namespace velmora::server
