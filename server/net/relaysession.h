// One supporter relayed to one agent: the two directions with their backpressure, the security
// handshake followed on the way, and the end of the session, which releases the agent.
#pragma once

#include "server/beast/beast.h"
#include "server/core/attemptguard.h"
#include "server/core/relaystate.h"
#include "server/core/rfbhandshake.h"
#include "server/core/serverconfig.h"
#include "server/core/sessionregistry.h"
#include "server/net/supportersession.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace velmora::server {

class AgentConnection;
class Counters;
class Guard;
class SupporterConnection;

/// Lifetime: shared by its two connections while it runs (see AgentConnection::session); it
/// refers to them weakly so that either may go first. Runs on the server's thread.
class RelaySession : public SupporterSession, public std::enable_shared_from_this<RelaySession>
{
public:
    /// What sessions share: owned by the hub, outliving every session.
    struct Context
    {
        const ServerConfig &config;
        SessionRegistry &registry;
        Guard &guard;
        Counters &counters;
    };

    /// A session of `supporter` with `agent` under `id`, which the registry has begun.
    RelaySession(net::io_context &io, Context context, std::string id,
                 const std::shared_ptr<AgentConnection> &agent,
                 const std::shared_ptr<SupporterConnection> &supporter);

    /// Joins both connections, sends the agent "start_session" and gives it the start timeout
    /// to answer with its first "rfb" envelope, and the supporter the password timeout to send
    /// its password response. Call once, right after construction.
    void start();

    /// An "rfb" payload from the agent, on its way to the supporter. False, doing nothing, when
    /// the session has no supporter.
    bool fromAgent(AgentConnection &sender, std::string payload);
    /// A binary message from the supporter, on its way to the agent.
    void fromSupporter(SupporterConnection &sender, std::string_view bytes) override;
    /// The agent's queue drained: the supporter may be read again, unless held bytes fill the
    /// hold.
    void agentDrained();
    /// The supporter's queue drained: the agent may be read again.
    void supporterDrained() override;

    /// The agent's connection ended or was replaced (`why`, for the log): ends the session and
    /// closes the supporter's connection with `reason`.
    void agentGone(const std::string &why, const CloseReason &reason);
    /// The supporter's connection ended (`why` as it gives it): ends the session and releases
    /// the agent.
    void supporterLeft(const std::string &why) override;

private:
    void onStartTimeout(const beast::error_code &ec);
    void onPasswordTimeout(const beast::error_code &ec);
    /// Ends the session once: the registry and both connections forget it, and a handshake
    /// without an outcome yet is concluded as refused (see AttemptGuard::handshakeEnded), the
    /// supporter's side having ended it or not.
    void end(const std::string &why, bool supporterEnded);
    /// Closes the agent's connection, the one way a session's end reaches the agent.
    void releaseAgent(const std::shared_ptr<AgentConnection> &liveAgent, const std::string &why);
    void forwardToSupporter(SupporterConnection &to, std::string bytes);
    /// Holds the bytes until the agent is ready, and stops reading `from` when the hold is full.
    void forwardToAgent(AgentConnection &to, SupporterConnection &from, std::string_view bytes);
    /// Acts on the outcome of the security handshake once it is known; `supporterEnded` when the
    /// supporter's bytes decided it.
    void settle(bool supporterEnded);
    /// Tells the guard how the handshake failed: a guess, which locks the ID, or none; logs the
    /// guard's verdict once it comes and hands it to `then`.
    void refused(bool supporterEnded,
                 std::function<void(const AttemptGuard::Verdict &)> then = nullptr);
    void concluded(const AttemptGuard::Verdict &verdict);
    void publishCounts();
    void log(const std::string &line);

    Context context;
    const std::string id;
    const std::weak_ptr<AgentConnection> agent;
    const std::weak_ptr<SupporterConnection> supporter;
    const std::string supporterAddress;
    /// Who the supporter is for the per-address limits (see clientKey).
    const std::string supporterClient;
    const ConnectionId supporterId;
    RelayState relay;
    /// Follows the VNC security handshake until the password is accepted or refused.
    RfbHandshake handshake;
    /// Runs until the agent's first "rfb" envelope.
    net::steady_timer startTimer;
    /// Runs until the supporter's password response: a silent supporter must not hold the ID.
    net::steady_timer passwordTimer;
    /// True once the handshake's outcome has been counted.
    bool settled = false;
    bool ended = false;
};

} // namespace velmora::server
