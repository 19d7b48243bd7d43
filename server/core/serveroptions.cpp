#include "server/core/serveroptions.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>
#include <variant>

namespace velmora::server {

namespace {

FlagSetter secondsSetter(std::chrono::milliseconds &target)
{
    return [&target](const std::string &value) -> std::string {
        errno = 0;
        char *end = nullptr;
        const double seconds = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0' || errno != 0 || !std::isfinite(seconds) ||
            seconds < 0.01 || seconds > 86400)
            return "expected a number of seconds between 0.01 and 86400, got '" + value + "'";
        target = std::chrono::milliseconds(std::llround(seconds * 1000));
        return {};
    };
}

// A count or a number of bytes between `low` and `high`.
FlagSetter countSetter(std::size_t &target, unsigned long long low, unsigned long long high)
{
    return [&target, low, high](const std::string &value) -> std::string {
        unsigned long long number = 0;
        if (!parseNumber(value, high, number) || number < low)
            return "expected a number between " + std::to_string(low) + " and " +
                   std::to_string(high) + ", got '" + value + "'";
        target = static_cast<std::size_t>(number);
        return {};
    };
}

FlagSetter folderSetter(std::string &target)
{
    return [&target](const std::string &value) -> std::string {
        if (value.empty())
            return "expected a folder";
        target = value;
        return {};
    };
}

FlagSetter fileSetter(std::string &target)
{
    return [&target](const std::string &value) -> std::string {
        if (value.empty())
            return "expected a file";
        target = value;
        return {};
    };
}

// The TLS flags that only make sense together; empty when they do.
std::string tlsFlagsProblem(const ServerOptions &options)
{
    if (options.tlsCert.empty() != options.tlsKey.empty())
        return "--tls-cert and --tls-key go together";
    if (options.plainListen && options.tlsCert.empty())
        return "--plain-listen adds a plain listener beside a TLS one: it needs --tls-cert and "
               "--tls-key";
    return {};
}

// The cluster flags: other nodes must be able to reach this one. Empty when they can.
std::string clusterProblem(const ServerOptions &options)
{
    if (options.nodeAddress && !options.redis)
        return "--node-address names this node to the others: it needs --redis";
    if (!options.redis || options.nodeAddress)
        return {};
    const std::string &host = options.plainListen ? options.plainListen->host : options.listen.host;
    if ((!options.tlsCert.empty() && !options.plainListen) || host == "0.0.0.0" || host == "::" ||
        host.empty())
        return "--redis: give --node-address, the address other nodes reach this one at";
    return {};
}

} // namespace

std::chrono::milliseconds ServerOptions::requestTimeout() const
{
    using std::chrono::milliseconds;
    return std::clamp(idleTimeout, milliseconds(1000), milliseconds(10000));
}

