#include "server/net/hub.h"

#include "protocol/envelope.h"
#include "server/core/agentmessage.h"
#include "server/core/clientaddress.h"
#include "server/core/metrics.h"
#include "server/core/route.h"
#include "server/core/staticfiles.h"
#include "server/net/agentconnection.h"
#include "server/net/httpsession.h"
#include "server/net/relaysession.h"
#include "server/net/supporterconnection.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace velmora::server {

namespace {

// Only the first few dropped messages of a connection are logged, so that a misbehaving peer
// cannot flood the log.
constexpr unsigned kLoggedDrops = 5;

// For the log: a requested ID as sent, but short and printable.
std::string printable(std::string_view text)
{
    std::string out;
    for (const char c : text.substr(0, 32))
        out.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    if (text.size() > 32)
        out += "...";
    return out;
}

template <typename Duration> std::chrono::milliseconds roundUpMs(Duration duration)
{
    return std::chrono::ceil<std::chrono::milliseconds>(duration);
}

std::string seconds(std::chrono::milliseconds duration)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", std::chrono::duration<double>(duration).count());
    return text;
}

} // namespace

Hub::Hub(ServerConfig configuration)
    : config(std::move(configuration)), acceptor(io), signals(io), sweepTimer(io), retryTimer(io),
      graceTimer(io), tokens(config.secret), lockouts(config.options.lockout),
      probes(config.options.probes)
{
    ownHandlers.push_back([this](const HttpRequest &request) -> std::optional<HttpResponse> {
        if (request.path != "/metrics")
            return std::nullopt;
        if (request.method != "GET" && request.method != "HEAD") {
            HttpResponse answer = plainAnswer(405, "Method not allowed");
            answer.headers.emplace_back("Allow", "GET, HEAD");
            return answer;
        }
        HttpResponse answer;
        answer.contentType = kMetricsContentType;
        answer.body = prometheusText(stats());
        answer.headers.emplace_back("Cache-Control", "no-store");
        answer.headers.emplace_back("X-Content-Type-Options", "nosniff");
        return answer;
    });
    if (!config.options.novncDir.empty())
        ownHandlers.push_back(StaticFiles("/novnc/", config.options.novncDir));
    if (!config.options.webDir.empty())
        ownHandlers.push_back(StaticFiles("/", config.options.webDir));
}

Hub::~Hub() = default;

ConnectionLimits Hub::agentLimits() const
{
    ConnectionLimits limits = supporterLimits();
    // An agent's envelope carries a frame in Base64 plus its members; allow some extra
    // members and white space on top.
    limits.maxMessage = envelope::rfbEnvelopeSize(config.options.maxMessage) + 4096;
    return limits;
}

ConnectionLimits Hub::supporterLimits() const
{
    ConnectionLimits limits;
    limits.maxMessage = config.options.maxMessage;
    limits.highWater = config.highWater;
    limits.idleTimeout = config.options.idleTimeout;
    limits.handshakeTimeout = requestTimeout();
    return limits;
}

std::chrono::milliseconds Hub::requestTimeout() const
{
    using std::chrono::milliseconds;
    return std::clamp(config.options.idleTimeout, milliseconds(1000), milliseconds(10000));
}

void Hub::log(const std::string &line)
{
    if (config.log)
        config.log(line);
}

