// What the server is told when it is made: its options, secret, log, extra pages and limits.
#pragma once

#include "server/core/httphandler.h"
#include "server/core/logsink.h"
#include "server/core/serveroptions.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace velmora::server {

struct ServerConfig
{
    ServerOptions options;
    /// The secret that signs session tokens (see loadOrCreateSecret); not empty.
    std::string secret;
    LogSink log = stderrLog();
    /// Tried in order for plain HTTP requests, before the server's own (GET /metrics, then
    /// noVNC and the supporter's page from the folders in `options`); when none answers, 404.
    std::vector<HttpHandler> httpHandlers;
    /// Stop cleanly on SIGTERM and SIGINT (for the program, not for tests).
    bool handleSignals = false;
    /// Bound on each connection's queue of unsent bytes above which the other side of its
    /// session is no longer read.
    std::size_t highWater = 1024 * 1024;
    /// Bytes of supporter messages held before the agent is ready; reading pauses above it.
    std::size_t holdLimit = 256 * 1024;
    /// Follow each session's VNC security handshake to count password attempts and lock IDs
    /// after refused ones. Only tests of the bare relay, whose peers speak no RFB, turn it off.
    bool followSecurityHandshake = true;
    /// How long stop() lets connections finish their closing handshakes.
    std::chrono::milliseconds shutdownGrace{2000};
};

} // namespace velmora::server
