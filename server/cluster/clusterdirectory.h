// The nodes' shared directory in Redis: which node holds the agent of each session ID, and which
// IDs are taken (online anywhere, or offline for less than a day), so that IDs stay unique across
// nodes and an agent that comes back through another node keeps its own. Every entry expires by
// itself: a node refreshes its agents' entries while they stay, so a dead node's vanish.
// Runs on the server's thread; every answer comes later, on the loop.
#pragma once

#include "server/beast/beast.h"
#include "server/cluster/redisclient.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmora::server {

class ClusterDirectory
{
public:
    /// Keys live under `prefix`: PREFIX "agent:" ID holds the node, PREFIX "id:" ID the token
    /// fingerprint of its agent, PREFIX "directory" the IDs online with their expiry.
    struct Settings
    {
        /// This node, as other nodes reach it (--node-address).
        std::string node;
        /// How often the node refreshes its entries; they expire after three times this.
        std::chrono::milliseconds refresh{15000};
        /// An ID stays taken this long after its agent was last seen.
        std::chrono::milliseconds remember{24 * 60 * 60 * 1000};
        /// A new ID stays taken only this long until the node's first refresh of it: an agent
        /// that connects and drops leaves its ID for minutes, not a day. Its agent, coming back
        /// with its token, gets the ID back even after that (unless another agent took it).
        std::chrono::milliseconds rememberNew{10 * 60 * 1000};
        std::string prefix = "velmora:";
    };

    /// How a claim on an ID ended. HeldElsewhere: the ID's agent is on another node (named with
    /// it), which must say first whether that agent still answers.
    enum class Claim { Granted, Taken, HeldElsewhere, Unavailable };

    /// Where an ID's agent is.
    struct Location
    {
        enum class Kind { Node, Offline, Unknown, Unavailable } kind = Kind::Unknown;
        /// The node that holds it, for Node.
        std::string node;
    };

    /// (ID, token fingerprint) of every agent online on this node.
    using LocalAgents = std::function<std::vector<std::pair<std::string, std::string>>()>;
    /// An ID of this node now held elsewhere (its agent came back through another node, or
    /// another agent holds it): the node lets its own connection go.
    using Lost = std::function<void(const std::string &id)>;

    /// `redis` must outlive the directory. Starts refreshing at once, and again each time Redis
    /// comes back (after a restart it holds nothing of ours).
    ClusterDirectory(net::io_context &io, RedisClient &redis, Settings settings,
                     LocalAgents localAgents, Lost lost);
    ~ClusterDirectory();

    /// Takes `id` for a new agent with `fingerprint`, unless anyone has it.
    void claimNew(const std::string &id, const std::string &fingerprint,
                  std::function<void(Claim)> done);
    /// Takes `id` for its returning agent: granted unless another agent's token holds it, or,
    /// unless `overHolder`, another node holds it (HeldElsewhere, with that node).
    void claimReturning(const std::string &id, const std::string &fingerprint, bool overHolder,
                        std::function<void(Claim, const std::string &node)> done);
    /// The agent of `id` left this node (a later holder elsewhere is kept).
    void left(const std::string &id);
    void lookup(const std::string &id, std::function<void(Location)> done);

    /// Stops refreshing (for the server's stop: nothing of it keeps the loop running).
    void stop();

    /// IDs online in the whole cluster, as of this node's last refresh.
    std::size_t size() const { return knownSize; }
    const std::string &node() const { return settings.node; }

private:
    void claim(const std::string &id, const std::string &fingerprint, const char *mode,
               std::chrono::milliseconds remember,
               std::function<void(Claim, const std::string &node)> done);
    void doRefresh();
    void onRefresh(const RedisReply &reply);
    void schedule();

    RedisClient &redis;
    const Settings settings;
    LocalAgents localAgents;
    Lost lost;
    net::steady_timer timer;
    std::size_t knownSize = 0;
    bool stopped = false;
    /// Guards the callbacks of replies that come after the directory is gone.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

} // namespace velmora::server
