#include "connect/servercheck.h"

#include "connect/failure.h"

namespace velmora::server {

ServerCheck::ServerCheck(net::io_context &io, const ConnectOptions &options, ssl::context *tls)
    : io(io), server(options.server), where(serverUrl(options)), stream(tcp::socket(io), tls),
      request(http::verb::get, "/", 11),
      result("cannot reach the server at " + where + ": no answer in time")
{
    request.set(http::field::host, formatHostPort(server.host, server.port));
    request.set(http::field::user_agent, "velmora-connect");
    request.set(http::field::connection, "close");
}

std::string ServerCheck::run(std::chrono::milliseconds timeout)
{
    tcp::resolver resolver(io);
    beast::error_code ec;
    const auto results = resolver.resolve(server.host, std::to_string(server.port), ec);
    if (ec)
        return "cannot resolve the server " + server.host + ": " + ec.message();
    beast::get_lowest_layer(stream).expires_after(timeout);
    beast::get_lowest_layer(stream).async_connect(
        results, beast::bind_front_handler(&ServerCheck::onConnect, this));
    io.run();
    io.restart();
    return result;
}

void ServerCheck::onConnect(const beast::error_code &ec, const tcp::endpoint &)
{
    if (ec) {
        result = "cannot reach the server at " + where + ": " + describeFailure(ec);
        return;
    }
    if (stream.secure())
        doHandshake();
    else
        doWrite();
}

void ServerCheck::doHandshake()
{
    if (!stream.expectHost(server.host)) {
        result = "cannot check the certificate of the server at " + where + " for " + server.host;
        return;
    }
    stream.async_handshake(ssl::stream_base::client,
                           beast::bind_front_handler(&ServerCheck::onHandshake, this));
}

void ServerCheck::onHandshake(const beast::error_code &ec)
{
    if (ec) {
        result =
            "no TLS connection to the server at " + where + ": " + describeTlsFailure(stream, ec);
        return;
    }
    doWrite();
}

void ServerCheck::doWrite()
{
    http::async_write(stream, request, beast::bind_front_handler(&ServerCheck::onWrite, this));
}

void ServerCheck::onWrite(const beast::error_code &ec, std::size_t)
{
    if (ec) {
        result = "cannot talk to the server at " + where + ": " + describeFailure(ec);
        return;
    }
    http::async_read(stream, buffer, response,
                     beast::bind_front_handler(&ServerCheck::onRead, this));
}

void ServerCheck::onRead(const beast::error_code &ec, std::size_t)
{
    result = ec ? "the server at " + where + " did not answer HTTP: " + describeFailure(ec) : "";
}

} // namespace velmora::server
