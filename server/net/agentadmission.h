// Who a new agent connection is and which ID it gets. A valid token brings its own ID back, but
// while the ID is held by a connection that still answers, a second connection with the same
// token is someone else (the token was copied): it gets a fresh ID and the holder is left alone.
// Only a holder that stays silent for kAnswerWait (a link that went half-open) gives the ID up.
// A node of a cluster asks the node that holds the ID the same question (answers()).
// Runs on the server's thread.
#pragma once

#include "server/beast/beast.h"
#include "server/core/agentidentity.h"
#include "server/core/connectioncounts.h"
#include "server/core/failurelog.h"
#include "server/core/logsink.h"
#include "server/core/sessionregistry.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace velmora::server {

class AgentConnection;
class AgentDirectory;
class AgentRoster;
class Counters;
class Guard;

class AgentAdmission
{
public:
    /// How long the connection that holds an ID has to show it is alive (its pong, or anything
    /// else it sends) before a connection with its token takes the ID.
    static constexpr std::chrono::milliseconds kAnswerWait{2000};
    /// How a connection that presented a valid token is logged when the holder answered.
    static constexpr const char *kHeldByLiveAgent =
        "new; the ID of its token is held by a connected agent";

    /// Everything given must outlive the admission.
    AgentAdmission(net::io_context &io, AgentRoster &roster, AgentDirectory &directory,
                   Guard &guard, Counters &counters, FailureLog &failures, LogSink log);

    /// The agent's WebSocket has opened: decides its ID and welcomes it, or closes it (see
    /// AgentDirectory::claim), later.
    void opened(const std::shared_ptr<AgentConnection> &agent);

    /// Whether the agent that holds `id` on this node shows it is alive within kAnswerWait;
    /// false at once (on the next turn) when no connection here holds it. `done` is called once,
    /// later.
    void answers(const std::string &id, std::function<void(bool alive)> done);

private:
    /// Asks the holder of a returning agent's ID, unless it is `silent` (it failed to answer).
    void admit(const std::shared_ptr<AgentConnection> &agent, AgentIdentity who,
               ConnectionId silent);
    /// A new ID is paid from its address's budget (Guard::newId) before it is claimed.
    void claim(const std::shared_ptr<AgentConnection> &agent, AgentIdentity who,
               ConnectionId silent);
    void claimPaid(const std::shared_ptr<AgentConnection> &agent, AgentIdentity who,
                   ConnectionId silent);
    void check(const std::shared_ptr<AgentConnection> &holder, std::function<void(bool)> done);

    net::io_context &io;
    AgentRoster &roster;
    AgentDirectory &directory;
    Guard &guard;
    Counters &counters;
    FailureLog &failures;
    LogSink log;
    /// Agents refused a new ID, said once per interval: an agent that loops would otherwise
    /// write a line per connection.
    ThrottledLog newIdLog;
};

} // namespace velmora::server
