#include "server/core/counters.h"

#include "server/core/sessionregistry.h"

namespace velmora::server {

void Counters::queued(std::size_t bytes)
{
    std::uint64_t peak = peakQueued;
    while (bytes > peak && !peakQueued.compare_exchange_weak(peak, bytes)) {
    }
}

void Counters::supporterRefused(std::string_view reason)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++refusals[std::string(reason)];
}

void Counters::handshakeEnded(const std::string &outcome)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++handshakes[outcome];
}

void Counters::idLocked()
{
    std::lock_guard<std::mutex> lock(mutex);
    ++lockouts;
}

void Counters::connectionRefused(const std::string &why)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++refusedConnections[why];
}

void Counters::connectionFailed(const std::string &kind)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++failedConnections[kind];
}

void Counters::population(const SessionRegistry &registry)
{
    agentsOnline = registry.onlineCount();
    sessionsActive = registry.sessionCount();
}

void Counters::cluster(const ServerStats::Cluster &figures)
{
    std::lock_guard<std::mutex> lock(mutex);
    clusterFigures = figures;
}

ServerStats Counters::snapshot() const
{
    ServerStats s;
    s.agentsOnline = agentsOnline;
    s.sessionsActive = sessionsActive;
    s.sessionsStarted = started;
    s.bytesToAgents = toAgents;
    s.bytesToSupporters = toSupporters;
    s.peakQueuedBytes = peakQueued;
    s.connectionsAccepted = accepted;
    s.backpressurePauses = pauses;
    s.bufferedBytes = bufferedNow;
    std::lock_guard<std::mutex> lock(mutex);
    s.connectionsRefused = refusedConnections;
    s.connectionFailures = failedConnections;
    s.refusals = refusals;
    s.handshakes = handshakes;
    s.lockouts = lockouts;
    s.cluster = clusterFigures;
    s.cluster.forwardedOut = forwardsOut;
    s.cluster.forwardedIn = forwardsIn;
    return s;
}

} // namespace velmora::server