Parsed<ServerOptions> parseServerArguments(const std::vector<std::string> &arguments)
{
    Parsed<ServerOptions> parsed;
    ServerOptions &options = parsed.options;
    const std::map<std::string, FlagSetter> handlers{
        {"--listen", hostPortSetter(options.listen)},
        {"--tls-cert", fileSetter(options.tlsCert)},
        {"--tls-key", fileSetter(options.tlsKey)},
        {"--plain-listen",
         [&options](const std::string &value) -> std::string {
             return hostPortSetter(options.plainListen.emplace())(value);
         }},
        {"--secret-file",
         [&options](const std::string &value) -> std::string {
             if (value.empty())
                 return "expected a file path";
             options.secretFile = value;
             return {};
         }},
        {"--idle-timeout", secondsSetter(options.idleTimeout)},
        {"--start-timeout", secondsSetter(options.startTimeout)},
        {"--password-timeout", secondsSetter(options.passwordTimeout)},
        {"--max-message",
         [&options](const std::string &value) -> std::string {
             unsigned long long bytes = 0;
             if (!parseNumber(value, 256ull * 1024 * 1024, bytes) || bytes < 1024)
                 return "expected a number of bytes between 1024 and 268435456, got '" + value +
                        "'";
             options.maxMessage = static_cast<std::size_t>(bytes);
             return {};
         }},
        {"--message-timeout", secondsSetter(options.messageTimeout)},
        {"--max-buffered-per-address",
         countSetter(options.maxBufferedPerAddress, 64 * 1024, 1ull << 40)},
        {"--max-buffered", countSetter(options.maxBuffered, 64 * 1024, 1ull << 40)},
        {"--max-agents-per-address", countSetter(options.maxAgentsPerAddress, 1, 10000000)},
        {"--max-supporters-per-address", countSetter(options.maxSupportersPerAddress, 1, 10000000)},
        {"--max-http-per-address", countSetter(options.maxHttpPerAddress, 1, 10000000)},
        {"--max-tls-handshakes-per-address",
         countSetter(options.maxTlsHandshakesPerAddress, 1, 10000000)},
        {"--max-tls-handshakes", countSetter(options.maxTlsHandshakes, 1, 10000000)},
        {"--descriptor-reserve", countSetter(options.descriptorReserve, 8, 100000)},
        {"--web", folderSetter(options.webDir)},
        {"--novnc", folderSetter(options.novncDir)},
        {"--lockout-base", secondsSetter(options.lockout.base)},
        {"--lockout-cap", secondsSetter(options.lockout.cap)},
        {"--probe-burst",
         [&options](const std::string &value) -> std::string {
             unsigned long long count = 0;
             if (!parseNumber(value, 1000, count) || count < 1)
                 return "expected a number between 1 and 1000, got '" + value + "'";
             options.probes.burst = static_cast<unsigned>(count);
             return {};
         }},
        {"--probe-interval", secondsSetter(options.probes.interval)},
        {"--new-ids-per-address",
         [&options](const std::string &value) -> std::string {
             unsigned long long count = 0;
             if (!parseNumber(value, 1000000, count) || count < 1)
                 return "expected a number between 1 and 1000000, got '" + value + "'";
             options.newIds.burst = static_cast<unsigned>(count);
             options.newIds.interval = std::chrono::milliseconds(3600 * 1000 / count);
             return {};
         }},
        {"--supporter-deflate",
         [&options](const std::string &value) -> std::string {
             unsigned long long level = 0;
             if (!parseNumber(value, 9, level))
                 return "expected a zlib level from 0 to 9, got '" + value + "'";
             options.supporterDeflate = static_cast<int>(level);
             return {};
         }},
        {"--redis",
         [&options](const std::string &value) -> std::string {
             auto endpoint = parseRedisUrl(value);
             if (const auto *error = std::get_if<std::string>(&endpoint))
                 return *error;
             options.redis = std::get<RedisEndpoint>(std::move(endpoint));
             return {};
         }},
        {"--node-address",
         [&options](const std::string &value) -> std::string {
             HostPort address;
             if (!parseHostPort(value, address) || address.port == 0)
                 return "expected HOST:PORT with a port, got '" + value + "'";
             options.nodeAddress = address;
             return {};
         }},
    };
    bool help = false;
    parsed.error = parseFlags(arguments, handlers, help,
                              {{"--trust-forwarded-for", &options.trustForwardedFor}});
    if (parsed.error.empty() && options.lockout.cap < options.lockout.base)
        parsed.error = "--lockout-cap must not be below --lockout-base";
    if (parsed.error.empty())
        parsed.error = tlsFlagsProblem(options);
    if (parsed.error.empty())
        parsed.error = clusterProblem(options);
    if (help)
        parsed.outcome = Parsed<ServerOptions>::Outcome::Help;
    else if (parsed.error.empty())
        parsed.outcome = Parsed<ServerOptions>::Outcome::Run;
    return parsed;
}

