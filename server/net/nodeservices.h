// What a node relies on beyond its own connections: the guard against guessing and the directory
// of agents. A single node keeps both in itself (localServices); a node of a cluster shares them
// with the others (clusterServices, in cluster/). The hub has them made once its listener's port
// is known, and knows them only by their interfaces.
#pragma once

#include "server/beast/beast.h"
#include "server/core/serverconfig.h"
#include "server/net/agentdirectory.h"
#include "server/net/guard.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace velmora::server {

class Counters;

struct NodeServices
{
    std::unique_ptr<AgentDirectory> directory;
    std::unique_ptr<Guard> guard;
};

/// What the services are made with; everything referred to outlives them.
struct NodeContext
{
    net::io_context &io;
    const ServerConfig &config;
    Counters &counters;
    /// The port this node's agents and other nodes reach it on (the plain listener's, if any).
    std::uint16_t port;
    AgentDirectory::Agents &agents;
};

using MakeNodeServices = std::function<NodeServices(const NodeContext &)>;

/// A single node's: the guard in this process, and a directory in which every agent is here or
/// nowhere.
NodeServices localServices(const NodeContext &context);

} // namespace velmora::server
