// The server's state and its reactions to every connection event; runs on one thread.
#pragma once

#include "server/beast/beast.h"
#include "server/core/httphandler.h"
#include "server/core/lockouts.h"
#include "server/core/probelimiter.h"
#include "server/core/rfbhandshake.h"
#include "server/core/sessionids.h"
#include "server/core/sessionregistry.h"
#include "server/core/sessiontokens.h"
#include "server/net/server.h"
#include "server/net/wsconnection.h"

#include <boost/asio/signal_set.hpp>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace velmora::server {

class AgentConnection;
class HttpSession;
class SupporterConnection;
class WsConnection;
struct RelaySession;

class Hub
{
public:
    explicit Hub(ServerConfig config);
    ~Hub();

    std::uint16_t listen();
    void run();
    void stop();
    ServerStats stats() const;

    // From HttpSession.
    void upgrade(tcp::socket socket, Request request, const std::string &remote);
    HttpResponse answer(const HttpRequest &request);
    void httpSessionEnded(ConnectionId id);
    std::chrono::milliseconds requestTimeout() const;
    void log(const std::string &line);

    // From AgentConnection.
    void agentOpened(const std::shared_ptr<AgentConnection> &agent);
    void agentMessage(AgentConnection &agent, bool binary, std::string_view data);
    void agentDrained(AgentConnection &agent);
    void agentClosed(AgentConnection &agent, const std::string &why);

    // From SupporterConnection.
    void supporterOpened(const std::shared_ptr<SupporterConnection> &supporter);
    void supporterMessage(SupporterConnection &supporter, bool binary, std::string_view data);
    void supporterDrained(SupporterConnection &supporter);
    void supporterClosed(SupporterConnection &supporter, const std::string &why);

    void handshakeFailed(WsConnection &connection, const char *role, const std::string &why);

private:
    void doAccept();
    void sweep();
    void beginStop();
    void connectionEnded(ConnectionId id);
    void endSession(RelaySession &session, const std::string &why);
    void startTimedOut(const std::shared_ptr<RelaySession> &session);
    void noteQueued(std::size_t bytes);
    void publishCounts();
    ConnectionLimits agentLimits() const;
    ConnectionLimits supporterLimits() const;
    void refuseSupporter(SupporterConnection &supporter, const CloseReason &reason,
                         std::chrono::milliseconds retryAfter = std::chrono::milliseconds(0));
    /// Sends handshake output on: bytes from the VNC server to the supporter, bytes from the
    /// supporter to the agent.
    void forwardToSupporter(SupporterConnection &supporter, std::string bytes);
    void forwardToAgent(RelaySession &session, AgentConnection &agent,
                        SupporterConnection &supporter, std::string_view bytes);
    /// Acts on the outcome of a session's security handshake once it is known.
    void handshakeSettled(RelaySession &session);
    /// Counts a refused attempt on the session's ID and locks the ID; returns the lock.
    std::chrono::milliseconds attemptRefused(RelaySession &session);
    void countRefusal(std::string_view reason);
    void countHandshake(const std::string &outcome);
    std::string clientAddressOf(const tcp::socket &socket, const Request &request) const;

    ServerConfig config;
    net::io_context io;
    tcp::acceptor acceptor;
    net::signal_set signals;
    net::steady_timer sweepTimer;
    net::steady_timer retryTimer;
    net::steady_timer graceTimer;
    SessionRegistry registry;
    SessionTokens tokens;
    SessionIdGenerator ids;
    Lockouts lockouts;
    ProbeLimiter probes;
    /// The server's own handlers, tried after the configured ones.
    std::vector<HttpHandler> ownHandlers;
    ConnectionId nextConnection = 1;
    bool stopping = false;
    std::string listenText;

    // Owns every WebSocket connection until it has closed: a connection whose reading is paused
    // and whose queue is empty has no pending operation that would keep it alive.
    std::unordered_map<ConnectionId, std::shared_ptr<WsConnection>> connections;
    std::unordered_map<ConnectionId, std::weak_ptr<AgentConnection>> agents;
    std::unordered_map<ConnectionId, std::weak_ptr<HttpSession>> httpSessions;

    struct Counters
    {
        std::atomic<std::uint64_t> agentsOnline{0};
        std::atomic<std::uint64_t> sessionsActive{0};
        std::atomic<std::uint64_t> sessionsStarted{0};
        std::atomic<std::uint64_t> bytesToAgents{0};
        std::atomic<std::uint64_t> bytesToSupporters{0};
        std::atomic<std::uint64_t> peakQueuedBytes{0};
        std::atomic<std::uint64_t> connectionsAccepted{0};
        std::atomic<std::uint64_t> backpressurePauses{0};
        // Rare events, read by stats() from other threads.
        mutable std::mutex mutex;
        std::map<std::string, std::uint64_t> refusals;
        std::map<std::string, std::uint64_t> handshakes;
        std::uint64_t lockouts = 0;
    } counters;
};

} // namespace velmora::server
