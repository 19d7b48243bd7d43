// Where a request on the server's one port goes, decided from its target and its headers alone.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmora::server {

struct Route
{
    enum class Kind {
        /// WebSocket upgrade at "/": an agent.
        Agent,
        /// WebSocket upgrade at "/viewer/<ID>": a supporter; `id` holds the text after the prefix
        /// (not necessarily a valid ID).
        Viewer,
        /// A plain HTTP request: handed to the HTTP handlers; `path` holds the path.
        Http,
        /// A WebSocket upgrade anywhere else.
        NotFound,
    };
    Kind kind = Kind::NotFound;
    std::string id;
    std::string path;
};

/// Routes a request by its target (path and optional query, which is ignored) and whether it asks
/// for a WebSocket upgrade.
Route routeRequest(std::string_view target, bool webSocketUpgrade);

/// The value of the cookie `name` in a Cookie header ("a=1; b=2"), or nothing.
std::optional<std::string_view> cookieValue(std::string_view header, std::string_view name);

/// True when the comma-separated Sec-WebSocket-Protocol header lists `protocol`.
bool offersSubprotocol(std::string_view header, std::string_view protocol);

/// The cookie in which agents present their session token.
inline constexpr std::string_view kSessionCookie = "VELMORA-SESSION-TOKEN";

/// The subprotocol of websockify's clients and noVNC for raw binary RFB.
inline constexpr std::string_view kBinarySubprotocol = "binary";

/// The path prefix of supporters' connections.
inline constexpr std::string_view kViewerPrefix = "/viewer/";

} // namespace velmora::server
