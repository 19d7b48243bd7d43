#include "server/options.h"

#include "server/sessionids.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

namespace velmora::server {

namespace {

// Walks "--name VALUE" and "--name=VALUE" pairs; `handlers` maps each flag to a setter that
// returns an error text (empty when the value is fine).
using Setter = std::function<std::string(const std::string &)>;

// `switches` are flags without a value ("--name" alone sets them).
std::string parseFlags(const std::vector<std::string> &arguments,
                       const std::map<std::string, Setter> &handlers, bool &help,
                       const std::map<std::string, bool *> &switches = {})
{
    help = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            help = true;
            return {};
        }
        std::string name = argument;
        std::string value;
        bool hasValue = false;
        const std::size_t equals = argument.find('=');
        if (argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            hasValue = true;
        }
        if (const auto flag = switches.find(argument); flag != switches.end()) {
            *flag->second = true;
            continue;
        }
        const auto handler = handlers.find(name);
        if (handler == handlers.end())
            return "unknown argument '" + argument + "'";
        if (!hasValue) {
            if (i + 1 >= arguments.size())
                return name + " needs a value";
            value = arguments[++i];
        }
        const std::string error = handler->second(value);
        if (!error.empty())
            return name + ": " + error;
    }
    return {};
}

Setter hostPortSetter(HostPort &target)
{
    return [&target](const std::string &value) -> std::string {
        return parseHostPort(value, target) ? "" : "expected HOST:PORT, got '" + value + "'";
    };
}

Setter secondsSetter(std::chrono::milliseconds &target)
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

Setter folderSetter(std::string &target)
{
    return [&target](const std::string &value) -> std::string {
        if (value.empty())
            return "expected a folder";
        target = value;
        return {};
    };
}

bool parseNumber(const std::string &text, unsigned long long limit, unsigned long long &out)
{
    if (text.empty() || text.size() > 20)
        return false;
    unsigned long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned long long>(c - '0');
        if (value > limit)
            return false;
    }
    out = value;
    return true;
}

} // namespace

bool parseHostPort(const std::string &text, HostPort &out)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string::npos)
        return false;
    unsigned long long port = 0;
    if (host.empty() || !parseNumber(text.substr(colon + 1), 65535, port))
        return false;
    out.host = host;
    out.port = static_cast<std::uint16_t>(port);
    return true;
}

std::string formatHostPort(const std::string &host, std::uint16_t port)
{
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

Parsed<ServerOptions> parseServerArguments(const std::vector<std::string> &arguments)
{
    Parsed<ServerOptions> parsed;
    ServerOptions &options = parsed.options;
    const std::map<std::string, Setter> handlers{
        {"--listen", hostPortSetter(options.listen)},
        {"--secret-file",
         [&options](const std::string &value) -> std::string {
             if (value.empty())
                 return "expected a file path";
             options.secretFile = value;
             return {};
         }},
        {"--idle-timeout", secondsSetter(options.idleTimeout)},
        {"--start-timeout", secondsSetter(options.startTimeout)},
        {"--max-message",
         [&options](const std::string &value) -> std::string {
             unsigned long long bytes = 0;
             if (!parseNumber(value, 256ull * 1024 * 1024, bytes) || bytes < 1024)
                 return "expected a number of bytes between 1024 and 268435456, got '" + value +
                        "'";
             options.maxMessage = static_cast<std::size_t>(bytes);
             return {};
         }},
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
    };
    bool help = false;
    parsed.error = parseFlags(arguments, handlers, help,
                              {{"--trust-forwarded-for", &options.trustForwardedFor}});
    if (parsed.error.empty() && options.lockout.cap < options.lockout.base)
        parsed.error = "--lockout-cap must not be below --lockout-base";
    if (help)
        parsed.outcome = Parsed<ServerOptions>::Outcome::Help;
    else if (parsed.error.empty())
        parsed.outcome = Parsed<ServerOptions>::Outcome::Run;
    return parsed;
}

Parsed<ConnectOptions> parseConnectArguments(const std::vector<std::string> &arguments)
{
    Parsed<ConnectOptions> parsed;
    ConnectOptions &options = parsed.options;
    bool haveServer = false;
    bool haveId = false;
    const std::map<std::string, Setter> handlers{
        {"--server",
         [&](const std::string &value) -> std::string {
             const std::string scheme = "ws://";
             std::string rest = value.rfind(scheme, 0) == 0 ? value.substr(scheme.size()) : "";
             if (!rest.empty() && rest.back() == '/')
                 rest.pop_back();
             if (rest.empty() || !parseHostPort(rest, options.server) || options.server.port == 0)
                 return "expected ws://HOST:PORT, got '" + value + "'";
             haveServer = true;
             return {};
         }},
        {"--id",
         [&](const std::string &value) -> std::string {
             if (!isSessionId(value))
                 return "a session ID is nine digits, got '" + value + "'";
             options.id = value;
             haveId = true;
             return {};
         }},
        {"--listen", hostPortSetter(options.listen)},
    };
    bool help = false;
    parsed.error = parseFlags(arguments, handlers, help);
    if (help) {
        parsed.outcome = Parsed<ConnectOptions>::Outcome::Help;
    } else if (parsed.error.empty()) {
        if (!haveServer)
            parsed.error = "--server ws://HOST:PORT is required";
        else if (!haveId)
            parsed.error = "--id ID is required";
        else
            parsed.outcome = Parsed<ConnectOptions>::Outcome::Run;
    }
    return parsed;
}

std::string serverUsage()
{
    return "Usage: velmora-server [options]\n"
           "The rendezvous server: agents connect at ws://HOST:PORT/ and supporters at\n"
           "ws://HOST:PORT/viewer/ID.\n"
           "\n"
           "  --listen HOST:PORT      address to listen on (default 127.0.0.1:8080; port 0 picks\n"
           "                          a free port, shown in the log)\n"
           "  --secret-file PATH      secret that signs session tokens; created with mode 0600\n"
           "                          when missing (default ./velmora-server.secret)\n"
           "  --idle-timeout SECONDS  ping after half of this without traffic, drop after all\n"
           "                          of it (default 30)\n"
           "  --start-timeout SECONDS time an agent has to answer a session start (default 30)\n"
           "  --max-message BYTES     largest relayed message (default 4194304)\n"
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
           "  --trust-forwarded-for   take supporters' addresses from the last X-Forwarded-For\n"
           "                          entry (only behind a reverse proxy that sets it)\n"
           "  --help                  show this text\n";
}

std::string connectUsage()
{
    return "Usage: velmora-connect --server ws://HOST:PORT --id ID [--listen HOST:PORT]\n"
           "Lets a native VNC viewer reach the desktop of the agent with session ID ID through\n"
           "the rendezvous server: every viewer connection to the local port is bridged to\n"
           "ws://HOST:PORT/viewer/ID.\n"
           "\n"
           "  --server ws://HOST:PORT the rendezvous server\n"
           "  --id ID                 the nine-digit session ID shown to the helped person\n"
           "  --listen HOST:PORT      local address for the viewer (default 127.0.0.1:5900;\n"
           "                          port 0 picks a free port)\n"
           "  --help                  show this text\n";
}

} // namespace velmora::server
