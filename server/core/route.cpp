#include "server/core/route.h"

#include "server/core/text.h"

namespace velmora::server {

Route routeRequest(std::string_view target, bool webSocketUpgrade)
{
    const std::string_view path = target.substr(0, target.find('?'));
    Route route;
    route.path = std::string(path);
    if (!webSocketUpgrade) {
        route.kind = Route::Kind::Http;
    } else if (path == "/") {
        route.kind = Route::Kind::Agent;
    } else if (path.substr(0, kViewerPrefix.size()) == kViewerPrefix) {
        route.kind = Route::Kind::Viewer;
        route.id = std::string(path.substr(kViewerPrefix.size()));
    } else {
        route.kind = Route::Kind::NotFound;
    }
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
