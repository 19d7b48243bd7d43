// The rendezvous server: agents and supporters on one port, relayed sessions between them.
#pragma once

#include "server/core/httphandler.h"
#include "server/core/logsink.h"
#include "server/core/serveroptions.h"
#include "server/core/serverstats.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmora::server {

class Hub;

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

/// Owns its io_context and runs single-threaded in whichever thread calls run(). Apart from
/// stop() and stats(), use it from one thread.
class Server
{
public:
    explicit Server(ServerConfig config);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    /// Binds and listens; returns the bound port (the chosen one for port 0) and logs
    /// "listening on HOST:PORT". Throws std::runtime_error when the address cannot be bound.
    std::uint16_t listen();

    /// Serves until stop() (or a signal, when handled) and every connection has closed or the
    /// grace period ran out.
    void run();

    /// Closes the listener and every connection (code 1001); run() returns soon after.
    /// Thread-safe.
    void stop();

    ServerStats stats() const;

private:
    std::unique_ptr<Hub> hub;
};

} // namespace velmora::server
