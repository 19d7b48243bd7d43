#include "connect/connectoptions.h"

#include "server/core/sessionids.h"

#include <map>

namespace velmora::server {

Parsed<ConnectOptions> parseConnectArguments(const std::vector<std::string> &arguments)
{
    Parsed<ConnectOptions> parsed;
    ConnectOptions &options = parsed.options;
    bool haveServer = false;
    bool haveId = false;
    const std::map<std::string, FlagSetter> handlers{
        {"--server",
         [&](const std::string &value) -> std::string {
             options.tls = value.rfind("wss://", 0) == 0;
             const std::string scheme = options.tls ? "wss://" : "ws://";
             std::string rest = value.rfind(scheme, 0) == 0 ? value.substr(scheme.size()) : "";
             if (!rest.empty() && rest.back() == '/')
                 rest.pop_back();
             if (rest.empty() || !parseHostPort(rest, options.server) || options.server.port == 0)
                 return "expected ws://HOST:PORT or wss://HOST:PORT, got '" + value + "'";
             haveServer = true;
             return {};
         }},
        {"--ca-file",
         [&](const std::string &value) -> std::string {
             if (value.empty())
                 return "expected a file";
             options.caFile = value;
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
        else if (!options.caFile.empty() && !options.tls)
            parsed.error = "--ca-file needs a wss:// server";
        else
            parsed.outcome = Parsed<ConnectOptions>::Outcome::Run;
    }
    return parsed;
}

std::string serverUrl(const ConnectOptions &options)
{
    return (options.tls ? "wss://" : "ws://") +
           formatHostPort(options.server.host, options.server.port);
}

std::string connectUsage()
{
    return "Usage: velmora-connect --server ws://HOST:PORT --id ID [--listen HOST:PORT]\n"
           "       velmora-connect --server wss://HOST:PORT [--ca-file FILE] --id ID [...]\n"
           "Lets a native VNC viewer reach the desktop of the agent with session ID ID through\n"
           "the rendezvous server: every viewer connection to the local port is bridged to\n"
           "ws://HOST:PORT/viewer/ID (wss:// with TLS).\n"
           "\n"
           "  --server ws://HOST:PORT the rendezvous server; wss://HOST:PORT for TLS, where the\n"
           "                          server's certificate must be valid for HOST (a name or an\n"
           "                          IP address) and signed by a trusted CA\n"
           "  --ca-file FILE          with wss://: trust only the CA certificates in FILE (PEM),\n"
           "                          for a private CA (default: the system's trusted CAs)\n"
           "  --id ID                 the nine-digit session ID shown to the helped person\n"
           "  --listen HOST:PORT      local address for the viewer (default 127.0.0.1:5900;\n"
           "                          port 0 picks a free port)\n"
           "  --help                  show this text\n";
}

} // namespace velmora::server
