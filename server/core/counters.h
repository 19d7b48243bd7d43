// The server's counters: bumped on the server's thread, read from any thread as a snapshot (for
// stats() and GET /metrics).
#pragma once

#include "server/core/serverstats.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace velmora::server {

class SessionRegistry;

class Counters
{
public:
    void connectionAccepted() { ++accepted; }
    void sessionStarted() { ++started; }
    /// Bytes of the VNC stream passed on, to an agent or to a supporter.
    void relayedToAgent(std::uint64_t bytes) { toAgents += bytes; }
    void relayedToSupporter(std::uint64_t bytes) { toSupporters += bytes; }
    /// A connection's queue of unsent bytes after a send; the largest is kept.
    void queued(std::size_t bytes);
    /// Reading from one side paused because the other side's queue was full.
    void backpressurePaused() { ++pauses; }
    /// A supporter was turned away with this close reason ("busy", "locked", ...).
    void supporterRefused(std::string_view reason);
    /// A session's security handshake ended this way ("success", "wrong-password", ...).
    void handshakeEnded(const std::string &outcome);
    /// A session ID was locked after a refused attempt.
    void idLocked();
    /// A connection was refused or dropped to protect the server (see ServerStats).
    void connectionRefused(const std::string &why);
    /// A connection failed this way (see FailureLog::name): each one, though the log says few.
    void connectionFailed(const std::string &kind);
    /// Bytes of unfinished messages held now.
    void buffered(std::size_t bytes) { bufferedNow = bytes; }
    /// Takes the agents online and the sessions running from the registry as it is now.
    void population(const SessionRegistry &registry);

    void forwardedOut() { ++forwardsOut; }
    void forwardedIn() { ++forwardsIn; }
    /// The node's view of the cluster, but for the forwarding counts, which are kept here.
    void cluster(const ServerStats::Cluster &figures);

    /// Thread-safe.
    ServerStats snapshot() const;

private:
    std::atomic<std::uint64_t> agentsOnline{0};
    std::atomic<std::uint64_t> sessionsActive{0};
    std::atomic<std::uint64_t> started{0};
    std::atomic<std::uint64_t> toAgents{0};
    std::atomic<std::uint64_t> toSupporters{0};
    std::atomic<std::uint64_t> peakQueued{0};
    std::atomic<std::uint64_t> accepted{0};
    std::atomic<std::uint64_t> pauses{0};
    std::atomic<std::uint64_t> bufferedNow{0};
    // Rare events, kept under the mutex.
    mutable std::mutex mutex;
    std::map<std::string, std::uint64_t> refusals;
    std::map<std::string, std::uint64_t> handshakes;
    std::uint64_t lockouts = 0;
    std::map<std::string, std::uint64_t> refusedConnections;
    std::map<std::string, std::uint64_t> failedConnections;
    std::atomic<std::uint64_t> forwardsOut{0};
    std::atomic<std::uint64_t> forwardsIn{0};
    ServerStats::Cluster clusterFigures;
};

} // namespace velmora::server
