// The one translation unit that compiles Boost.Asio and Boost.Beast (separate compilation keeps
// every other file of the server quicker to build).
#include <boost/asio/impl/src.hpp>
#include <boost/beast/src.hpp>

#include "server/beast.h"

#include "server/options.h"

namespace velmora::server {

std::string remoteAddress(const tcp::socket &socket)
{
    beast::error_code ec;
    const tcp::endpoint endpoint = socket.remote_endpoint(ec);
    if (ec)
        return "unknown";
    return formatHostPort(endpoint.address().to_string(), endpoint.port());
}

} // namespace velmora::server