std::uint16_t Hub::listen()
{
    const HostPort &where = config.options.listen;
    beast::error_code ec;
    tcp::endpoint endpoint;
    const auto address = net::ip::make_address(where.host, ec);
    if (!ec) {
        endpoint = tcp::endpoint(address, where.port);
    } else {
        tcp::resolver resolver(io);
        const auto results = resolver.resolve(where.host, std::to_string(where.port), ec);
        if (ec || results.empty())
            throw std::runtime_error("cannot resolve " + where.host + ": " + ec.message());
        endpoint = *results.begin();
    }
    const std::uint16_t port = listenAt(acceptor, endpoint);
    listenText = formatHostPort(endpoint.address().to_string(), port);
    log("listening on " + listenText);
    for (const auto &[what, folder, probe] :
         {std::tuple{"the supporter's page", config.options.webDir, "index.html"},
          std::tuple{"noVNC", config.options.novncDir, "core/rfb.js"}}) {
        if (folder.empty())
            continue;
        std::error_code missing;
        if (std::filesystem::exists(std::filesystem::path(folder) / probe, missing))
            log(std::string("serving ") + what + " from " + folder);
        else
            log(std::string("warning: not serving ") + what + ": " + folder + " has no " + probe);
    }

    doAccept();
    sweep();
    if (config.handleSignals) {
        signals.add(SIGTERM);
        signals.add(SIGINT);
        signals.async_wait([this](const beast::error_code &error, int signal) {
            if (error)
                return;
            log(std::string("received ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT"));
            beginStop();
        });
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
    net::post(io, [this] { beginStop(); });
}

ServerStats Hub::stats() const
{
    ServerStats s;
    s.agentsOnline = counters.agentsOnline;
    s.sessionsActive = counters.sessionsActive;
    s.sessionsStarted = counters.sessionsStarted;
    s.bytesToAgents = counters.bytesToAgents;
    s.bytesToSupporters = counters.bytesToSupporters;
    s.peakQueuedBytes = counters.peakQueuedBytes;
    s.connectionsAccepted = counters.connectionsAccepted;
    s.backpressurePauses = counters.backpressurePauses;
    std::lock_guard<std::mutex> lock(counters.mutex);
    s.refusals = counters.refusals;
    s.handshakes = counters.handshakes;
    s.lockouts = counters.lockouts;
    return s;
}

void Hub::doAccept()
{
    acceptor.async_accept([this](const beast::error_code &ec, tcp::socket socket) {
        if (stopping || ec == net::error::operation_aborted)
            return;
        if (ec) {
            // Typically out of file descriptors: try again shortly instead of spinning.
            log("accept failed: " + ec.message());
            retryTimer.expires_after(std::chrono::milliseconds(100));
            retryTimer.async_wait([this](const beast::error_code &error) {
                if (!error && !stopping)
                    doAccept();
            });
            return;
        }
        beast::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        ++counters.connectionsAccepted;
        const ConnectionId id = nextConnection++;
        const std::string remote = remoteAddress(socket);
        auto session = std::make_shared<HttpSession>(*this, std::move(socket), id, remote);
        httpSessions[id] = session;
        session->start();
        doAccept();
    });
}

void Hub::sweep()
{
    const auto now = WsConnection::Clock::now();
    lockouts.forgetIdle(now);
    probes.forgetIdle(now);
    for (const auto &[id, connection] : connections) {
        if (connection->stalled(now)) {
            log("dropping " + connection->remote() + ": a write made no progress for " +
                seconds(config.options.idleTimeout) + " s");
            connection->abort();
        }
    }
    using std::chrono::milliseconds;
    sweepTimer.expires_after(
        std::clamp(config.options.idleTimeout / 4, milliseconds(50), milliseconds(5000)));
    sweepTimer.async_wait([this](const beast::error_code &ec) {
        if (!ec && !stopping)
            sweep();
    });
}

void Hub::beginStop()
{
    if (stopping)
        return;
    stopping = true;
    log("shutting down");
    beast::error_code ignored;
    acceptor.close(ignored);
    signals.cancel(ignored);
    sweepTimer.cancel();
    retryTimer.cancel();
    for (const auto &[id, weak] : agents) {
        if (const auto agent = weak.lock())
            agent->closedBecause = "server shutting down";
    }
    const auto open = connections;
    for (const auto &[id, connection] : open)
        connection->close(kShutdown);
    const auto sessions = httpSessions;
    for (const auto &[id, weak] : sessions) {
        if (const auto session = weak.lock())
            session->abort();
    }
    if (connections.empty() && httpSessions.empty())
        return;
    graceTimer.expires_after(config.shutdownGrace);
    graceTimer.async_wait([this](const beast::error_code &ec) {
        if (ec)
            return;
        log("dropping " + std::to_string(connections.size() + httpSessions.size()) +
            " connections that did not close in time");
        io.stop();
    });
}

void Hub::connectionEnded(ConnectionId id)
{
    connections.erase(id);
    if (stopping && connections.empty() && httpSessions.empty())
        graceTimer.cancel();
}

void Hub::httpSessionEnded(ConnectionId id)
{
    httpSessions.erase(id);
    if (stopping && connections.empty() && httpSessions.empty())
        graceTimer.cancel();
}

HttpResponse Hub::answer(const HttpRequest &request)
{
    for (const auto *handlers : {&config.httpHandlers, &ownHandlers}) {
        for (const HttpHandler &handler : *handlers) {
            try {
                if (auto response = handler(request))
                    return *response;
            } catch (const std::exception &error) {
                log("HTTP handler failed for " + printable(request.target) + ": " + error.what());
                HttpResponse response;
                response.status = 500;
                response.body = "Internal server error\n";
                return response;
            }
        }
    }
    return notFound();
}

void Hub::upgrade(tcp::socket socket, Request request, const std::string &remote)
{
    const Route route = routeRequest(toStd(request.target()), true);
    const ConnectionId id = nextConnection++;
    std::shared_ptr<WsConnection> connection;
    if (route.kind == Route::Kind::Agent) {
        std::string token;
        const auto cookies = request.equal_range(http::field::cookie);
        for (auto it = cookies.first; it != cookies.second && token.empty(); ++it) {
            if (const auto value = cookieValue(toStd(it->value()), kSessionCookie))
                token = std::string(*value);
        }
        connection = std::make_shared<AgentConnection>(*this, std::move(socket), id, remote,
                                                       agentLimits(), std::move(token));
    } else {
        std::string client = clientAddressOf(socket, request);
        connection = std::make_shared<SupporterConnection>(
            *this, std::move(socket), id, remote, supporterLimits(), route.id, std::move(client));
    }
    connections[id] = connection;
    connection->start(std::move(request));
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

void Hub::handshakeFailed(WsConnection &connection, const char *role, const std::string &why)
{
    connectionEnded(connection.id());
    log(std::string("WebSocket handshake with ") + role + " " + connection.remote() +
        " failed: " + why);
}

void Hub::noteQueued(std::size_t bytes)
{
    std::uint64_t peak = counters.peakQueuedBytes;
    while (bytes > peak && !counters.peakQueuedBytes.compare_exchange_weak(peak, bytes)) {
    }
}

void Hub::publishCounts()
{
    counters.agentsOnline = registry.onlineCount();
    counters.sessionsActive = registry.sessionCount();
}

void Hub::agentOpened(const std::shared_ptr<AgentConnection> &agent)
{
    if (stopping) {
        agent->close(kShutdown);
        return;
    }
    const auto now = SessionRegistry::Clock::now();
    std::string id;
    std::string token;
    std::string how = "new";
    if (!agent->presentedToken.empty()) {
        const auto owned = tokens.verify(agent->presentedToken);
        if (!owned) {
            how = "new; it presented an invalid session token";
        } else if (registry.heldByOtherToken(*owned, agent->presentedToken)) {
            how = "new; the ID of its token is held by another agent";
        } else {
            id = *owned;
            token = agent->presentedToken;
            how = "returning";
        }
    }
    if (id.empty()) {
        id = ids.next([this](std::string_view candidate) { return registry.isTaken(candidate); });
        token = tokens.issue(id);
    }
    agent->sessionId = id;
    agent->sessionToken = token;
    const auto replaced = registry.agentOnline(id, token, agent->id(), now);
    agents[agent->id()] = agent;
    if (replaced) {
        const auto it = agents.find(*replaced);
        if (const auto old = it == agents.end() ? nullptr : it->second.lock()) {
            old->closedBecause = "replaced by a new connection";
            if (const auto session = old->session) {
                const auto supporter = session->supporter.lock();
                endSession(*session, "the agent reconnected");
                if (supporter)
                    supporter->close(kReplaced);
            }
            old->close(kReplaced);
        }
        how = "returning; replaces its previous connection";
    }
    agent->send(envelope::connectionInfoEnvelope(id, token));
    log("agent online id=" + id + " from " + agent->remote() + " (" + how + ")");
    publishCounts();
}

void Hub::agentMessage(AgentConnection &agent, bool binary, std::string_view data)
{
    AgentMessage message = decodeAgentMessage(data, binary);
    const auto session = agent.session;
    const auto supporter = session ? session->supporter.lock() : nullptr;
    std::string problem;
    if (message.kind != AgentMessage::Kind::Rfb)
        problem = std::string(describe(message.kind)) +
                  (message.action.empty() ? "" : " '" + printable(message.action) + "'");
    else if (!supporter)
        problem = "rfb outside a session";
    if (!problem.empty()) {
        if (++agent.dropped <= kLoggedDrops) {
            log("dropped a message from agent id=" + agent.sessionId + ": " + problem +
                (agent.dropped == kLoggedDrops ? " (further drops are not logged)" : ""));
        }
        return;
    }
    const bool first = session->relay.waitingForAgent();
    RfbHandshake::Forward handshake;
    if (session->handshake.succeeded()) {
        handshake.toSupporter = std::move(message.bytes);
    } else if (session->handshake.following()) {
        handshake = session->handshake.fromServer(message.bytes);
    }
    const std::size_t size = handshake.toSupporter.size();
    auto released = session->relay.fromAgent(size);
    if (size > 0 || session->handshake.succeeded()) {
        supporter->send(std::move(handshake.toSupporter));
        counters.bytesToSupporters += size;
        noteQueued(supporter->queuedBytes());
    }
    if (first) {
        session->startTimer.cancel();
        for (std::string &held : released)
            agent.send(std::move(held));
        counters.bytesToAgents += session->relay.bytesToAgent();
        noteQueued(agent.queuedBytes());
        if (!agent.aboveHighWater())
            supporter->resumeReading();
    }
    if (!handshake.toServer.empty())
        forwardToAgent(*session, agent, *supporter, handshake.toServer);
    if (supporter->aboveHighWater() && !agent.readingPaused()) {
        ++counters.backpressurePauses;
        agent.pauseReading();
    }
    if (!session->handshake.following() && !session->settled)
        handshakeSettled(*session);
}

void Hub::agentDrained(AgentConnection &agent)
{
    const auto session = agent.session;
    const auto supporter = session ? session->supporter.lock() : nullptr;
    if (supporter && !(session->relay.waitingForAgent() && session->relay.holdFull()))
        supporter->resumeReading();
}

void Hub::agentClosed(AgentConnection &agent, const std::string &why)
{
    agents.erase(agent.id());
    connectionEnded(agent.id());
    if (agent.sessionId.empty())
        return;
    registry.agentOffline(agent.sessionId, agent.id(), SessionRegistry::Clock::now());
    log("agent offline id=" + agent.sessionId + " from " + agent.remote() + " (" +
        (agent.closedBecause.empty() ? why : agent.closedBecause) + ")");
    if (const auto session = agent.session) {
        const auto supporter = session->supporter.lock();
        endSession(*session, "the agent left");
        if (supporter)
            supporter->close(kAgentGone);
    }
    publishCounts();
}

void Hub::supporterOpened(const std::shared_ptr<SupporterConnection> &supporter)
{
    if (stopping) {
        supporter->close(kShutdown);
        return;
    }
    const auto now = SessionRegistry::Clock::now();
    const std::string &id = supporter->requestedId;
    // First, before anything about the ID is looked at: an address that used up its probes is
    // told only that, whatever it asks for.
    if (const auto wait = probes.waitFor(supporter->clientAddress, now); wait.count() > 0) {
        refuseSupporter(*supporter, kTooManyAttempts, roundUpMs(wait));
        return;
    }
    if (!isSessionId(id)) {
        probes.probed(supporter->clientAddress, now);
        refuseSupporter(*supporter, kInvalidId);
        return;
    }
    if (const auto wait = lockouts.lockedFor(id, now); wait.count() > 0) {
        refuseSupporter(*supporter, kLocked, roundUpMs(wait));
        return;
    }
    auto refusal = registry.beginSession(id, supporter->id(), now);
    std::shared_ptr<AgentConnection> agent;
    if (refusal == SessionRegistry::Refusal::None) {
        const auto it = agents.find(registry.find(id)->connection);
        agent = it == agents.end() ? nullptr : it->second.lock();
        if (!agent || agent->closing()) {
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
        probes.probed(supporter->clientAddress, now);
        if (refusal == SessionRegistry::Refusal::Offline)
            refuseSupporter(*supporter, kOffline, kOfflineRetry);
        else
            refuseSupporter(*supporter, kUnknownId);
        return;
    }
    auto session = std::make_shared<RelaySession>(io, id, config.holdLimit);
    session->agent = agent;
    session->supporter = supporter;
    session->supporterAddress = supporter->remote();
    session->supporterConnection = supporter->id();
    session->clientAddress = supporter->clientAddress;
    if (!config.followSecurityHandshake) {
        session->handshake.passThrough();
        session->settled = true;
    }
    agent->session = session;
    supporter->session = session;
    agent->send(envelope::startSessionEnvelope());
    session->startTimer.expires_after(config.options.startTimeout);
    session->startTimer.async_wait(
        [this, weak = std::weak_ptr<RelaySession>(session)](const beast::error_code &ec) {
            if (ec)
                return;
            if (const auto timedOut = weak.lock())
                startTimedOut(timedOut);
        });
    ++counters.sessionsStarted;
    publishCounts();
    log("session start id=" + id + " supporter " + supporter->remote());
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
    log("refused supporter " + supporter.remote() + " for id=" + printable(supporter.requestedId) +
        ": " + std::string(reason.text) + note);
    countRefusal(reason.text);
    supporter.close(reason.code, std::move(text));
}

void Hub::countRefusal(std::string_view reason)
{
    std::lock_guard<std::mutex> lock(counters.mutex);
    ++counters.refusals[std::string(reason)];
}

void Hub::countHandshake(const std::string &outcome)
{
    std::lock_guard<std::mutex> lock(counters.mutex);
    ++counters.handshakes[outcome];
}

void Hub::forwardToSupporter(SupporterConnection &supporter, std::string bytes)
{
    const std::size_t size = bytes.size();
    supporter.send(std::move(bytes));
    counters.bytesToSupporters += size;
    noteQueued(supporter.queuedBytes());
}

void Hub::forwardToAgent(RelaySession &session, AgentConnection &agent,
                         SupporterConnection &supporter, std::string_view bytes)
{
    if (auto envelope = session.relay.fromSupporter(bytes)) {
        agent.send(std::move(*envelope));
        counters.bytesToAgents += bytes.size();
        noteQueued(agent.queuedBytes());
    } else if (session.relay.holdFull()) {
        supporter.pauseReading();
    }
}

std::chrono::milliseconds Hub::attemptRefused(RelaySession &session)
{
    session.settled = true;
    const auto now = SessionRegistry::Clock::now();
    const auto lock = roundUpMs(lockouts.refused(session.id, now));
    const char *why = describe(session.handshake.refusal());
    countHandshake(why);
    {
        std::lock_guard<std::mutex> guard(counters.mutex);
        ++counters.lockouts;
    }
    log("attempt refused id=" + session.id + " supporter " + session.supporterAddress + ": " + why +
        (session.handshake.serverReason().empty()
             ? std::string()
             : " '" + printable(session.handshake.serverReason()) + "'") +
        "; " + std::to_string(lockouts.refusals(session.id)) + " refused in a row, id locked for " +
        seconds(lock) + " s");
    return lock;
}

void Hub::handshakeSettled(RelaySession &session)
{
    if (session.settled)
        return;
    if (session.handshake.succeeded()) {
        session.settled = true;
        lockouts.succeeded(session.id);
        countHandshake("success");
        log("password accepted id=" + session.id + " supporter " + session.supporterAddress +
            " (RFB 3." + std::to_string(session.handshake.minorVersion()) + ")");
        return;
    }
    const auto lock = attemptRefused(session);
    CloseReason reason = kUnsupportedSecurity;
    switch (session.handshake.refusal()) {
    case RfbHandshake::Refusal::WrongPassword:
        reason = kWrongPassword;
        break;
    case RfbHandshake::Refusal::ServerFailure:
        reason = kDesktopRefused;
        break;
    default:
        break;
    }
    if (const auto supporter = session.supporter.lock()) {
        countRefusal(reason.text);
        // Queued after what was relayed, so the viewer sees the VNC server's answer first.
        supporter->close(reason.code, withRetryAfter(reason, lock));
    }
}

void Hub::supporterMessage(SupporterConnection &supporter, bool binary, std::string_view data)
{
    if (!binary) {
        if (++supporter.dropped <= kLoggedDrops)
            log("dropped a text message from supporter " + supporter.remote());
        return;
    }
    const auto session = supporter.session;
    const auto agent = session ? session->agent.lock() : nullptr;
    if (!agent)
        return;
    if (session->handshake.succeeded()) {
        forwardToAgent(*session, *agent, supporter, data);
    } else if (session->handshake.following()) {
        RfbHandshake::Forward handshake = session->handshake.fromClient(data);
        if (!handshake.toSupporter.empty())
            forwardToSupporter(supporter, std::move(handshake.toSupporter));
        if (!handshake.toServer.empty())
            forwardToAgent(*session, *agent, supporter, handshake.toServer);
        if (!session->handshake.following())
            handshakeSettled(*session);
    }
    if (agent->aboveHighWater() && !supporter.readingPaused()) {
        ++counters.backpressurePauses;
        supporter.pauseReading();
    }
}

void Hub::supporterDrained(SupporterConnection &supporter)
{
    const auto session = supporter.session;
    if (const auto agent = session ? session->agent.lock() : nullptr)
        agent->resumeReading();
}

void Hub::supporterClosed(SupporterConnection &supporter, const std::string &why)
{
    connectionEnded(supporter.id());
    const auto session = supporter.session;
    if (!session)
        return;
    const auto agent = session->agent.lock();
    endSession(*session, "the supporter left: " + why);
    // The protocol has no message that ends a session: the agent's connection is closed and the
    // agent comes back with its token, ready for the next one.
    if (agent && !agent->closing()) {
        agent->closedBecause = "its session ended";
        registry.agentOffline(agent->sessionId, agent->id(), SessionRegistry::Clock::now());
        agent->close(kSessionEnded);
    }
    publishCounts();
}

void Hub::startTimedOut(const std::shared_ptr<RelaySession> &session)
{
    if (session->ended || !session->relay.waitingForAgent())
        return;
    const auto agent = session->agent.lock();
    const auto supporter = session->supporter.lock();
    endSession(*session,
               "the agent did not answer within " + seconds(config.options.startTimeout) + " s");
    if (supporter) {
        countRefusal(kAgentTimeout.text);
        const auto wait = lockouts.lockedFor(session->id, SessionRegistry::Clock::now());
        supporter->close(kAgentTimeout.code, withRetryAfter(kAgentTimeout, roundUpMs(wait)));
    }
    if (agent && !agent->closing()) {
        agent->closedBecause = "it did not answer the session start";
        registry.agentOffline(agent->sessionId, agent->id(), SessionRegistry::Clock::now());
        agent->close(kSessionEnded);
    }
    publishCounts();
}

void Hub::endSession(RelaySession &session, const std::string &why)
{
    if (session.ended)
        return;
    session.ended = true;
    session.startTimer.cancel();
    const auto agent = session.agent.lock();
    const auto supporter = session.supporter.lock();
    registry.endSession(session.id, session.supporterConnection);
    log("session end id=" + session.id + " supporter " + session.supporterAddress + ": " +
        session.relay.summary(RelayState::Clock::now()) + " (" + why + ")");
    // A session that ends before the VNC server accepted the password was a refused attempt,
    // whoever ended it: otherwise a guesser could leave right after sending a response.
    if (!session.settled) {
        session.handshake.closed();
        attemptRefused(session);
    }
    if (agent)
        agent->session.reset();
    if (supporter)
        supporter->session.reset();
    publishCounts();
}

} // namespace velmora::server
