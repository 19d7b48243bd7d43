// A snapshot of the server's counters, as stats() and GET /metrics give them.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace velmora::server {

/// Counters readable from any thread.
struct ServerStats
{
    std::uint64_t agentsOnline = 0;
    std::uint64_t sessionsActive = 0;
    std::uint64_t sessionsStarted = 0;
    std::uint64_t bytesToAgents = 0;
    std::uint64_t bytesToSupporters = 0;
    /// The largest queue of unsent bytes any connection had.
    std::uint64_t peakQueuedBytes = 0;
    std::uint64_t connectionsAccepted = 0;
    /// How often reading from one side stopped because the other side's queue was full.
    std::uint64_t backpressurePauses = 0;
    /// Supporters turned away, by close reason ("unknown-id", "locked", "wrong-password", ...).
    std::map<std::string, std::uint64_t> refusals;
    /// Security handshakes of sessions, by outcome ("success", "wrong-password", "closed", ...).
    std::map<std::string, std::uint64_t> handshakes;
    /// Locks put on session IDs after refused attempts.
    std::uint64_t lockouts = 0;
    /// Connections refused or dropped to protect the server, by why ("client-limit",
    /// "server-full", "accept-failed", "message-timeout").
    std::map<std::string, std::uint64_t> connectionsRefused;
    /// Connections that failed, by how ("tls-handshake", "bad-request", ...; see FailureLog).
    std::map<std::string, std::uint64_t> connectionFailures;
    /// Bytes of unfinished messages held now.
    std::uint64_t bufferedBytes = 0;

    /// As a node of a cluster (--redis); all zero otherwise.
    struct Cluster
    {
        bool enabled = false;
        bool redisConnected = false;
        /// IDs online in the whole cluster, as of this node's last directory refresh.
        std::uint64_t directorySize = 0;
        /// Sessions this node carried to the agent's node, and sessions other nodes carried here.
        std::uint64_t forwardedOut = 0;
        std::uint64_t forwardedIn = 0;
        std::uint64_t redisCommands = 0;
        std::uint64_t redisErrors = 0;
        /// Round trip to Redis: the latest, and a moving average.
        std::uint64_t redisLatencyUs = 0;
        std::uint64_t redisAverageLatencyUs = 0;
        /// Memory that Redis uses (INFO used_memory), as of this node's last sweep.
        std::uint64_t redisMemoryBytes = 0;
    } cluster;
};

} // namespace velmora::server
