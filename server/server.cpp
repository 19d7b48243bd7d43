#include "server/server.h"

#include "server/cluster/clusternode.h"
#include "server/net/hub.h"

namespace velmora::server {

Server::Server(ServerConfig config)
{
    MakeNodeServices services = config.options.redis ? MakeNodeServices(&clusterServices)
                                                     : MakeNodeServices(&localServices);
    hub = std::make_unique<Hub>(std::move(config), std::move(services));
}

Server::~Server() = default;

std::uint16_t Server::listen()
{
    return hub->listen();
}

std::uint16_t Server::plainListenPort() const
{
    return hub->plainListenPort();
}

void Server::run()
{
    hub->run();
}

void Server::stop()
{
    hub->stop();
}

ServerStats Server::stats() const
{
    return hub->stats();
}

} // namespace velmora::server
