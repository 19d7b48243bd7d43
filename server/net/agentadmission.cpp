#include "server/net/agentadmission.h"

#include "server/net/agentconnection.h"
#include "server/net/agentdirectory.h"
#include "server/net/agentroster.h"
#include "server/net/guard.h"

#include "server/core/closereasons.h"
#include "server/core/counters.h"

#include <boost/asio/post.hpp>

namespace velmora::server {

namespace {

// One check's outcome, decided once by whichever comes first: the holder's sign of life, its
// end, or the timer.
struct PendingCheck
{
    explicit PendingCheck(net::io_context &io, std::function<void(bool)> done)
        : timer(io), done(std::move(done))
    {}

    void decide(bool alive)
    {
        if (!done)
            return;
        auto answer = std::move(done);
        done = nullptr;
        timer.cancel();
        answer(alive);
    }

    net::steady_timer timer;
    std::function<void(bool)> done;
};

} // namespace

AgentAdmission::AgentAdmission(net::io_context &io, AgentRoster &roster, AgentDirectory &directory,
                               Guard &guard, Counters &counters, FailureLog &failures, LogSink log)
    : io(io), roster(roster), directory(directory), guard(guard), counters(counters),
      failures(failures), log(std::move(log))
{}

void AgentAdmission::opened(const std::shared_ptr<AgentConnection> &agent)
{
    admit(agent, roster.identify(*agent), 0);
}

void AgentAdmission::answers(const std::string &id, std::function<void(bool)> done)
{
    if (const auto holder = roster.withId(id)) {
        check(holder, std::move(done));
        return;
    }
    net::post(io, [done = std::move(done)] { done(false); });
}

void AgentAdmission::admit(const std::shared_ptr<AgentConnection> &agent, AgentIdentity who,
                           ConnectionId silent)
{
    const auto holder = who.returning() ? roster.withId(who.id) : nullptr;
    if (!holder || holder->id() == silent) {
        claim(agent, std::move(who), silent);
        return;
    }
    log("agent id=" + who.id + " presented its token again from " + agent->remote() +
        ": asking the connection that holds the ID");
    check(holder, [this, weak = std::weak_ptr<AgentConnection>(agent), who = std::move(who),
                   asked = holder->id()](bool alive) mutable {
        const auto agent = weak.lock();
        if (!agent || agent->closing())
            return;
        if (alive) {
            AgentIdentity fresh;
            fresh.how = kHeldByLiveAgent;
            claim(agent, std::move(fresh), 0);
            return;
        }
        // Unless its connection ended meanwhile, which its own log line tells.
        if (const auto holder = roster.withId(who.id); holder && holder->id() == asked)
            log("agent id=" + who.id + " did not answer within " +
                std::to_string(kAnswerWait.count()) + " ms; its token came back from " +
                agent->remote());
        // Meanwhile another connection may have taken the ID: it is asked in turn.
        admit(agent, std::move(who), asked);
    });
}

void AgentAdmission::claim(const std::shared_ptr<AgentConnection> &agent, AgentIdentity who,
                           ConnectionId silent)
{
    if (who.returning()) {
        claimPaid(agent, std::move(who), silent);
        return;
    }
    // Every new ID stays in the directory for a while: the address pays for it.
    guard.newId(agent->clientAddress(),
                [this, silent, weak = std::weak_ptr<AgentConnection>(agent),
                 who = std::move(who)](std::optional<std::chrono::milliseconds> wait) mutable {
                    const auto agent = weak.lock();
                    if (!agent || agent->closing())
                        return;
                    if (!wait) {
                        failures.failed(FailureLog::Kind::RedisUnavailable,
                                        "agent " + agent->remote() +
                                            " refused: Redis is unavailable for a new ID");
                        agent->close(kUnavailable);
                    } else if (wait->count() > 0) {
                        if (newIdLog.happened(Clock::now()))
                            log("agent " + agent->remote() +
                                " refused: its address has taken its new IDs for now (retry "
                                "after " +
                                std::to_string((wait->count() + 999) / 1000) + " s; " +
                                std::to_string(newIdLog.suppressed()) + " more refused before)");
                        counters.connectionRefused("new-id-budget");
                        agent->close(kTooManyAttempts);
                    } else {
                        claimPaid(agent, std::move(who), silent);
                    }
                });
}

void AgentAdmission::claimPaid(const std::shared_ptr<AgentConnection> &agent, AgentIdentity who,
                               ConnectionId silent)
{
    directory.claim(
        std::move(who), agent->remote(),
        [this, silent,
         weak = std::weak_ptr<AgentConnection>(agent)](std::optional<AgentIdentity> who) {
            const auto agent = weak.lock();
            if (!agent || agent->closing()) {
                // Granted to a connection that is gone: unless another one holds it here.
                if (who && !roster.holds(who->id))
                    directory.left(who->id);
            } else if (!who) {
                agent->close(kUnavailable);
            } else if (const auto holder = who->returning() ? roster.withId(who->id) : nullptr;
                       holder && holder->id() != silent) {
                // Another connection with the token was welcomed while this one waited.
                admit(agent, std::move(*who), silent);
            } else {
                roster.welcome(agent, *who);
            }
        });
}

void AgentAdmission::check(const std::shared_ptr<AgentConnection> &holder,
                           std::function<void(bool)> done)
{
    auto pending = std::make_shared<PendingCheck>(io, std::move(done));
    if (!holder->ping([pending](bool alive) { pending->decide(alive); })) {
        net::post(io, [pending] { pending->decide(false); });
        return;
    }
    pending->timer.expires_after(kAnswerWait);
    pending->timer.async_wait([pending](const beast::error_code &ec) {
        if (!ec)
            pending->decide(false);
    });
}

} // namespace velmora::server
