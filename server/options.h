// Command lines of velmora-server and velmora-connect, parsed without touching the network.
#pragma once

#include "server/lockouts.h"
#include "server/probelimiter.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora::server {

struct HostPort
{
    std::string host;
    std::uint16_t port = 0;
};

/// Parses "HOST:PORT" ("[v6]:PORT" for IPv6 literals); port 0 means "any free port". Returns
/// false on a missing host, a missing or non-numeric port, or a port above 65535.
bool parseHostPort(const std::string &text, HostPort &out);

/// "HOST:PORT", with brackets around IPv6 literals.
std::string formatHostPort(const std::string &host, std::uint16_t port);

struct ServerOptions
{
    HostPort listen{"127.0.0.1", 8080};
    std::string secretFile = "velmora-server.secret";
    /// Agents and supporters are pinged after half of this without traffic and dropped after all
    /// of it; a write that makes no progress for this long drops its connection.
    std::chrono::milliseconds idleTimeout{30000};
    /// How long an agent may take to send its first "rfb" envelope after "start_session".
    std::chrono::milliseconds startTimeout{30000};
    /// Largest binary message from a supporter, and largest relayed frame from an agent (whose
    /// envelope may then be the Base64 size of this plus the envelope's own members).
    std::size_t maxMessage = 4 * 1024 * 1024;
    /// Folder of the supporter's page, served at "/"; empty: no page. The program fills in its
    /// default (see defaultWebDir in main) when the command line names none.
    std::string webDir;
    /// noVNC's folder, served at "/novnc/"; empty: not served.
    std::string novncDir = "/usr/share/novnc";
    /// Take a supporter's address from the last X-Forwarded-For entry rather than the TCP peer:
    /// only behind a reverse proxy that appends it (anyone else could claim any address).
    bool trustForwardedFor = false;
    /// Locks on session IDs after refused password attempts.
    LockoutSchedule lockout;
    /// Connections per client address that may ask for IDs that lead nowhere.
    ProbeLimit probes;
};

struct ConnectOptions
{
    HostPort server;
    std::string id;
    HostPort listen{"127.0.0.1", 5900};
};

/// The outcome of parsing a command line.
template <typename Options> struct Parsed
{
    enum class Outcome { Run, Help, Error };
    Outcome outcome = Outcome::Error;
    Options options;
    /// One English sentence when outcome is Error.
    std::string error;
};

/// `arguments` excludes the program name.
Parsed<ServerOptions> parseServerArguments(const std::vector<std::string> &arguments);
Parsed<ConnectOptions> parseConnectArguments(const std::vector<std::string> &arguments);

std::string serverUsage();
std::string connectUsage();

} // namespace velmora::server
