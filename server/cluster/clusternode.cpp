#include "server/cluster/clusternode.h"

#include "server/cluster/forwardedsession.h"
#include "server/cluster/remoteagentcheck.h"
#include "server/cluster/sharedguard.h"
#include "server/core/commandline.h"
#include "server/core/counters.h"
#include "server/core/route.h"
#include "server/core/sessiontokens.h"
#include "server/net/agentadmission.h"
#include "server/net/supporterconnection.h"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace velmora::server {

namespace {

// Every key of the cluster in Redis starts with it.
const std::string kPrefix = "velmora:";

std::int64_t unixNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

ClusterDirectory::Settings directorySettings(const ServerOptions &options, std::string address)
{
    ClusterDirectory::Settings settings;
    settings.node = std::move(address);
    // Entries outlive a few of the server's keepalive intervals.
    settings.refresh = std::max<std::chrono::milliseconds>(std::chrono::milliseconds(1000),
                                                           options.idleTimeout / 2);
    return settings;
}

} // namespace

NodeServices clusterServices(const NodeContext &context)
{
    const ServerOptions &options = context.config.options;
    auto node = std::make_unique<ClusterNode>(context.io, context.config,
                                              ClusterNode::addressOf(options, context.port),
                                              context.counters, context.agents);
    NodeServices services;
    // Under Sentinel a replica is there to take over: a lock counts once it holds it too.
    const std::chrono::milliseconds replicaWait(options.redis->sentinels.empty() ? 0 : 500);
    services.guard = std::make_unique<SharedGuard>(node->redisClient(), options.lockout,
                                                   options.probes, kPrefix, context.config.log,
                                                   options.newIds, replicaWait);
    services.directory = std::move(node);
    return services;
}

std::string ClusterNode::addressOf(const ServerOptions &options, std::uint16_t port)
{
    if (options.nodeAddress)
        return formatHostPort(options.nodeAddress->host, options.nodeAddress->port);
    return formatHostPort(options.plainListen ? options.plainListen->host : options.listen.host,
                          port);
}

ClusterNode::ClusterNode(net::io_context &io, const ServerConfig &config, std::string address,
                         Counters &counters, Agents &agents)
    : io(io), config(config), counters(counters), agents(agents), failures(config.log, counters),
      auth(config.secret),
      redis(io, *config.options.redis, config.log),
      directory(
          io, redis, directorySettings(config.options, std::move(address)),
          [this] { return this->agents.online(); },
          [this](const std::string &id) { this->agents.lost(id); })
{
    // /metrics shows Redis up or down as soon as this node knows it, not at its next sweep.
    redis.onConnected([this] { publishFigures(); });
    redis.onLost([this] { publishFigures(); });
    redis.start();
    config.log("cluster node " + directory.node() + " with Redis at " +
               config.options.redis->describe());
    publishFigures();
}

ClusterNode::~ClusterNode() = default;

void ClusterNode::stop()
{
    // This node's entries expire by themselves, and its agents take them over from other nodes
    // before that.
    directory.stop();
    redis.stop();
}

void ClusterNode::claim(AgentIdentity who, const std::string &remote,
                        std::function<void(std::optional<AgentIdentity>)> done)
{
    if (!who.returning()) {
        claimFresh(std::move(who), remote, 0, std::move(done));
        return;
    }
    claimReturning(std::move(who), remote, false, std::move(done));
}

void ClusterNode::claimReturning(AgentIdentity who, const std::string &remote, bool overHolder,
                                 std::function<void(std::optional<AgentIdentity>)> done)
{
    const std::string id = who.id;
    const std::string fingerprint = SessionTokens::fingerprint(who.token);
    directory.claimReturning(id, fingerprint, overHolder,
                             [this, who = std::move(who), remote, done = std::move(done)](
                                 ClusterDirectory::Claim result, const std::string &node) mutable {
                                 if (result == ClusterDirectory::Claim::Taken) {
                                     who = AgentIdentity{};
                                     who.how = "new; the ID of its token is held by another agent";
                                     claimFresh(std::move(who), remote, 0, std::move(done));
                                 } else if (result == ClusterDirectory::Claim::HeldElsewhere) {
                                     askHolder(std::move(who), remote, node, std::move(done));
                                 } else {
                                     // Without Redis the agent keeps its own ID, and the directory
                                     // learns of it once Redis is back.
                                     done(std::move(who));
                                 }
                             });
}

void ClusterNode::askHolder(AgentIdentity who, const std::string &remote, const std::string &node,
                            std::function<void(std::optional<AgentIdentity>)> done)
{
    RemoteAgentCheck::Settings settings;
    settings.node = node;
    settings.id = who.id;
    settings.asking = address();
    settings.signature = auth.sign(std::string(kAgentCheckPrefix) + who.id, address(), unixNow());
    // The holder's own wait, and time to reach it.
    settings.deadline = AgentAdmission::kAnswerWait + std::chrono::seconds(1);
    auto answered = [this, who = std::move(who), remote, node,
                     done = std::move(done)](bool alive) mutable {
        if (alive) {
            AgentIdentity fresh;
            fresh.how = AgentAdmission::kHeldByLiveAgent;
            claimFresh(std::move(fresh), remote, 0, std::move(done));
            return;
        }
        config.log("agent id=" + who.id + " on node " + node +
                   " did not answer; its token came back from " + remote);
        claimReturning(std::move(who), remote, true, std::move(done));
    };
    std::make_shared<RemoteAgentCheck>(io, std::move(settings), std::move(answered))->start();
}

