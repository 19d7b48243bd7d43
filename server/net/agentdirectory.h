// Which agent holds which session ID beyond this node's own connections, as the hub asks it: on a
// single node nothing is anywhere else (LocalDirectory); on a node of a cluster the nodes share a
// directory in Redis, and a supporter whose agent is on another node is carried there
// (ClusterNode). Runs on the server's thread.
#pragma once

#include "server/core/agentidentity.h"
#include "server/core/clock.h"
#include "server/core/closereasons.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora::server {

class SupporterConnection;

class AgentDirectory
{
public:
    /// What the directory asks of this node's own agents.
    class Agents
    {
    public:
        /// (ID, token fingerprint) of every agent online on this node.
        virtual std::vector<std::pair<std::string, std::string>> online() const = 0;
        /// An ID of this node is now held elsewhere: its connection here goes.
        virtual void lost(const std::string &id) = 0;
        /// Gives a new agent a fresh ID and token, unique on this node.
        virtual void draw(AgentIdentity &who) const = 0;

    protected:
        ~Agents() = default;
    };

    /// Where a supporter's agent is, when it is not on this node.
    struct Whereabouts
    {
        enum class Kind {
            /// Nowhere to be reached: the supporter is refused with `reason` (unknown-id, or
            /// offline with a retry-after).
            Nowhere,
            /// The directory cannot be read: the supporter is refused as unavailable.
            Unavailable
        };
        Kind kind = Kind::Nowhere;
        CloseReason reason = kUnknownId;
        /// Nowhere: the supporter's address pays a probe for asking (an ID whose agent is away
        /// tells a prober as much as an unknown one).
        bool probe = true;
    };

    virtual ~AgentDirectory() = default;

    // Every `done` is called at most once, later on the loop (never from inside the call).

    /// Takes the agent's ID: its own for a returning agent (a fresh one when another agent
    /// holds it, or when another node holds it for an agent that still answers there), else a
    /// fresh one. `done` gets the identity to welcome the agent with, or
    /// nothing when it must come back later (logged); always called.
    virtual void claim(AgentIdentity who, const std::string &remote,
                       std::function<void(std::optional<AgentIdentity>)> done) = 0;
    /// The agent of `id` left this node, and no other connection holds the ID here.
    virtual void left(const std::string &id) = 0;

    /// The supporter's agent is not on this node (`here`: offline or unknown-id, as this node
    /// knows the ID). Either the supporter is carried to the agent's node (and `done` is not
    /// called), or `done` says why it cannot be reached. Not called once the supporter's
    /// connection is closing.
    virtual void locate(const std::shared_ptr<SupporterConnection> &supporter,
                        const CloseReason &here, std::function<void(Whereabouts)> done) = 0;

    /// True when `signature` is another node's for carrying the supporter from `client` to `id`
    /// (or, when `id` is an agent check's path, for that check from node `client`).
    virtual bool carriedBy(std::string_view id, std::string_view client,
                           std::string_view signature) const = 0;

    /// What redeem found.
    enum class SignatureUse {
        /// The signature had not been used: it is now.
        First,
        /// It was used before: a replay, whoever sends it.
        Replayed,
        /// Whether it was used cannot be told: the supporter is refused as unavailable.
        Unavailable
    };
    /// Marks a signature that carriedBy accepted as used, for every node; `done` says whether
    /// it had been. A signature passes once.
    virtual void redeem(const std::string &signature, std::function<void(SignatureUse)> done) = 0;

    /// At every sweep of the server.
    virtual void sweeping(Clock::time_point now) = 0;
    /// The server is stopping: nothing of the directory may keep the loop running afterwards.
    virtual void stop() = 0;
};

} // namespace velmora::server
