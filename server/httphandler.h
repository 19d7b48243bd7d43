// Plain HTTP on the server's port (everything that is not a WebSocket upgrade): answered by a
// list of handlers, so that pages and metrics can be added without touching the networking.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace velmora::server {

struct HttpRequest
{
    /// "GET", "HEAD", ...
    std::string method;
    /// The path without the query.
    std::string path;
    /// The request target as sent (path and query).
    std::string target;
};

struct HttpResponse
{
    unsigned status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
};

/// Answers a request, or returns nothing to let the next handler try. Runs on the server thread.
using HttpHandler = std::function<std::optional<HttpResponse>(const HttpRequest &)>;

/// The answer when no handler takes a request: 404 with a short text.
HttpResponse notFound();

} // namespace velmora::server