void ClusterNode::claimFresh(AgentIdentity who, const std::string &remote, unsigned tries,
                             std::function<void(std::optional<AgentIdentity>)> done)
{
    // Fresh IDs are almost never taken; a run of them means something else is wrong.
    constexpr unsigned kFreshTries = 8;
    agents.draw(who);
    const std::string id = who.id;
    const std::string fingerprint = SessionTokens::fingerprint(who.token);
    directory.claimNew(id, fingerprint,
                       [this, who = std::move(who), remote, tries,
                        done = std::move(done)](ClusterDirectory::Claim result) mutable {
                           if (result == ClusterDirectory::Claim::Granted) {
                               done(std::move(who));
                           } else if (result == ClusterDirectory::Claim::Unavailable) {
                               // No ID is sure to be unique: the agent comes back in 4 s.
                               failures.failed(FailureLog::Kind::RedisUnavailable,
                                               "agent " + remote +
                                                   " refused: Redis is unavailable for a new ID");
                               done(std::nullopt);
                           } else if (tries + 1 >= kFreshTries) {
                               config.log("agent " + remote + " refused: no free ID after " +
                                          std::to_string(kFreshTries) + " tries");
                               done(std::nullopt);
                           } else {
                               claimFresh(std::move(who), remote, tries + 1, std::move(done));
                           }
                       });
}

void ClusterNode::locate(const std::shared_ptr<SupporterConnection> &supporter, const CloseReason &,
                         std::function<void(Whereabouts)> done)
{
    const std::weak_ptr<SupporterConnection> weak = supporter;
    if (supporter->carried()) {
        // The directory named this node a moment ago: the agent is on its way elsewhere.
        net::post(io, [weak, done = std::move(done)] {
            const auto live = weak.lock();
            if (!live || live->closing())
                return;
            Whereabouts moving;
            moving.reason = kOffline;
            moving.probe = false;
            done(moving);
        });
        return;
    }
    directory.lookup(supporter->requestedId(),
                     [this, weak, done = std::move(done)](ClusterDirectory::Location where) {
                         const auto live = weak.lock();
                         if (!live || live->closing())
                             return;
                         using Kind = ClusterDirectory::Location::Kind;
                         Whereabouts answer;
                         if (where.kind == Kind::Unavailable) {
                             answer.kind = Whereabouts::Kind::Unavailable;
                         } else if (where.kind == Kind::Node && where.node != address()) {
                             forward(live, where.node);
                             return;
                         } else {
                             // An entry naming this node is stale: its agent left.
                             answer.reason = where.kind == Kind::Unknown ? kUnknownId : kOffline;
                         }
                         done(answer);
                     });
}

bool ClusterNode::carriedBy(std::string_view id, std::string_view client,
                            std::string_view signature) const
{
    // Also another node's agent check, signed over its path (see kAgentCheckPrefix).
    return auth.verify(id, client, signature, unixNow());
}

void ClusterNode::redeem(const std::string &signature, std::function<void(SignatureUse)> done)
{
    redis.command({"SET", kPrefix + "nonce:" + std::string(NodeAuth::nonceOf(signature)), "1", "NX",
                   "PX", std::to_string(NodeAuth::kRememberNonce.count())},
                  [done = std::move(done)](const RedisReply &reply) {
                      if (reply.type == RedisReply::Type::Status)
                          done(SignatureUse::First);
                      else if (reply.type == RedisReply::Type::Nil)
                          done(SignatureUse::Replayed);
                      else
                          done(SignatureUse::Unavailable);
                  });
}

void ClusterNode::forward(const std::shared_ptr<SupporterConnection> &supporter,
                          const std::string &node)
{
    const std::string &id = supporter->requestedId();
    ForwardedSession::Settings settings;
    settings.node = node;
    settings.client = supporter->clientAddress();
    settings.signature = auth.sign(id, settings.client, unixNow());
    settings.maxMessage = 2 * config.options.maxMessage + 4096;
    settings.highWater = config.highWater;
    const std::string remote = supporter->remote();
    auto ended = [log = config.log, id, remote](const std::string &why) {
        log("forwarded session end id=" + id + " supporter " + remote + " (" + why + ")");
    };
    std::make_shared<ForwardedSession>(io, std::move(settings), id, supporter, std::move(ended))
        ->start();
    counters.forwardedOut();
    config.log("session forwarded id=" + id + " supporter " + remote + " to node " + node);
}

void ClusterNode::sweeping(Clock::time_point)
{
    publishFigures();
    redis.command(
        {"INFO", "memory"}, [this, alive = std::weak_ptr<bool>(alive)](const RedisReply &reply) {
            constexpr std::string_view kUsed = "used_memory:";
            const auto at = reply.text.find(kUsed);
            if (!alive.lock() || reply.type != RedisReply::Type::String || at == std::string::npos)
                return;
            redisMemory = std::strtoull(reply.text.c_str() + at + kUsed.size(), nullptr, 10);
            publishFigures();
        });
}

void ClusterNode::publishFigures()
{
    counters.cluster(figures());
}

ServerStats::Cluster ClusterNode::figures() const
{
    const RedisClient::Stats stats = redis.stats();
    ServerStats::Cluster cluster;
    cluster.enabled = true;
    cluster.redisConnected = redis.connected();
    cluster.directorySize = directory.size();
    cluster.redisCommands = stats.commands;
    cluster.redisErrors = stats.errors;
    cluster.redisLatencyUs = stats.lastLatencyUs;
    cluster.redisAverageLatencyUs = stats.averageLatencyUs;
    cluster.redisMemoryBytes = redisMemory;
    return cluster;
}

} // namespace velmora::server
