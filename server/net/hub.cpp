#include "server/net/hub.h"

namespace velmora::server {

namespace {

ServerConfig withLog(ServerConfig config)
{
    if (!config.log)
        config.log = [](const std::string &) {};
    return config;
}

} // namespace

Hub::Hub(ServerConfig configuration, MakeNodeServices services)
    : config(withLog(std::move(configuration))), makeServices(std::move(services)),
      failures(config.log, counters),
      budget({config.options.maxBufferedPerAddress, config.options.maxBuffered}),
      tokens(config.secret), responder(config.httpHandlers, config.options, counters, config.log),
      policy{config.options.trustForwardedFor,
             [this](std::string_view id, std::string_view client, std::string_view signature) {
                 return this->services.directory->carriedBy(id, client, signature);
             }},
      listener(io, *this, config, counters, failures, policy),
      roster(registry, tokens, ids, counters, config.log)
{}

Hub::~Hub() = default;

std::uint16_t Hub::listen()
{
    const std::uint16_t port = listener.listen();
    responder.reportFolders();
    // Nothing is served before run(), so the services are there for the first connection.
    services = makeServices(
        {io, config, counters, listener.plainPort() ? listener.plainPort() : port, roster});
    admission = std::make_unique<SupporterAdmission>(io, config, registry, counters, failures,
                                                     roster, *services.guard, *services.directory);
    agentAdmission = std::make_unique<AgentAdmission>(
        io, roster, *services.directory, *services.guard, counters, failures, config.log);
    return port;
}

void Hub::run()
{
    io.run();
    log("stopped");
}

void Hub::stop()
{
    net::post(io, [this] { listener.stop(); });
}

ServerStats Hub::stats() const
{
    return counters.snapshot();
}

std::shared_ptr<WsConnection> Hub::connectionFor(Transport transport, const Route &route,
                                                 ConnectionId id, const std::string &remote)
{
    std::shared_ptr<WsConnection> connection;
    if (route.kind == Route::Kind::Agent)
        connection = std::make_shared<AgentConnection>(*this, std::move(transport), id, remote,
                                                       agentLimits(config), route);
    else if (route.kind == Route::Kind::AgentCheck)
        connection =
            std::make_shared<AgentCheckConnection>(*this, std::move(transport), id, remote,
                                                   supporterLimits(config), route.id, route.client);
    else
        connection = std::make_shared<SupporterConnection>(*this, std::move(transport), id, remote,
                                                           supporterLimits(config), route);
    connection->holdMessagesTo(budget, route.client);
    return connection;
}

HttpResponse Hub::answer(const HttpRequest &request)
{
    return responder.answer(request);
}

void Hub::sweeping(Clock::time_point now)
{
    services.guard->forgetIdle(now);
    services.directory->sweeping(now);
    counters.buffered(budget.held());
}

void Hub::stopping()
{
    roster.closeAll();
    // Nothing beyond this node may keep the loop running.
    services.directory->stop();
}

void Hub::agentOpened(const std::shared_ptr<AgentConnection> &agent)
{
    if (listener.stopping()) {
        agent->close(kShutdown);
        return;
    }
    agentAdmission->opened(agent);
}

void Hub::agentClosed(AgentConnection &agent, const std::string &why)
{
    listener.connectionEnded(agent.id());
    if (roster.closed(agent, why))
        services.directory->left(agent.sessionId());
}

void Hub::agentHandshakeFailed(AgentConnection &agent, const std::string &why)
{
    handshakeFailed(agent, "agent", why);
}

void Hub::supporterOpened(const std::shared_ptr<SupporterConnection> &supporter)
{
    if (listener.stopping()) {
        supporter->close(kShutdown);
        return;
    }
    admission->opened(supporter);
}

void Hub::supporterClosed(SupporterConnection &supporter, const std::string &why)
{
    listener.connectionEnded(supporter.id());
    if (const auto session = supporter.session())
        session->supporterLeft(why);
}

void Hub::supporterHandshakeFailed(SupporterConnection &supporter, const std::string &why)
{
    handshakeFailed(supporter, "supporter", why);
}

void Hub::log(const std::string &line)
{
    config.log(line);
}

void Hub::agentCheckOpened(const std::shared_ptr<AgentCheckConnection> &check)
{
    agentAdmission->answers(
        check->sessionId(), [this, weak = std::weak_ptr<AgentCheckConnection>(check)](bool alive) {
            const auto check = weak.lock();
            if (!check || check->closing())
                return;
            log("agent check id=" + check->sessionId() + " from node " + check->node() + ": " +
                std::string(alive ? kAgentAlive : kAgentSilent));
            check->answer(alive);
        });
}

void Hub::agentCheckEnded(AgentCheckConnection &check)
{
    listener.connectionEnded(check.id());
}

void Hub::handshakeFailed(WsConnection &connection, const char *role, const std::string &why)
{
    listener.connectionEnded(connection.id());
    failures.failed(FailureLog::Kind::WebSocketHandshake, std::string("WebSocket handshake with ") +
                                                              role + " " + connection.remote() +
                                                              " failed: " + why);
}

} // namespace velmora::server
