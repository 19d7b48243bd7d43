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
