#include "server/core/route.h"

#include "server/core/clientaddress.h"
#include "server/core/text.h"

namespace velmora::server {

namespace {

// The address the client counts as: the peer's, or the proxy's last X-Forwarded-For entry.
std::string clientOf(const RequestHead &head, const RoutePolicy &policy)
{
    std::string address = head.peer.empty() ? std::string("unknown") : head.peer;
    // The proxy appends what it saw; with several header lines, the last one is its.
    if (policy.trustForwardedFor && !head.forwardedFor.empty()) {
        if (auto last = lastForwardedFor(head.forwardedFor.back()))
            address = std::move(*last);
    }
    return clientKey(address).value_or(address);
}

} // namespace

Route routeRequest(const RequestHead &head, const RoutePolicy &policy)
{
    const std::string_view path = head.target.substr(0, head.target.find('?'));
    Route route;
    route.path = std::string(path);
    if (!head.webSocketUpgrade) {
        route.kind = Route::Kind::Http;
        return route;
    }
    if (path == "/") {
        route.kind = Route::Kind::Agent;
        // The first line that gives the cookie a value.
        for (auto it = head.cookies.begin(); it != head.cookies.end() && route.token.empty();
             ++it) {
            if (const auto value = cookieValue(*it, kSessionCookie))
                route.token = std::string(*value);
        }
    } else if (path.substr(0, kViewerPrefix.size()) == kViewerPrefix) {
        route.kind = Route::Kind::Supporter;
        route.id = std::string(path.substr(kViewerPrefix.size()));
        // A supporter that another node carries here counts as itself, not as that node.
        route.carried = !head.carriedClient.empty() && !head.nodeSignature.empty() &&
                        policy.carriedBy &&
                        policy.carriedBy(route.id, head.carriedClient, head.nodeSignature);
        if (route.carried)
            route.signature = std::string(head.nodeSignature);
    } else if (path.substr(0, kAgentCheckPrefix.size()) == kAgentCheckPrefix &&
               !head.carriedClient.empty() && !head.nodeSignature.empty() && policy.carriedBy &&
               policy.carriedBy(path, head.carriedClient, head.nodeSignature)) {
        route.kind = Route::Kind::AgentCheck;
        route.id = std::string(path.substr(kAgentCheckPrefix.size()));
        route.client = std::string(head.carriedClient);
        return route;
    } else {
        route.kind = Route::Kind::NotFound;
        return route;
    }
    route.client = route.carried ? std::string(head.carriedClient) : clientOf(head, policy);
    return route;
}

std::optional<std::string_view> cookieValue(std::string_view header, std::string_view name)
{
    while (!header.empty()) {
        const std::size_t end = header.find(';');
        const std::string_view pair = trimHttpSpace(header.substr(0, end));
        header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
        const std::size_t equals = pair.find('=');
        if (equals == std::string_view::npos || trimHttpSpace(pair.substr(0, equals)) != name)
            continue;
        std::string_view value = trimHttpSpace(pair.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return std::nullopt;
}

bool offersSubprotocol(std::string_view header, std::string_view protocol)
{
    while (!header.empty()) {
        const std::size_t end = header.find(',');
        if (trimHttpSpace(header.substr(0, end)) == protocol)
            return true;
        header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
    }
    return false;
}

} // namespace velmora::server
