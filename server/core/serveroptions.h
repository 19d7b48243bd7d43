// velmora-server's command line, parsed without touching the network.
#pragma once

#include "server/core/commandline.h"
#include "server/core/lockouts.h"
#include "server/core/probelimiter.h"
#include "server/core/redisurl.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace velmora::server {

struct ServerOptions
{
    HostPort listen{"127.0.0.1", 8080};
    /// PEM files of the certificate chain and its private key; when set (both or neither),
    /// `listen` serves TLS only (https and wss).
    std::string tlsCert;
    std::string tlsKey;
    /// A plain listener beside the TLS one (only with TLS), for agents, which speak ws:// only.
    std::optional<HostPort> plainListen;
    std::string secretFile = "velmora-server.secret";
    /// Agents and supporters are pinged after half of this without traffic and dropped after all
    /// of it; a write that makes no progress for this long drops its connection.
    std::chrono::milliseconds idleTimeout{30000};
    /// How long an agent may take to send its first "rfb" envelope after "start_session".
    std::chrono::milliseconds startTimeout{30000};
    /// How long a supporter may take, from the session's start, to send its password response;
    /// the ID is busy for everyone else meanwhile. A person typing four digits needs far less.
    std::chrono::milliseconds passwordTimeout{60000};
    /// Largest binary message from a supporter, and largest relayed frame from an agent (whose
    /// envelope may then be the Base64 size of this plus the envelope's own members).
    std::size_t maxMessage = 4 * 1024 * 1024;
    /// Folder of the supporter's page, served at "/"; empty: no page. The program fills in its
    /// default (see defaultWebDir in main) when the command line names none.
    std::string webDir;
    /// noVNC's folder, served at "/novnc/"; empty: not served.
    std::string novncDir = "/usr/share/novnc";
    /// A message may take this long from its first byte to its last; a peer that trickles one
    /// (or never finishes it) is dropped, since the server holds what arrived until the end.
    std::chrono::milliseconds messageTimeout{30000};
    /// Bytes of messages in progress held for one client address (IPv6: its /64), and for all.
    std::size_t maxBufferedPerAddress = 32 * 1024 * 1024;
    std::size_t maxBuffered = 256 * 1024 * 1024;
    /// Connections one client address (IPv6: its /64) may hold, by what they are for.
    std::size_t maxAgentsPerAddress = 1024;
    std::size_t maxSupportersPerAddress = 64;
    std::size_t maxHttpPerAddress = 128;
    /// TLS handshakes in progress (each holds tens of kilobytes until it ends) for one client
    /// address (IPv6: its /64), and for all.
    std::size_t maxTlsHandshakesPerAddress = 32;
    std::size_t maxTlsHandshakes = 512;
    /// Descriptors kept from WebSocket connections for plain HTTP (the page, /metrics) and the
    /// server itself.
    std::size_t descriptorReserve = 64;
    /// zlib level (0-9) of the permessage-deflate that supporters' WebSockets are offered; -1:
    /// not offered. Off by default: the picture is JPEG and zlib already, so it saves little and
    /// costs the server many times the CPU per MB.
    int supporterDeflate = -1;
    /// Take a supporter's address from the last X-Forwarded-For entry rather than the TCP peer:
    /// only behind a reverse proxy that appends it (anyone else could claim any address).
    bool trustForwardedFor = false;
    /// A node of a cluster: the state the nodes share lives in this Redis.
    std::optional<RedisEndpoint> redis;
    /// Where other nodes reach this node's plain (ws://) listener; by default the plain
    /// listener's address, else --listen's (see clusterProblem for when that cannot do).
    std::optional<HostPort> nodeAddress;
    /// Locks on session IDs after refused password attempts.
    LockoutSchedule lockout;
    /// Connections per client address that may ask for IDs that lead nowhere.
    ProbeLimit probes;
    /// New IDs per client address (--new-ids-per-address N: N at once, then N an hour).
    ProbeLimit newIds = kNewIdLimit;

    /// Bound on reading a plain HTTP request and writing its answer, and on the WebSocket
    /// handshakes: the idle timeout, kept between 1 and 10 s.
    std::chrono::milliseconds requestTimeout() const;
};

/// `arguments` excludes the program name.
Parsed<ServerOptions> parseServerArguments(const std::vector<std::string> &arguments);

std::string serverUsage();

} // namespace velmora::server
