// Whether a new supporter may start a session, and where: the guard first, then the ID's agent
// here (a RelaySession), or the directory's word on where it is (carried to its node, or refused
// with the close reason that says why). Runs on the server's thread.
#pragma once

#include "server/beast/beast.h"
#include "server/core/closereasons.h"
#include "server/core/failurelog.h"
#include "server/core/serverconfig.h"
#include "server/core/sessionregistry.h"

#include <chrono>
#include <memory>
#include <string>

namespace velmora::server {

class AgentDirectory;
class AgentRoster;
class Counters;
class Guard;
class SupporterConnection;

class SupporterAdmission
{
public:
    /// Everything given must outlive the admission and the sessions it starts.
    SupporterAdmission(net::io_context &io, const ServerConfig &config, SessionRegistry &registry,
                       Counters &counters, FailureLog &failures, const AgentRoster &roster,
                       Guard &guard, AgentDirectory &directory);

    /// The supporter's WebSocket has opened: asks the guard, then starts its session or refuses
    /// it, now or later.
    void opened(const std::shared_ptr<SupporterConnection> &supporter);

private:
    /// Asks the guard whether the supporter may try its ID now.
    void admit(const std::shared_ptr<SupporterConnection> &supporter);
    /// The supporter passed the guard: a session with the ID's agent here, or on its node.
    void connect(const std::shared_ptr<SupporterConnection> &supporter);
    /// The requested well-formed ID led nowhere.
    void ledNowhere(SupporterConnection &supporter, const CloseReason &reason, bool probe);
    void refuseUnavailable(SupporterConnection &supporter, const std::string &why);
    void refuse(SupporterConnection &supporter, const CloseReason &reason,
                std::chrono::milliseconds retryAfter = std::chrono::milliseconds(0));
    /// Counts the refusal and closes with `reason`, without a word in the log.
    void turnAway(SupporterConnection &supporter, const CloseReason &reason,
                  std::chrono::milliseconds retryAfter);
    void log(const std::string &line) const { config.log(line); }

    net::io_context &io;
    const ServerConfig &config;
    SessionRegistry &registry;
    Counters &counters;
    FailureLog &failures;
    const AgentRoster &roster;
    Guard &guard;
    AgentDirectory &directory;
};

} // namespace velmora::server
