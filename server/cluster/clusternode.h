// This server as a node of a cluster (--redis): the directory of agents that the nodes share in
// Redis, the signature with which nodes carry supporters to each other, and what passes between
// them (IDs claimed for agents, supporters carried to the node that holds their agent). The hub
// asks it as its AgentDirectory; it knows nothing of the hub's connections but what its Agents
// give. Owns the node's connection to Redis, which the SharedGuard made beside it
// (clusterServices) uses too. Runs on the server's thread.
#pragma once

#include "server/beast/beast.h"
#include "server/cluster/clusterdirectory.h"
#include "server/cluster/nodeauth.h"
#include "server/cluster/redisclient.h"
#include "server/core/failurelog.h"
#include "server/core/serverconfig.h"
#include "server/core/serverstats.h"
#include "server/net/agentdirectory.h"
#include "server/net/nodeservices.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace velmora::server {

class Counters;

/// A node of a cluster's: the ClusterNode as its directory, and the SharedGuard over its Redis.
NodeServices clusterServices(const NodeContext &context);

class ClusterNode : public AgentDirectory
{
public:
    /// This node's address for the others: --node-address, else the plain listener's (or the
    /// listener's) host with `port`, the port it listens on.
    static std::string addressOf(const ServerOptions &options, std::uint16_t port);

    /// Starts connecting to Redis. Everything given must outlive the node.
    ClusterNode(net::io_context &io, const ServerConfig &config, std::string address,
                Counters &counters, Agents &agents);
    ~ClusterNode() override;

    void claim(AgentIdentity who, const std::string &remote,
               std::function<void(std::optional<AgentIdentity>)> done) override;
    void left(const std::string &id) override { directory.left(id); }
    /// A supporter that another node carried here finds its agent gone from here: it is on its
    /// way elsewhere (offline, no probe). Else the directory names the agent's node, which the
    /// supporter is carried to.
    void locate(const std::shared_ptr<SupporterConnection> &supporter, const CloseReason &here,
                std::function<void(Whereabouts)> done) override;
    bool carriedBy(std::string_view id, std::string_view client,
                   std::string_view signature) const override;
    /// Remembers the signature's nonce in Redis (SET NX) for NodeAuth::kRememberNonce, which
    /// every node asks: only the first to set it lets the supporter pass.
    void redeem(const std::string &signature, std::function<void(SignatureUse)> done) override;
    /// Publishes the node's cluster figures (also each time Redis is lost or back).
    void sweeping(Clock::time_point now) override;
    /// Leaves Redis: nothing of the node keeps the loop running afterwards.
    void stop() override;

    RedisClient &redisClient() { return redis; }
    const std::string &address() const { return directory.node(); }
    ServerStats::Cluster figures() const;

private:
    /// A returning agent's own ID: unless (`overHolder` false) another node holds it, which is
    /// asked first whether its agent still answers (askHolder).
    void claimReturning(AgentIdentity who, const std::string &remote, bool overHolder,
                        std::function<void(std::optional<AgentIdentity>)> done);
    /// `node` holds the returning agent's ID: while its agent answers there, this one gets a
    /// fresh ID; else it takes its own.
    void askHolder(AgentIdentity who, const std::string &remote, const std::string &node,
                   std::function<void(std::optional<AgentIdentity>)> done);
    void claimFresh(AgentIdentity who, const std::string &remote, unsigned tries,
                    std::function<void(std::optional<AgentIdentity>)> done);
    /// Carries `supporter`'s session to `node`, which holds the agent.
    void forward(const std::shared_ptr<SupporterConnection> &supporter, const std::string &node);
    void publishFigures();

    net::io_context &io;
    const ServerConfig &config;
    Counters &counters;
    Agents &agents;
    /// Agents refused while Redis is away: one line per interval, not one each.
    FailureLog failures;
    const NodeAuth auth;
    // Declared before what calls into it.
    RedisClient redis;
    ClusterDirectory directory;
    /// Redis's memory as its last INFO said.
    std::uint64_t redisMemory = 0;
    /// Guards the callbacks of replies that come after the node is gone.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

} // namespace velmora::server
