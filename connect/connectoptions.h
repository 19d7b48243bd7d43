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
    /// A session ID (see isSessionId).
    std::string id;
    /// Where viewers connect; port 0 picks a free port.
    HostPort listen{"127.0.0.1", 5900};
};

/// `arguments` excludes the program name. --server and --id are required.
Parsed<ConnectOptions> parseConnectArguments(const std::vector<std::string> &arguments);

std::string connectUsage();

} // namespace velmora::server
