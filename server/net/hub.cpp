#include "server/net/hub.h"

#include "protocol/envelope.h"
#include "server/core/clientaddress.h"
#include "server/core/route.h"
#include "server/core/text.h"
#include "server/net/forwardedsession.h"
#include "server/net/relaysession.h"

#include <chrono>

namespace velmora::server {

namespace {

std::int64_t unixNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

beast::string_view toBeast(std::string_view text)
{
    return {text.data(), text.size()};
}

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
    if (config.options.redis)
        joinCluster(listener.plainPort() ? listener.plainPort() : port);
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
        auto supporter = std::make_shared<SupporterConnection>(
            *this, std::move(transport), id, remote, supporterLimits(config), route.id, client);
        if (signedClientOf(request))
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
    if (redis) {
        const RedisClient::Stats figures = redis->stats();
        ServerStats::Cluster cluster;
        cluster.enabled = true;
        cluster.redisConnected = figures.connected;
        cluster.directorySize = directory ? directory->size() : 0;
        cluster.redisCommands = figures.commands;
        cluster.redisErrors = figures.errors;
        cluster.redisLatencyUs = figures.lastLatencyUs;
        cluster.redisAverageLatencyUs = figures.averageLatencyUs;
        counters.cluster(cluster);
    }
}

void Hub::stopping()
{
    for (const auto &[id, weak] : agents) {
        if (const auto agent = weak.lock())
            agent->closeBecause(kShutdown, "server shutting down");
    }
    // Nothing of the cluster may keep the loop running. The directory's entries of this node
    // expire by themselves, and its agents take them over from other nodes before that.
    if (directory)
        directory->stop();
    if (redis)
        redis->stop();
}

void Hub::agentOpened(const std::shared_ptr<AgentConnection> &agent)
{
    if (listener.stopping()) {
        agent->close(kShutdown);
        return;
    }
    Identity who = identityOf(*agent);
    if (directory) {
        claim(agent, std::move(who));
        return;
    }
    if (who.id.empty())
        drawIdentity(who);
    welcome(agent, who);
}

Hub::Identity Hub::identityOf(const AgentConnection &agent) const
{
    Identity who;
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

void Hub::drawIdentity(Identity &who) const
{
    who.id = ids.next([this](std::string_view candidate) { return registry.isTaken(candidate); });
    who.token = tokens.issue(who.id);
}

void Hub::claim(const std::shared_ptr<AgentConnection> &agent, Identity who, unsigned tries)
{
    // Fresh IDs are almost never taken; a run of them means something else is wrong.
    constexpr unsigned kFreshTries = 8;
    const bool returning = !who.id.empty();
    if (!returning)
        drawIdentity(who);
    auto done = [this, weak = std::weak_ptr<AgentConnection>(agent), who,
                 tries](ClusterDirectory::Claim result) mutable {
        const auto agent = weak.lock();
        if (!agent || agent->closing()) {
            if (result == ClusterDirectory::Claim::Granted && directory)
                directory->left(who.id);
            return;
        }
        const bool returning = who.how.rfind("returning", 0) == 0;
        switch (result) {
        case ClusterDirectory::Claim::Granted:
            welcome(agent, who);
            return;
        case ClusterDirectory::Claim::Taken:
            if (returning) {
                who = Identity{};
                who.how = "new; the ID of its token is held by another agent";
            } else if (tries + 1 >= kFreshTries) {
                log("agent " + agent->remote() + " refused: no free ID after " +
                    std::to_string(kFreshTries) + " tries");
                agent->close(kUnavailable);
                return;
            } else {
                who.id.clear();
            }
            claim(agent, std::move(who), tries + 1);
            return;
        case ClusterDirectory::Claim::Unavailable:
            // An agent with its own ID keeps it, and the directory learns of it once Redis is
            // back; a new one cannot get an ID that is sure to be unique, and comes back in 4 s.
            if (returning) {
                welcome(agent, who);
                return;
            }
            log("agent " + agent->remote() + " refused: Redis is unavailable for a new ID");
            agent->close(kUnavailable);
            return;
        }
    };
    if (returning)
        directory->claimReturning(who.id, SessionTokens::fingerprint(who.token), std::move(done));
    else
        directory->claimNew(who.id, SessionTokens::fingerprint(who.token), std::move(done));
}

void Hub::welcome(const std::shared_ptr<AgentConnection> &agent, const Identity &who)
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
    if (directory && !registry.find(agent.sessionId()))
        directory->left(agent.sessionId());
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
    if (!sharedGuard) {
        if (const auto refusal = guard.admit(supporter->clientAddress(), id, Clock::now()))
            refuseSupporter(*supporter, refusal->reason, refusal->retryAfter);
        else
            connectSupporter(supporter);
        return;
    }
    if (supporter->cameFromNode())
        counters.forwardedIn();
    sharedGuard->admit(supporter->clientAddress(), id,
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
        if (!directory)
            ledNowhere(*supporter,
                       refusal == SessionRegistry::Refusal::Offline ? kOffline : kUnknownId);
        else if (supporter->cameFromNode())
            // The directory named this node a moment ago: the agent is on its way elsewhere.
            refuseSupporter(*supporter, kOffline, kOfflineRetry);
        else
            locate(supporter);
        return;
    }
    const RelaySession::Context context{config, registry, guard, counters, sharedGuard.get()};
    std::make_shared<RelaySession>(io, context, id, agent, supporter)->start();
    counters.sessionStarted();
    publishCounts();
    log("session start id=" + id + " supporter " + supporter->remote());
}

void Hub::locate(const std::shared_ptr<SupporterConnection> &supporter)
{
    directory->lookup(
        supporter->requestedId(), [this, weak = std::weak_ptr<SupporterConnection>(supporter)](
                                      ClusterDirectory::Location where) {
            const auto supporter = weak.lock();
            if (!supporter || supporter->closing())
                return;
            using Kind = ClusterDirectory::Location::Kind;
            if (where.kind == Kind::Unavailable)
                refuseUnavailable(*supporter, "the directory cannot be read");
            else if (where.kind == Kind::Node && where.node != directory->node())
                forward(supporter, where.node);
            else
                // An entry naming this node is stale: its agent left.
                ledNowhere(*supporter, where.kind == Kind::Unknown ? kUnknownId : kOffline);
        });
}

void Hub::forward(const std::shared_ptr<SupporterConnection> &supporter, const std::string &node)
{
    const std::string &id = supporter->requestedId();
    ForwardedSession::Settings settings;
    settings.node = node;
    settings.client = supporter->clientAddress();
    settings.signature = nodeAuth->sign(id, settings.client, unixNow());
    settings.maxMessage = 2 * config.options.maxMessage + 4096;
    settings.highWater = config.highWater;
    const std::string remote = supporter->remote();
    auto ended = [this, id, remote](const std::string &why) {
        log("forwarded session end id=" + id + " supporter " + remote + " (" + why + ")");
    };
    std::make_shared<ForwardedSession>(io, std::move(settings), id, supporter, std::move(ended))
        ->start();
    counters.forwardedOut();
    log("session forwarded id=" + id + " supporter " + remote + " to node " + node);
}

void Hub::ledNowhere(SupporterConnection &supporter, const CloseReason &reason)
{
    // An ID whose agent is away tells a prober as much as an unknown one.
    if (sharedGuard)
        sharedGuard->ledNowhere(supporter.clientAddress());
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

void Hub::joinCluster(std::uint16_t port)
{
    std::string node;
    if (config.options.nodeAddress)
        node = formatHostPort(config.options.nodeAddress->host, config.options.nodeAddress->port);
    else
        node = formatHostPort(config.options.plainListen ? config.options.plainListen->host
                                                         : config.options.listen.host,
                              port);
    nodeAuth.emplace(config.secret);
    redis = std::make_unique<RedisClient>(io, *config.options.redis, config.log);
    sharedGuard = std::make_unique<SharedGuard>(*redis, config.options.lockout,
                                                config.options.probes, "velmora:", config.log);
    ClusterDirectory::Settings settings;
    settings.node = node;
    // Entries outlive a few of the server's keepalive intervals.
    settings.refresh = std::max<std::chrono::milliseconds>(std::chrono::milliseconds(1000),
                                                           config.options.idleTimeout / 2);
    directory = std::make_unique<ClusterDirectory>(
        io, *redis, settings, [this] { return localAgents(); },
        [this](const std::string &id) { lostToCluster(id); });
    redis->start();
    log("cluster node " + node + " with Redis at " + config.options.redis->describe());
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

std::optional<std::string> Hub::signedClientOf(const Request &request) const
{
    if (!nodeAuth)
        return std::nullopt;
    const auto signature = request.find(toBeast(NodeAuth::kSignatureHeader));
    const auto client = request.find(toBeast(NodeAuth::kClientHeader));
    if (signature == request.end() || client == request.end())
        return std::nullopt;
    const Route route = routeRequest(toStd(request.target()), true);
    if (route.kind != Route::Kind::Viewer ||
        !nodeAuth->verify(route.id, toStd(client->value()), toStd(signature->value()), unixNow()))
        return std::nullopt;
    return std::string(toStd(client->value()));
}

std::string Hub::clientAddressOf(const tcp::socket &socket, const Request &request) const
{
    // A supporter that another node carries here is counted as itself, not as that node.
    if (auto client = signedClientOf(request))
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
