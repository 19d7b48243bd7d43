#include "server/net/hub.h"

#include "protocol/envelope.h"
#include "server/core/clientaddress.h"
#include "server/core/route.h"
#include "server/core/text.h"
#include "server/net/relaysession.h"

#include <chrono>

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
    if (config.options.redis) {
        ClusterNode::Hooks hooks;
        hooks.localAgents = [this] { return localAgents(); };
        hooks.lost = [this](const std::string &id) { lostToCluster(id); };
        hooks.draw = [this](AgentIdentity &who) { drawIdentity(who); };
        cluster = std::make_unique<ClusterNode>(
            io, config,
            ClusterNode::addressOf(config.options,
                                   listener.plainPort() ? listener.plainPort() : port),
            counters, std::move(hooks));
        // /metrics shows the cluster's figures from the start, not only after the first sweep.
        counters.cluster(cluster->figures());
    }
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
    const auto signedClient = cluster ? cluster->signedClientOf(request) : std::nullopt;
    std::string client =
        signedClient ? *signedClient
                     : clientAddressOf(beast::get_lowest_layer(transport).socket(), request);
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
        auto supporter = std::make_shared<SupporterConnection>(
            *this, std::move(transport), id, remote, supporterLimits(config), route.id, client);
        if (signedClient)
            supporter->arrivedFromNode();
        connection = std::move(supporter);
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
    if (cluster)
        counters.cluster(cluster->figures());
}

void Hub::stopping()
{
    for (const auto &[id, weak] : agents) {
        if (const auto agent = weak.lock())
            agent->closeBecause(kShutdown, "server shutting down");
    }
    // Nothing of the cluster may keep the loop running.
    if (cluster)
        cluster->stop();
}

void Hub::agentOpened(const std::shared_ptr<AgentConnection> &agent)
{
    if (listener.stopping()) {
        agent->close(kShutdown);
        return;
    }
    AgentIdentity who = identityOf(*agent);
    if (!cluster) {
        if (!who.returning())
            drawIdentity(who);
        welcome(agent, who);
        return;
    }
    cluster->claim(
        std::move(who), agent->remote(),
        [this, weak = std::weak_ptr<AgentConnection>(agent)](std::optional<AgentIdentity> who) {
            const auto agent = weak.lock();
            if (!agent || agent->closing()) {
                // Granted to a connection that is gone: unless another one holds it here.
                if (who && cluster && !registry.find(who->id))
                    cluster->left(who->id);
            } else if (!who) {
                agent->close(kUnavailable);
            } else {
                welcome(agent, *who);
            }
        });
}

AgentIdentity Hub::identityOf(const AgentConnection &agent) const
{
    AgentIdentity who;
    if (agent.presentedToken().empty())
        return who;
    const auto owned = tokens.verify(agent.presentedToken());
    if (!owned) {
        who.how = "new; it presented an invalid session token";
    } else if (registry.heldByOtherToken(*owned, agent.presentedToken())) {
        who.how = "new; the ID of its token is held by another agent";
    } else {
        who.id = *owned;
        who.token = agent.presentedToken();
        who.how = "returning";
    }
    return who;
}

void Hub::drawIdentity(AgentIdentity &who) const
{
    who.id = ids.next([this](std::string_view candidate) { return registry.isTaken(candidate); });
    who.token = tokens.issue(who.id);
}

void Hub::welcome(const std::shared_ptr<AgentConnection> &agent, const AgentIdentity &who)
{
    std::string how = who.how;
    agent->identify(who.id);
    const auto replaced = registry.agentOnline(who.id, who.token, agent->id(), Clock::now());
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
    agent->send(envelope::connectionInfoEnvelope(who.id, who.token));
    log("agent online id=" + who.id + " from " + agent->remote() + " (" + how + ")");
    publishCounts();
}

