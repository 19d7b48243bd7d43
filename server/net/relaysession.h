// One supporter relayed to one agent.
#pragma once

#include "server/beast/beast.h"
#include "server/core/relaystate.h"
#include "server/core/rfbhandshake.h"
#include "server/core/sessionregistry.h"

#include <memory>
#include <string>

namespace velmora::server {

class AgentConnection;
class SupporterConnection;

/// Shared by the two connections while the session runs; refers to them weakly so that either
/// may go first.
struct RelaySession
{
    RelaySession(net::io_context &io, std::string id, std::size_t holdLimit)
        : id(std::move(id)), relay(holdLimit, RelayState::Clock::now()), startTimer(io)
    {}

    const std::string id;
    std::weak_ptr<AgentConnection> agent;
    std::weak_ptr<SupporterConnection> supporter;
    std::string supporterAddress;
    ConnectionId supporterConnection = 0;
    RelayState relay;
    /// Follows the VNC security handshake until the password is accepted or refused.
    RfbHandshake handshake;
    /// The supporter's address as the limits see it.
    std::string clientAddress;
    /// True once the handshake's outcome has been counted.
    bool settled = false;
    /// Runs until the agent's first "rfb" envelope.
    net::steady_timer startTimer;
    bool ended = false;
};

} // namespace velmora::server
