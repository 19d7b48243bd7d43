#include "connect/servercheck.h"

#include "connect/failure.h"

namespace velmora::server {

ServerCheck::ServerCheck(net::io_context &io, HostPort server)
    : io(io), server(std::move(server)),
      where("ws://" + formatHostPort(this->server.host, this->server.port)), stream(io),
      request(http::verb::get, "/", 11),
      result("cannot reach the server at " + where + ": no answer in time")
{
    request.set(http::field::host, formatHostPort(this->server.host, this->server.port));
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
    stream.expires_after(timeout);
    stream.async_connect(results, beast::bind_front_handler(&ServerCheck::onConnect, this));
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
