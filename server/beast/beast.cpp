// The one translation unit that compiles Boost.Asio and Boost.Beast (separate compilation keeps
// every other file of the server and velmora-connect quicker to build).
#include <boost/asio/impl/src.hpp>
#include <boost/asio/ssl/impl/src.hpp>
#include <boost/beast/src.hpp>

#include "server/beast/beast.h"

#include "server/core/commandline.h"

#include <stdexcept>

namespace velmora::server {

std::string remoteAddress(const tcp::socket &socket)
{
    beast::error_code ec;
    const tcp::endpoint endpoint = socket.remote_endpoint(ec);
    if (ec)
        return "unknown";
    return formatHostPort(endpoint.address().to_string(), endpoint.port());
}

std::uint16_t listenAt(tcp::acceptor &acceptor, const tcp::endpoint &endpoint)
{
    beast::error_code ec;
    const auto fail = [&](const char *what) {
        throw std::runtime_error(std::string("cannot ") + what + " " +
                                 formatHostPort(endpoint.address().to_string(), endpoint.port()) +
                                 ": " + ec.message());
    };
    acceptor.open(endpoint.protocol(), ec);
    if (ec)
        fail("open");
    acceptor.set_option(net::socket_base::reuse_address(true), ec);
    acceptor.bind(endpoint, ec);
    if (ec)
        fail("bind");
    acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec)
        fail("listen on");
    return acceptor.local_endpoint().port();
}

} // namespace velmora::server
