// velmora-connect: lets a native VNC viewer reach an agent's desktop through the rendezvous
// server.
#include "connect/bridge.h"
#include "connect/connectoptions.h"

#include <boost/asio/signal_set.hpp>

#include <exception>
#include <iostream>

int main(int argc, char **argv)
{
    using namespace velmora::server;
    const auto parsed = parseConnectArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.outcome == Parsed<ConnectOptions>::Outcome::Help) {
        std::cout << connectUsage();
        return 0;
    }
    if (parsed.outcome == Parsed<ConnectOptions>::Outcome::Error) {
        std::cerr << "velmora-connect: " << parsed.error << "\n"
                  << "Try 'velmora-connect --help'.\n";
        return 2;
    }
    try {
        net::io_context io;
        Bridge bridge(io, parsed.options,
                      [](const std::string &line) { std::cout << line << std::endl; });
        const std::string problem = bridge.checkServer(std::chrono::seconds(5));
        if (!problem.empty()) {
            std::cerr << "velmora-connect: " << problem << "\n";
            return 1;
        }
        const std::uint16_t port = bridge.listen();
        const std::string host = parsed.options.listen.host;
        std::cout << "Listening on " << formatHostPort(host, port) << ", bridged to "
                  << bridge.viewerUrl() << "\n"
                  << "Connect your VNC viewer, for example: vncviewer " << host << "::" << port
                  << "\n"
                  << "The VNC password is the four-digit password shown to the person you help."
                  << std::endl;
        net::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&](const beast::error_code &ec, int) {
            if (ec)
                return;
            bridge.stop();
            io.stop();
        });
        io.run();
        return 0;
    } catch (const std::exception &error) {
        std::cerr << "velmora-connect: " << error.what() << "\n";
        return 1;
    }
}
