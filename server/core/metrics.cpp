#include "server/core/metrics.h"

#include "server/core/closereasons.h"

#include <map>

namespace velmora::server {

namespace {

void metric(std::string &out, const char *name, const char *type, const char *help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(std::string &out, const char *name, std::uint64_t value, const std::string &labels = {})
{
    out += name;
    if (!labels.empty())
        out += "{" + labels + "}";
    out += ' ';
    out += std::to_string(value);
    out += '\n';
}

// Label values here are the server's own words, but escape anyway as the format asks.
std::string label(const char *name, const std::string &value)
{
    std::string escaped;
    for (const char c : value) {
        if (c == '\\' || c == '"')
            escaped += '\\';
        if (c == '\n') {
            escaped += "\\n";
            continue;
        }
        escaped += c;
    }
    return std::string(name) + "=\"" + escaped + "\"";
}

std::map<std::string, std::uint64_t> withZeros(std::map<std::string, std::uint64_t> counts,
                                               std::initializer_list<const char *> names)
{
    for (const char *name : names)
        counts.try_emplace(name, 0);
    return counts;
}

std::map<std::string, std::uint64_t> withEveryRefusal(std::map<std::string, std::uint64_t> counts)
{
    for (const CloseReason &reason : kRefusals)
        counts.try_emplace(std::string(reason.text), 0);
    return counts;
}

} // namespace

std::string prometheusText(const ServerStats &stats)
{
    std::string out;
    metric(out, "velmora_agents_online", "gauge", "Agents connected to the server.");
    sample(out, "velmora_agents_online", stats.agentsOnline);
    metric(out, "velmora_sessions_active", "gauge", "Relayed sessions in progress.");
    sample(out, "velmora_sessions_active", stats.sessionsActive);
    metric(out, "velmora_sessions_started_total", "counter", "Relayed sessions started.");
    sample(out, "velmora_sessions_started_total", stats.sessionsStarted);
    metric(out, "velmora_relayed_bytes_total", "counter",
           "Bytes of the VNC stream relayed, by direction.");
    sample(out, "velmora_relayed_bytes_total", stats.bytesToAgents, label("direction", "to_agent"));
    sample(out, "velmora_relayed_bytes_total", stats.bytesToSupporters,
           label("direction", "to_supporter"));
    metric(out, "velmora_supporter_refusals_total", "counter",
           "Supporters turned away, by the close reason they were given.");
    for (const auto &[reason, count] : withEveryRefusal(stats.refusals))
        sample(out, "velmora_supporter_refusals_total", count, label("reason", reason));
    metric(out, "velmora_handshakes_total", "counter",
           "Security handshakes of relayed sessions, by outcome.");
    for (const auto &[outcome, count] : withZeros(
             stats.handshakes, {"success", "wrong-password", "server-failure", "no-vnc-auth",
                                "unsupported-type", "unsupported-version", "malformed", "closed"}))
        sample(out, "velmora_handshakes_total", count, label("outcome", outcome));
    metric(out, "velmora_lockouts_total", "counter",
           "Locks put on session IDs after refused password attempts.");
    sample(out, "velmora_lockouts_total", stats.lockouts);
    metric(out, "velmora_connections_accepted_total", "counter", "TCP connections accepted.");
    sample(out, "velmora_connections_accepted_total", stats.connectionsAccepted);
    metric(out, "velmora_connections_refused_total", "counter",
           "Connections refused or dropped to protect the server, by why.");
    for (const auto &[why, count] : withZeros(
             stats.connectionsRefused, {"client-limit", "server-full", "accept-failed",
                                        "message-timeout", "new-id-budget", "handshake-limit"}))
        sample(out, "velmora_connections_refused_total", count, label("reason", why));
    metric(out, "velmora_connection_failures_total", "counter",
           "Connections that failed, by how: each one, though the log says each kind once per "
           "interval.");
    for (const auto &[kind, count] :
         withZeros(stats.connectionFailures,
                   {"tls-handshake", "bad-request", "request-timeout", "unknown-path",
                    "websocket-handshake", "unread-answers", "redis-unavailable"}))
        sample(out, "velmora_connection_failures_total", count, label("kind", kind));
    metric(out, "velmora_buffered_bytes", "gauge", "Bytes of unfinished messages held now.");
    sample(out, "velmora_buffered_bytes", stats.bufferedBytes);
    metric(out, "velmora_backpressure_pauses_total", "counter",
           "Times reading from one side paused because the other side's queue was full.");
    sample(out, "velmora_backpressure_pauses_total", stats.backpressurePauses);
    metric(out, "velmora_peak_queued_bytes", "gauge",
           "The largest queue of unsent bytes any connection had.");
    sample(out, "velmora_peak_queued_bytes", stats.peakQueuedBytes);
    const ServerStats::Cluster &cluster = stats.cluster;
    if (!cluster.enabled)
        return out;
    metric(out, "velmora_cluster_redis_up", "gauge", "1 while this node is connected to Redis.");
    sample(out, "velmora_cluster_redis_up", cluster.redisConnected ? 1 : 0);
    metric(out, "velmora_cluster_directory_ids", "gauge",
           "IDs online in the whole cluster, as of this node's last directory refresh.");
    sample(out, "velmora_cluster_directory_ids", cluster.directorySize);
    metric(out, "velmora_cluster_forwarded_sessions_total", "counter",
           "Supporters carried between nodes: out to the agent's node, or in from another node.");
    sample(out, "velmora_cluster_forwarded_sessions_total", cluster.forwardedOut,
           label("direction", "out"));
    sample(out, "velmora_cluster_forwarded_sessions_total", cluster.forwardedIn,
           label("direction", "in"));
    metric(out, "velmora_cluster_redis_commands_total", "counter", "Commands sent to Redis.");
    sample(out, "velmora_cluster_redis_commands_total", cluster.redisCommands);
    metric(out, "velmora_cluster_redis_errors_total", "counter",
           "Redis commands that failed, and failed connection attempts.");
    sample(out, "velmora_cluster_redis_errors_total", cluster.redisErrors);
    metric(out, "velmora_cluster_redis_latency_microseconds", "gauge",
           "Round trip to Redis: the latest, and its moving average.");
    sample(out, "velmora_cluster_redis_latency_microseconds", cluster.redisLatencyUs,
           label("of", "latest"));
    sample(out, "velmora_cluster_redis_latency_microseconds", cluster.redisAverageLatencyUs,
           label("of", "average"));
    metric(out, "velmora_cluster_redis_memory_bytes", "gauge",
           "Memory that Redis uses for everything it holds (INFO used_memory), as of this "
           "node's last sweep.");
    sample(out, "velmora_cluster_redis_memory_bytes", cluster.redisMemoryBytes);
    return out;
}

} // namespace velmora::server
