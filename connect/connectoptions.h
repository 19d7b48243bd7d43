// velmora-connect's command line, parsed without touching the network.
#pragma once

#include "server/core/commandline.h"

#include <string>
#include <vector>

namespace velmora::server {

struct ConnectOptions
{
    /// The rendezvous server (port not 0).
    HostPort server;
    /// wss://: TLS to the server, whose certificate must be valid for its host.
    bool tls = false;
    /// CA certificates (PEM) that the server's certificate must chain to, instead of the
    /// system's trust store; only with `tls`.
    std::string caFile;
    /// A session ID (see isSessionId).
    std::string id;
    /// Where viewers connect; port 0 picks a free port.
    HostPort listen{"127.0.0.1", 5900};
};

/// `arguments` excludes the program name. --server and --id are required; --ca-file only with a
/// wss:// server.
Parsed<ConnectOptions> parseConnectArguments(const std::vector<std::string> &arguments);

std::string connectUsage();

/// "ws://HOST:PORT" or "wss://HOST:PORT", for the user.
std::string serverUrl(const ConnectOptions &options);

} // namespace velmora::server
