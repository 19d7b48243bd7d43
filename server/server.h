// The rendezvous server: agents and supporters on one port (or, with TLS, also on a plain one
// beside it), relayed sessions between them. One node on its own, or, with options.redis, one
// node of a cluster: the only place that chooses between them.
#pragma once

#include "server/core/serverconfig.h"
#include "server/core/serverstats.h"

#include <cstdint>
#include <memory>

namespace velmora::server {

class Hub;

/// Owns its io_context and runs single-threaded in whichever thread calls run(). Apart from
/// stop() and stats(), use it from one thread.
class Server
{
public:
    explicit Server(ServerConfig config);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    /// Binds and listens; returns the bound port of options.listen (the chosen one for port 0)
    /// and logs "listening on HOST:PORT". With TLS configured, checks the certificate and key
    /// before anything is bound. Throws std::runtime_error when the TLS files are unusable or an
    /// address cannot be bound.
    std::uint16_t listen();
    /// After listen(): the bound port of options.plainListen; 0 without one.
    std::uint16_t plainListenPort() const;

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
