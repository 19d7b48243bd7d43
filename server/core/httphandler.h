// Plain HTTP on the server's port (everything that is not a WebSocket upgrade): answered by a
// list of handlers, so that pages and metrics can be added without touching the networking.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmora::server {

struct HttpRequest
{
    /// "GET", "HEAD", ...
    std::string method;
    /// The path without the query, as sent (still percent-encoded).
    std::string path;
    /// The request target as sent (path and query).
    std::string target;
    /// The If-None-Match header (empty when absent).
    std::string ifNoneMatch;
};

struct HttpResponse
{
    unsigned status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
    /// When set, the body instead of `body`: bytes shared by every answer that sends them (a
    /// cached file), so that a thousand answers in flight hold them once.
    std::shared_ptr<const std::string> sharedBody;
    /// Further header fields, sent as given.
    std::vector<std::pair<std::string, std::string>> headers;

    /// The body as sent: the shared bytes when set, else `body`.
    const std::string &bytes() const { return sharedBody ? *sharedBody : body; }
};

/// The Server header of every answer, plain HTTP and WebSocket handshakes alike.
inline constexpr const char *kServerHeader = "velmora-server";

/// Answers a request, or returns nothing to let the next handler try. Runs on the server thread.
using HttpHandler = std::function<std::optional<HttpResponse>(const HttpRequest &)>;

/// The answer when no handler takes a request: 404 with a short text.
HttpResponse notFound();

/// A short plain-text answer with `status`, e.g. 405 "Method not allowed".
HttpResponse plainAnswer(unsigned status, std::string text);

} // namespace velmora::server
