// The Boost.Beast and Boost.Asio names that the server's networking and velmora-connect use.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::server {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using Request = http::request<http::string_body>;

/// Beast's string_view (Boost's in this version) as the standard one.
inline std::string_view toStd(beast::string_view text)
{
    return {text.data(), text.size()};
}

/// "ADDRESS:PORT" of a connected socket's peer, or "unknown" when it is already gone.
std::string remoteAddress(const tcp::socket &socket);

/// Opens `acceptor` and listens at `endpoint` (port 0: any free port); returns the port it
/// listens on. Throws std::runtime_error naming the step and the address when that fails.
std::uint16_t listenAt(tcp::acceptor &acceptor, const tcp::endpoint &endpoint);

} // namespace velmora::server
