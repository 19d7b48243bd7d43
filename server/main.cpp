// velmora-server: the rendezvous server between agents and supporters.
#include "server/cluster/redisclient.h"
#include "server/core/secretfile.h"
#include "server/core/serveroptions.h"
#include "server/server.h"

#include <sys/resource.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <system_error>

namespace {

namespace fs = std::filesystem;

// The supporter's page when --web names none: installed beside the program
// (PREFIX/bin/velmora-server and PREFIX/share/velmora/web), else the source tree it was built
// from, else a system-wide installation. Empty when none has an index.html.
std::string defaultWebDir()
{
    std::vector<fs::path> candidates;
    std::error_code ec;
    const fs::path program = fs::read_symlink("/proc/self/exe", ec);
    if (!ec)
        candidates.push_back(program.parent_path().parent_path() / "share" / "velmora" / "web");
#ifdef VELMORA_SOURCE_WEB_DIR
    candidates.emplace_back(VELMORA_SOURCE_WEB_DIR);
#endif
    candidates.emplace_back("/usr/local/share/velmora/web");
    candidates.emplace_back("/usr/share/velmora/web");
    for (const fs::path &candidate : candidates) {
        if (fs::is_regular_file(candidate / "index.html", ec))
            return candidate.lexically_normal().string();
    }
    return {};
}

// Every agent holds a connection; the default limit of 1024 descriptors would cap the server
// far below what it can serve.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char **argv)
{
    using namespace velmora::server;
    const auto parsed = parseServerArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.outcome == Parsed<ServerOptions>::Outcome::Help) {
        std::cout << serverUsage();
        return 0;
    }
    if (parsed.outcome == Parsed<ServerOptions>::Outcome::Error) {
        std::cerr << "velmora-server: " << parsed.error << "\n"
                  << "Try 'velmora-server --help'.\n";
        return 2;
    }
    try {
        const SecretFile secret = loadOrCreateSecret(parsed.options.secretFile);
        if (!secret.ok) {
            std::cerr << "velmora-server: " << secret.error << "\n";
            return 1;
        }
        // A node that cannot reach Redis would refuse every supporter: better not to start.
        if (parsed.options.redis) {
            if (const auto problem =
                    RedisClient::checkReachable(*parsed.options.redis, std::chrono::seconds(2))) {
                std::cerr << "velmora-server: " << *problem << "\n";
                return 1;
            }
        }
        raiseDescriptorLimit();
        ServerConfig config;
        config.options = parsed.options;
        if (config.options.webDir.empty())
            config.options.webDir = defaultWebDir();
        config.secret = secret.secret;
        config.handleSignals = true;
        const LogSink log = config.log;
        if (secret.created)
            log("created secret file " + parsed.options.secretFile);
        if (!secret.warning.empty())
            log("warning: " + secret.warning);
        Server server(std::move(config));
        server.listen();
        server.run();
        return 0;
    } catch (const std::exception &error) {
        std::cerr << "velmora-server: " << error.what() << "\n";
        return 1;
    }
}
