// This server as a node of a cluster (--redis): the Redis connection, the shared directory and
// guard, and what passes between nodes (IDs claimed for agents, supporters carried to the node
// that holds their agent, signed). The hub asks it; it knows nothing of the hub's connections
// but what the hooks give. Runs on the server's thread.
#pragma once

#include "server/beast/beast.h"
#include "server/core/agentidentity.h"
#include "server/core/nodeauth.h"
#include "server/core/serverconfig.h"
#include "server/core/serverstats.h"
#include "server/net/clusterdirectory.h"
#include "server/net/redisclient.h"
#include "server/net/sharedguard.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace velmora::server {

class Counters;
class SupporterConnection;

class ClusterNode
{
public:
    struct Hooks
    {
        /// (ID, token fingerprint) of every agent online on this node.
        ClusterDirectory::LocalAgents localAgents;
        /// An ID of this node is now held by another node or agent.
        ClusterDirectory::Lost lost;
        /// Gives a new agent a fresh ID and token (unique on this node).
        std::function<void(AgentIdentity &)> draw;
    };

    /// This node's address for the others: --node-address, else the plain listener's (or the
    /// listener's) host with `port`, the port it listens on.
    static std::string addressOf(const ServerOptions &options, std::uint16_t port);

    /// Starts connecting to Redis. `config` and `counters` must outlive the node.
    ClusterNode(net::io_context &io, const ServerConfig &config, std::string address,
                Counters &counters, Hooks hooks);
    ~ClusterNode();

    /// Leaves Redis: nothing of the node keeps the loop running afterwards.
    void stop();

    /// Takes the agent's ID in the directory: its own for a returning agent (a fresh one when
    /// another agent's token holds it), else fresh IDs until one is free. `done` gets the
    /// identity to welcome the agent with, or nothing when it must come back later (logged).
    void claim(AgentIdentity who, const std::string &remote,
               std::function<void(std::optional<AgentIdentity>)> done);
    /// The agent of `id` left this node.
    void left(const std::string &id) { directory.left(id); }
    void lookup(const std::string &id, std::function<void(ClusterDirectory::Location)> done)
    {
        directory.lookup(id, std::move(done));
    }

    SharedGuard &guard() { return sharedGuard; }
    const std::string &address() const { return directory.node(); }

    /// The supporter's address that another node signed for this upgrade request, if any.
    std::optional<std::string> signedClientOf(const Request &request) const;
    /// Carries `supporter`'s session to `node`, which holds the agent.
    void forward(const std::shared_ptr<SupporterConnection> &supporter, const std::string &node);

    ServerStats::Cluster figures() const;

private:
    void claimFresh(AgentIdentity who, const std::string &remote, unsigned tries,
                    std::function<void(std::optional<AgentIdentity>)> done);

    net::io_context &io;
    const ServerConfig &config;
    Counters &counters;
    Hooks hooks;
    const NodeAuth auth;
    // Declared before what calls into it.
    RedisClient redis;
    SharedGuard sharedGuard;
    ClusterDirectory directory;
};

} // namespace velmora::server
