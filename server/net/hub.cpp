#include "server/net/hub.h"

#include "protocol/envelope.h"
#include "server/core/clientaddress.h"
#include "server/core/route.h"
#include "server/core/text.h"
#include "server/net/relaysession.h"

namespace velmora::server {

namespace {

ServerConfig withLog(ServerConfig config)
{
    if (!config.log)
        config.log = [](const std::string &) {};
    return config;
}

} // namespace

Hub::Hub(ServerConfig configuration)
    : config(withLog(std::move(configuration))),
      guard(config.options.lockout, config.options.probes),
      budget({config.options.maxBufferedPerAddress, config.options.maxBuffered}),
      tokens(config.secret), responder(config.httpHandlers, config.options, counters, config.log),
      listener(io, *this, config, counters)
{}

Hub::~Hub() = default;

std::uint16_t Hub::listen()
{
    const std::uint16_t port = listener.listen();
    responder.reportFolders();
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

std::shared_ptr<WsConnection> Hub::connectionFor(Transport transport, const Request &request,
                                                 ConnectionId id, const std::string &remote)
{
    const Route route = routeRequest(toStd(request.target()), true);
    std::string client = clientAddressOf(beast::get_lowest_layer(transport).socket(), request);
    std::shared_ptr<WsConnection> connection;
    if (route.kind == Route::Kind::Agent) {
        std::string token;
        const auto cookies = request.equal_range(http::field::cookie);
        for (auto it = cookies.first; it != cookies.second && token.empty(); ++it) {
            if (const auto value = cookieValue(toStd(it->value()), kSessionCookie))
                token = std::string(*value);
        }
        connection = std::make_shared<AgentConnection>(*this, std::move(transport), id, remote,
                                                       agentLimits(config), std::move(token));
    } else {
        connection = std::make_shared<SupporterConnection>(
            *this, std::move(transport), id, remote, supporterLimits(config), route.id, client);
    }
    connection->holdMessagesTo(budget, std::move(client));
    return connection;
}

std::string Hub::clientOf(const tcp::socket &socket, const Request &request)
{
    return clientAddressOf(socket, request);
}

HttpResponse Hub::answer(const HttpRequest &request)
{
    return responder.answer(request);
}

void Hub::sweeping(Clock::time_point now)
{
    guard.forgetIdle(now);
    counters.buffered(budget.held());
}

void Hub::stopping()
{
    for (const auto &[id, weak] : agents) {
        if (const auto agent = weak.lock())
            agent->closeBecause(kShutdown, "server shutting down");
    }
}

void Hub::agentOpened(const std::shared_ptr<AgentConnection> &agent)
{
    if (listener.stopping()) {
        agent->close(kShutdown);
        return;
    }
    const auto now = Clock::now();
    std::string id;
    std::string token;
    std::string how = "new";
    if (!agent->presentedToken().empty()) {
        const auto owned = tokens.verify(agent->presentedToken());
        if (!owned) {
            how = "new; it presented an invalid session token";
        } else if (registry.heldByOtherToken(*owned, agent->presentedToken())) {
            how = "new; the ID of its token is held by another agent";
        } else {
            id = *owned;
            token = agent->presentedToken();
            how = "returning";
        }
    }
    if (id.empty()) {
        id = ids.next([this](std::string_view candidate) { return registry.isTaken(candidate); });
        token = tokens.issue(id);
    }
    agent->identify(id);
    const auto replaced = registry.agentOnline(id, token, agent->id(), now);
    agents[agent->id()] = agent;
    if (replaced) {
        const auto it = agents.find(*replaced);
        if (const auto old = it == agents.end() ? nullptr : it->second.lock()) {
            if (const auto session = old->session())
                session->agentGone("the agent reconnected", kReplaced);
            old->closeBecause(kReplaced, "replaced by a new connection");
        }
        how = "returning; replaces its previous connection";
    }
    agent->send(envelope::connectionInfoEnvelope(id, token));
    log("agent online id=" + id + " from " + agent->remote() + " (" + how + ")");
    publishCounts();
}

void Hub::agentClosed(AgentConnection &agent, const std::string &why)
{
    agents.erase(agent.id());
    listener.connectionEnded(agent.id());
    if (agent.sessionId().empty())
        return;
    registry.agentOffline(agent.sessionId(), agent.id(), Clock::now());
    log("agent offline id=" + agent.sessionId() + " from " + agent.remote() + " (" +
        agent.whyEnded(why) + ")");
    if (const auto session = agent.session())
        session->agentGone("the agent left", kAgentGone);
    publishCounts();
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
    const auto now = Clock::now();
    const std::string &id = supporter->requestedId();
    if (const auto refusal = guard.admit(supporter->clientAddress(), id, now)) {
        refuseSupporter(*supporter, refusal->reason, refusal->retryAfter);
        return;
    }
    auto refusal = registry.beginSession(id, supporter->id(), now);
    std::shared_ptr<AgentConnection> agent;
    if (refusal == SessionRegistry::Refusal::None) {
        agent = agentWithId(id);
        if (!agent) {
            registry.endSession(id, supporter->id());
            refusal = SessionRegistry::Refusal::Offline;
        }
    }
    if (refusal == SessionRegistry::Refusal::Busy) {
        refuseSupporter(*supporter, kBusy);
        return;
    }
    if (refusal != SessionRegistry::Refusal::None) {
        // An ID whose agent is away tells a prober as much as an unknown one.
        guard.ledNowhere(supporter->clientAddress(), now);
        if (refusal == SessionRegistry::Refusal::Offline)
            refuseSupporter(*supporter, kOffline, kOfflineRetry);
        else
            refuseSupporter(*supporter, kUnknownId);
        return;
    }
    const RelaySession::Context context{config, registry, guard, counters};
    std::make_shared<RelaySession>(io, context, id, agent, supporter)->start();
    counters.sessionStarted();
    publishCounts();
    log("session start id=" + id + " supporter " + supporter->remote());
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

void Hub::handshakeFailed(WsConnection &connection, const char *role, const std::string &why)
{
    listener.connectionEnded(connection.id());
    log(std::string("WebSocket handshake with ") + role + " " + connection.remote() +
        " failed: " + why);
}

void Hub::refuseSupporter(SupporterConnection &supporter, const CloseReason &reason,
                          std::chrono::milliseconds retryAfter)
{
    std::string text(reason.text);
    std::string note;
    if (retryAfter.count() > 0) {
        text = withRetryAfter(reason, retryAfter);
        note = " (retry after " + text.substr(text.find('=') + 1) + " s)";
    }
    log("refused supporter " + supporter.remote() +
        " for id=" + printable(supporter.requestedId()) + ": " + std::string(reason.text) + note);
    counters.supporterRefused(reason.text);
    supporter.close(reason.code, std::move(text));
}

std::shared_ptr<AgentConnection> Hub::agentWithId(const std::string &id) const
{
    const auto it = agents.find(registry.find(id)->connection);
    const auto agent = it == agents.end() ? nullptr : it->second.lock();
    return agent && !agent->closing() ? agent : nullptr;
}

std::string Hub::clientAddressOf(const tcp::socket &socket, const Request &request) const
{
    beast::error_code ec;
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    std::string address = ec ? std::string("unknown") : peer.address().to_string();
    if (config.options.trustForwardedFor) {
        // The proxy appends what it saw; with several header lines, the last one is its.
        std::string forwarded;
        const auto lines = request.equal_range("X-Forwarded-For");
        for (auto it = lines.first; it != lines.second; ++it)
            forwarded = std::string(toStd(it->value()));
        if (const auto last = lastForwardedFor(forwarded))
            address = *last;
    }
    return clientKey(address).value_or(address);
}

void Hub::publishCounts()
{
    counters.population(registry);
}

} // namespace velmora::server
