#include "server/net/supporteradmission.h"

#include "server/core/counters.h"
#include "server/core/text.h"
#include "server/net/agentdirectory.h"
#include "server/net/agentroster.h"
#include "server/net/guard.h"
#include "server/net/relaysession.h"
#include "server/net/supporterconnection.h"

namespace velmora::server {

SupporterAdmission::SupporterAdmission(net::io_context &io, const ServerConfig &config,
                                       SessionRegistry &registry, Counters &counters,
                                       FailureLog &failures, const AgentRoster &roster,
                                       Guard &guard, AgentDirectory &directory)
    : io(io), config(config), registry(registry), counters(counters), failures(failures),
      roster(roster), guard(guard), directory(directory)
{}

void SupporterAdmission::opened(const std::shared_ptr<SupporterConnection> &supporter)
{
    if (!supporter->carried()) {
        admit(supporter);
        return;
    }
    // A node's signature passes once: a captured one, sent again, carries nobody.
    directory.redeem(
        supporter->nodeSignature(), [this, weak = std::weak_ptr<SupporterConnection>(supporter)](
                                        AgentDirectory::SignatureUse use) {
            const auto supporter = weak.lock();
            if (!supporter || supporter->closing())
                return;
            if (use == AgentDirectory::SignatureUse::First) {
                counters.forwardedIn();
                admit(supporter);
            } else if (use == AgentDirectory::SignatureUse::Unavailable) {
                refuseUnavailable(*supporter, "the node signature cannot be checked");
            } else {
                log("refused supporter " + supporter->remote() + " for id=" +
                    printable(supporter->requestedId()) + ": a node signature used before");
                counters.supporterRefused(kForbiddenMessage.text);
                supporter->close(kForbiddenMessage.code, std::string(kForbiddenMessage.text));
            }
        });
}

void SupporterAdmission::admit(const std::shared_ptr<SupporterConnection> &supporter)
{
    guard.admit(
        supporter->clientAddress(), supporter->requestedId(),
        [this, weak = std::weak_ptr<SupporterConnection>(supporter)](Guard::Admission admission) {
            const auto supporter = weak.lock();
            if (!supporter || supporter->closing())
                return;
            if (admission.kind == Guard::Admission::Kind::Unavailable)
                refuseUnavailable(*supporter, "the lock state cannot be read");
            else if (!admission.allowed())
                refuse(*supporter, admission.refusal.reason, admission.refusal.retryAfter);
            else
                connect(supporter);
        });
}

void SupporterAdmission::connect(const std::shared_ptr<SupporterConnection> &supporter)
{
    const auto now = Clock::now();
    const std::string &id = supporter->requestedId();
    auto refusal = registry.beginSession(id, supporter->id(), now);
    std::shared_ptr<AgentConnection> agent;
    if (refusal == SessionRegistry::Refusal::None) {
        agent = roster.withId(id);
        if (!agent) {
            registry.endSession(id, supporter->id());
            refusal = SessionRegistry::Refusal::Offline;
        }
    }
    if (refusal == SessionRegistry::Refusal::Busy) {
        refuse(*supporter, kBusy);
        return;
    }
    if (refusal != SessionRegistry::Refusal::None) {
        const CloseReason &here =
            refusal == SessionRegistry::Refusal::Offline ? kOffline : kUnknownId;
        directory.locate(supporter, here,
                         [this, weak = std::weak_ptr<SupporterConnection>(supporter)](
                             AgentDirectory::Whereabouts where) {
                             const auto supporter = weak.lock();
                             if (!supporter || supporter->closing())
                                 return;
                             if (where.kind == AgentDirectory::Whereabouts::Kind::Unavailable)
                                 refuseUnavailable(*supporter, "the directory cannot be read");
                             else
                                 ledNowhere(*supporter, where.reason, where.probe);
                         });
        return;
    }
    const RelaySession::Context context{config, registry, guard, counters};
    std::make_shared<RelaySession>(io, context, id, agent, supporter)->start();
    counters.sessionStarted();
    counters.population(registry);
    log("session start id=" + id + " supporter " + supporter->remote());
}

void SupporterAdmission::ledNowhere(SupporterConnection &supporter, const CloseReason &reason,
                                    bool probe)
{
    // An ID whose agent is away tells a prober as much as an unknown one.
    if (probe)
        guard.ledNowhere(supporter.clientAddress());
    if (reason.code == kOffline.code)
        refuse(supporter, kOffline, kOfflineRetry);
    else
        refuse(supporter, reason);
}

void SupporterAdmission::refuseUnavailable(SupporterConnection &supporter, const std::string &why)
{
    // While Redis is away, every supporter would make a line of its own.
    failures.failed(FailureLog::Kind::RedisUnavailable,
                    "Redis unavailable for supporter " + supporter.remote() +
                        " id=" + printable(supporter.requestedId()) + ": " + why + "; refused");
    turnAway(supporter, kUnavailable, kOfflineRetry);
}

void SupporterAdmission::refuse(SupporterConnection &supporter, const CloseReason &reason,
                                std::chrono::milliseconds retryAfter)
{
    std::string note;
    if (retryAfter.count() > 0) {
        const std::string text = withRetryAfter(reason, retryAfter);
        note = " (retry after " + text.substr(text.find('=') + 1) + " s)";
    }
    log("refused supporter " + supporter.remote() +
        " for id=" + printable(supporter.requestedId()) + ": " + std::string(reason.text) + note);
    turnAway(supporter, reason, retryAfter);
}

void SupporterAdmission::turnAway(SupporterConnection &supporter, const CloseReason &reason,
                                  std::chrono::milliseconds retryAfter)
{
    counters.supporterRefused(reason.text);
    supporter.close(reason.code, retryAfter.count() > 0 ? withRetryAfter(reason, retryAfter)
                                                        : std::string(reason.text));
}

} // namespace velmora::server