void Hub::agentClosed(AgentConnection &agent, const std::string &why)
{
    agents.erase(agent.id());
    listener.connectionEnded(agent.id());
    if (agent.sessionId().empty())
        return;
    registry.agentOffline(agent.sessionId(), agent.id(), Clock::now());
    if (cluster && !registry.find(agent.sessionId()))
        cluster->left(agent.sessionId());
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
    const std::string &id = supporter->requestedId();
    if (!cluster) {
        if (const auto refusal = guard.admit(supporter->clientAddress(), id, Clock::now()))
            refuseSupporter(*supporter, refusal->reason, refusal->retryAfter);
        else
            connectSupporter(supporter);
        return;
    }
    if (supporter->cameFromNode())
        counters.forwardedIn();
    cluster->guard().admit(supporter->clientAddress(), id,
                           [this, weak = std::weak_ptr<SupporterConnection>(supporter)](
                               SharedGuard::Admission admission) {
                               const auto supporter = weak.lock();
                               if (!supporter || supporter->closing())
                                   return;
                               if (admission.kind == SharedGuard::Admission::Kind::Unavailable)
                                   refuseUnavailable(*supporter, "the lock state cannot be read");
                               else if (!admission.allowed())
                                   refuseSupporter(*supporter, admission.refusal.reason,
                                                   admission.refusal.retryAfter);
                               else
                                   connectSupporter(supporter);
                           });
}

void Hub::connectSupporter(const std::shared_ptr<SupporterConnection> &supporter)
{
    const auto now = Clock::now();
    const std::string &id = supporter->requestedId();
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
        if (!cluster)
            ledNowhere(*supporter,
                       refusal == SessionRegistry::Refusal::Offline ? kOffline : kUnknownId);
        else if (supporter->cameFromNode())
            // The directory named this node a moment ago: the agent is on its way elsewhere.
            refuseSupporter(*supporter, kOffline, kOfflineRetry);
        else
            locate(supporter);
        return;
    }
    const RelaySession::Context context{config, registry, guard, counters,
                                        cluster ? &cluster->guard() : nullptr};
    std::make_shared<RelaySession>(io, context, id, agent, supporter)->start();
    counters.sessionStarted();
    publishCounts();
    log("session start id=" + id + " supporter " + supporter->remote());
}

void Hub::locate(const std::shared_ptr<SupporterConnection> &supporter)
{
    cluster->lookup(
        supporter->requestedId(), [this, weak = std::weak_ptr<SupporterConnection>(supporter)](
                                      ClusterDirectory::Location where) {
            const auto supporter = weak.lock();
            if (!supporter || supporter->closing())
                return;
            using Kind = ClusterDirectory::Location::Kind;
            if (where.kind == Kind::Unavailable)
                refuseUnavailable(*supporter, "the directory cannot be read");
            else if (where.kind == Kind::Node && where.node != cluster->address())
                cluster->forward(supporter, where.node);
            else
                // An entry naming this node is stale: its agent left.
                ledNowhere(*supporter, where.kind == Kind::Unknown ? kUnknownId : kOffline);
        });
}

void Hub::ledNowhere(SupporterConnection &supporter, const CloseReason &reason)
{
    // An ID whose agent is away tells a prober as much as an unknown one.
    if (cluster)
        cluster->guard().ledNowhere(supporter.clientAddress());
    else
        guard.ledNowhere(supporter.clientAddress(), Clock::now());
    if (reason.code == kOffline.code)
        refuseSupporter(supporter, kOffline, kOfflineRetry);
    else
        refuseSupporter(supporter, reason);
}

void Hub::refuseUnavailable(SupporterConnection &supporter, const std::string &why)
{
    log("Redis unavailable for supporter " + supporter.remote() +
        " id=" + printable(supporter.requestedId()) + ": " + why);
    refuseSupporter(supporter, kUnavailable, kOfflineRetry);
}

std::vector<std::pair<std::string, std::string>> Hub::localAgents() const
{
    std::vector<std::pair<std::string, std::string>> online;
    for (const auto &[connection, weak] : agents) {
        const auto agent = weak.lock();
        if (!agent || agent->closing() || agent->sessionId().empty())
            continue;
        const SessionRegistry::Agent *entry = registry.find(agent->sessionId());
        if (entry && entry->connection == connection)
            online.emplace_back(agent->sessionId(), SessionTokens::fingerprint(entry->token));
    }
    return online;
}

void Hub::lostToCluster(const std::string &id)
{
    const SessionRegistry::Agent *entry = registry.find(id);
    if (!entry)
        return;
    const auto it = agents.find(entry->connection);
    if (const auto agent = it == agents.end() ? nullptr : it->second.lock()) {
        if (const auto session = agent->session())
            session->agentGone("the agent is held by another node", kReplaced);
        agent->closeBecause(kReplaced, "its ID is held by another node");
    }
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
    // A supporter that another node carries here is counted as itself, not as that node.
    if (auto client = cluster ? cluster->signedClientOf(request) : std::nullopt)
        return std::move(*client);
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