std::string serverUsage()
{
    return "Usage: velmora-server [options]\n"
           "The rendezvous server: agents connect at ws://HOST:PORT/ and supporters at\n"
           "ws://HOST:PORT/viewer/ID (wss:// with TLS), or open http://HOST:PORT/ (https://).\n"
           "\n"
           "  --listen HOST:PORT      address to listen on (default 127.0.0.1:8080; port 0 picks\n"
           "                          a free port, shown in the log)\n"
           "  --tls-cert FILE         with --tls-key: --listen serves TLS only (https, wss);\n"
           "                          FILE holds the certificate chain (PEM, the server's first)\n"
           "  --tls-key FILE          the certificate's private key (PEM, not encrypted)\n"
           "  --plain-listen HOST:PORT  with TLS: a plain listener beside it (http, ws) for\n"
           "                          agents, which speak ws:// only; best on an internal address\n"
           "  --secret-file PATH      secret that signs session tokens; created with mode 0600\n"
           "                          when missing (default ./velmora-server.secret)\n"
           "  --idle-timeout SECONDS  ping after half of this without traffic, drop after all\n"
           "                          of it (default 30)\n"
           "  --start-timeout SECONDS time an agent has to answer a session start (default 30)\n"
           "  --password-timeout SECONDS  time a supporter has to send its password response\n"
           "                          from the session's start (default 60)\n"
           "  --max-message BYTES     largest relayed message (default 4194304)\n"
           "  --message-timeout SECONDS  time a message may take from its first byte to its\n"
           "                          last (default 30)\n"
           "  --max-buffered-per-address BYTES  bytes of unfinished messages held for one\n"
           "                          address, IPv6 by /64 (default 33554432)\n"
           "  --max-buffered BYTES    the same for all addresses (default 268435456)\n"
           "  --max-agents-per-address N, --max-supporters-per-address N,\n"
           "  --max-http-per-address N  connections one address may hold, IPv6 by /64\n"
           "                          (defaults 1024, 64 and 128)\n"
           "  --max-tls-handshakes-per-address N, --max-tls-handshakes N  TLS handshakes in\n"
           "                          progress for one address, IPv6 by /64, and for all; a\n"
           "                          client beyond them is dropped (defaults 32 and 512)\n"
           "  --descriptor-reserve N  descriptors WebSocket connections leave for plain HTTP\n"
           "                          (the page, /metrics) and the server (default 64)\n"
           "  --web DIR               the supporter's page, served at / (default: the web/\n"
           "                          folder of the source tree this program was built from,\n"
           "                          or PREFIX/share/velmora/web when installed)\n"
           "  --novnc DIR             noVNC, served at /novnc/ (default /usr/share/novnc)\n"
           "  --lockout-base SECONDS  an ID refuses supporters for this long after a refused\n"
           "                          password, twice as long after each further one (default 2)\n"
           "  --lockout-cap SECONDS   the longest such lock (default 1800)\n"
           "  --probe-burst N         connections for unknown IDs one address may make at once\n"
           "                          (default 5)\n"
           "  --probe-interval SECONDS  then one per this many seconds (default 10)\n"
           "  --new-ids-per-address N  new IDs that agents from one address may take at once,\n"
           "                          then N an hour; IPv6 by /64 (default 240)\n"
           "  --supporter-deflate LEVEL  offer supporters permessage-deflate at zlib LEVEL\n"
           "                          (0-9; default off: the picture is compressed already)\n"
           "  --trust-forwarded-for   take supporters' addresses from the last X-Forwarded-For\n"
           "                          entry (only behind a reverse proxy that sets it)\n"
           "  --redis URL             a node of a cluster: share IDs, the directory of agents\n"
           "                          and the locks with the other nodes in this Redis\n"
           "                          (redis://[[USER]:PASSWORD@]HOST[:PORT][/DB],\n"
           "                          unix:///PATH[?db=N], or the primary NAME that Sentinels\n"
           "                          follow: sentinel://HOST[:PORT][,HOST[:PORT]...]/NAME);\n"
           "                          every node reads the same secret\n"
           "  --node-address HOST:PORT  where the other nodes reach this node's plain listener\n"
           "                          (default: --plain-listen's address, else --listen's)\n"
           "  --help                  show this text\n";
}

} // namespace velmora::server
