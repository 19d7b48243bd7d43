// Plain HTTP on the server's port: the configured handlers first, then the server's own (GET
// /metrics, GET /health, noVNC, the supporter's page), else 404.
#pragma once

#include "server/core/httphandler.h"
#include "server/core/logsink.h"
#include "server/core/serveroptions.h"

#include <vector>

namespace velmora::server {

class Counters;

class HttpResponder
{
public:
    /// `configured` are tried in order before the server's own handlers; noVNC and the page are
    /// served from the folders in `options` that are not empty. `counters` (for /metrics) must
    /// outlive the responder; `log` gets a line for every handler that throws.
    HttpResponder(std::vector<HttpHandler> configured, const ServerOptions &options,
                  const Counters &counters, LogSink log);

    /// The answer of the first handler that takes the request. Never throws: a handler that
    /// throws makes the answer 500.
    HttpResponse answer(const HttpRequest &request) const;

    /// Logs the folders it serves, and a warning for each that lacks its main file.
    void reportFolders() const;

private:
    std::vector<HttpHandler> handlers;
    const std::string webDir;
    const std::string novncDir;
    LogSink log;
};

} // namespace velmora::server
