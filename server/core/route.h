// What a request on the server's port is, decided once from its target and headers: plain HTTP,
// an agent, a supporter (perhaps carried here by another node of a cluster), or nothing. What is
// derived on the way (the client it counts as, the agent's token) goes on with the decision, so
// that nothing further on reads the request again.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::server {

struct Route
{
    enum class Kind {
        /// WebSocket upgrade at "/": an agent.
        Agent,
        /// WebSocket upgrade at "/viewer/<ID>": a supporter; `id` holds the text after the prefix
        /// (not necessarily a valid ID).
        Supporter,
        /// WebSocket upgrade at "/agent-check/<ID>" from another node of a cluster, signed by it:
        /// does the agent of `id` still answer here? `client` holds the asking node.
        AgentCheck,
        /// A plain HTTP request: handed to the HTTP handlers; `path` holds the path.
        Http,
        /// A WebSocket upgrade anywhere else.
        NotFound,
    };
    Kind kind = Kind::NotFound;
    std::string id;
    std::string path;
    /// Agent: the session token of its cookie (empty when none).
    std::string token;
    /// Agent and Supporter: who it counts as for the limits per client (see clientKey).
    std::string client;
    /// Supporter: another node carried it here, and `client` is the address that node signed.
    bool carried = false;
    /// Carried: the node's signature, which passes once (AgentDirectory::redeem).
    std::string signature;
};

/// What routing reads of a request, as whoever parsed it found it.
struct RequestHead
{
    /// Path and optional query (which is ignored).
    std::string_view target;
    bool webSocketUpgrade = false;
    /// Every Cookie header line, and every X-Forwarded-For line, in order.
    std::vector<std::string_view> cookies;
    std::vector<std::string_view> forwardedFor;
    /// The headers of a supporter carried from another node (see kCarriedClientHeader); empty
    /// when absent.
    std::string_view carriedClient;
    std::string_view nodeSignature;
    /// The TCP peer's address, without port.
    std::string peer;
};

/// How clients are told apart.
struct RoutePolicy
{
    /// Take the client's address from the last X-Forwarded-For entry rather than the TCP peer.
    bool trustForwardedFor = false;
    /// True when `signature` is a node's for carrying the supporter from `client` to `id`. Empty,
    /// or false for every request, on a single node: nothing is taken as carried.
    std::function<bool(std::string_view id, std::string_view client, std::string_view signature)>
        carriedBy;
};

/// Routes a request by its target and whether it asks for a WebSocket upgrade; for an upgrade to
/// an agent's or a supporter's path, also who the client is: a carried supporter's signed
/// address, else the peer (or the last X-Forwarded-For entry when trusted), IPv6 by its /64. An
/// agent check without a valid signature is NotFound.
Route routeRequest(const RequestHead &head, const RoutePolicy &policy);

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

/// The path prefix of another node's question whether an agent still answers here. Its
/// signature (see RoutePolicy::carriedBy) is over the path (prefix and ID) and the asking node's
/// address in kCarriedClientHeader, so that it cannot pass for a carried supporter's.
inline constexpr std::string_view kAgentCheckPrefix = "/agent-check/";

/// The close reasons that answer it: the agent answered a ping, or no agent here did.
inline constexpr std::string_view kAgentAlive = "alive";
inline constexpr std::string_view kAgentSilent = "silent";

/// The headers with which one node of a cluster carries a supporter to another: the supporter's
/// address, and the node's signature over it and the ID.
inline constexpr std::string_view kCarriedClientHeader = "X-Velmora-Client";
inline constexpr std::string_view kNodeSignatureHeader = "X-Velmora-Node-Signature";

} // namespace velmora::server
