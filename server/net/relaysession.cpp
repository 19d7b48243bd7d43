#include "server/net/relaysession.h"

#include "protocol/envelope.h"
#include "server/core/counters.h"
#include "server/core/text.h"
#include "server/net/agentconnection.h"
#include "server/net/guard.h"
#include "server/net/supporterconnection.h"

namespace velmora::server {

RelaySession::RelaySession(net::io_context &io, Context context, std::string id,
                           const std::shared_ptr<AgentConnection> &agent,
                           const std::shared_ptr<SupporterConnection> &supporter)
    : context(context), id(std::move(id)), agent(agent), supporter(supporter),
      supporterAddress(supporter->remote()), supporterClient(supporter->clientAddress()),
      supporterId(supporter->id()), relay(context.config.holdLimit, Clock::now()), startTimer(io),
      passwordTimer(io)
{}

void RelaySession::start()
{
    const auto liveAgent = agent.lock();
    const auto liveSupporter = supporter.lock();
    if (!context.config.followSecurityHandshake) {
        handshake.passThrough();
        settled = true;
    }
    liveAgent->join(shared_from_this());
    liveSupporter->join(shared_from_this());
    liveAgent->send(envelope::startSessionEnvelope());
    startTimer.expires_after(context.config.options.startTimeout);
    // Weak: a session that ended without the agent's answer is not kept for its timer.
    startTimer.async_wait([weak = weak_from_this()](const beast::error_code &ec) {
        if (const auto self = weak.lock())
            self->onStartTimeout(ec);
    });
    if (settled)
        return;
    passwordTimer.expires_after(context.config.options.passwordTimeout);
    passwordTimer.async_wait([weak = weak_from_this()](const beast::error_code &ec) {
        if (const auto self = weak.lock())
            self->onPasswordTimeout(ec);
    });
}

bool RelaySession::fromAgent(AgentConnection &sender, std::string payload)
{
    const auto liveSupporter = supporter.lock();
    if (!liveSupporter)
        return false;
    const bool first = relay.waitingForAgent();
    RfbHandshake::Forward forward;
    if (handshake.succeeded()) {
        forward.toSupporter = std::move(payload);
    } else if (handshake.following()) {
        forward = handshake.fromServer(payload);
    }
    const std::size_t size = forward.toSupporter.size();
    auto released = relay.fromAgent(size);
    if (size > 0 || handshake.succeeded())
        forwardToSupporter(*liveSupporter, std::move(forward.toSupporter));
    if (first) {
        startTimer.cancel();
        for (std::string &held : released)
            sender.send(std::move(held));
        context.counters.relayedToAgent(relay.bytesToAgent());
        context.counters.queued(sender.queuedBytes());
        if (!sender.aboveHighWater())
            liveSupporter->resumeReading();
    }
    if (!forward.toServer.empty())
        forwardToAgent(sender, *liveSupporter, forward.toServer);
    if (liveSupporter->aboveHighWater() && !sender.readingPaused()) {
        context.counters.backpressurePaused();
        sender.pauseReading();
    }
    if (!handshake.following() && !settled)
        settle(false);
    return true;
}

void RelaySession::fromSupporter(SupporterConnection &sender, std::string_view bytes)
{
    const auto liveAgent = agent.lock();
    if (!liveAgent)
        return;
    if (handshake.succeeded()) {
        forwardToAgent(*liveAgent, sender, bytes);
    } else if (handshake.following()) {
        RfbHandshake::Forward forward = handshake.fromClient(bytes);
        if (handshake.responseSent())
            passwordTimer.cancel();
        if (!forward.toSupporter.empty())
            forwardToSupporter(sender, std::move(forward.toSupporter));
        if (!forward.toServer.empty())
            forwardToAgent(*liveAgent, sender, forward.toServer);
        if (!handshake.following())
            settle(true);
    }
    if (liveAgent->aboveHighWater() && !sender.readingPaused()) {
        context.counters.backpressurePaused();
        sender.pauseReading();
    }
}

void RelaySession::agentDrained()
{
    const auto liveSupporter = supporter.lock();
    if (liveSupporter && !(relay.waitingForAgent() && relay.holdFull()))
        liveSupporter->resumeReading();
}

void RelaySession::supporterDrained()
{
    if (const auto liveAgent = agent.lock())
        liveAgent->resumeReading();
}

void RelaySession::agentGone(const std::string &why, const CloseReason &reason)
{
    const auto liveSupporter = supporter.lock();
    end(why, false);
    if (liveSupporter)
        liveSupporter->close(reason);
}

void RelaySession::supporterLeft(const std::string &why)
{
    const auto liveAgent = agent.lock();
    end("the supporter left: " + why, true);
    releaseAgent(liveAgent, "its session ended");
    publishCounts();
}

void RelaySession::onStartTimeout(const beast::error_code &ec)
{
    if (ec || ended || !relay.waitingForAgent())
        return;
    const auto liveAgent = agent.lock();
    const auto liveSupporter = supporter.lock();
    // The agent's slowness is no guess and does not lock its own ID.
    end("the agent did not answer within " + secondsText(context.config.options.startTimeout) +
            " s",
        false);
    if (liveSupporter) {
        context.counters.supporterRefused(kAgentTimeout.text);
        // Back when the agent usually is, unless the ID stays locked longer.
        context.guard.lockedFor(id, [supporter = supporter](std::chrono::milliseconds locked) {
            if (const auto liveSupporter = supporter.lock())
                liveSupporter->close(
                    kAgentTimeout.code,
                    withRetryAfter(kAgentTimeout,
                                   std::max<std::chrono::milliseconds>(locked, kOfflineRetry)));
        });
    }
    releaseAgent(liveAgent, "it did not answer the session start");
    publishCounts();
}

void RelaySession::onPasswordTimeout(const beast::error_code &ec)
{
    if (ec || ended || settled || handshake.responseSent())
        return;
    const auto liveAgent = agent.lock();
    const auto liveSupporter = supporter.lock();
    end("no password response within " + secondsText(context.config.options.passwordTimeout) + " s",
        true);
    if (liveSupporter) {
        context.counters.supporterRefused(kPasswordTimeout.text);
        liveSupporter->close(kPasswordTimeout);
    }
    releaseAgent(liveAgent, "its supporter sent no password");
    publishCounts();
}

void RelaySession::end(const std::string &why, bool supporterEnded)
{
    if (ended)
        return;
    ended = true;
    // The connections may hold the last references.
    const auto self = shared_from_this();
    startTimer.cancel();
    passwordTimer.cancel();
    const auto liveAgent = agent.lock();
    const auto liveSupporter = supporter.lock();
    context.registry.endSession(id, supporterId);
    log("session end id=" + id + " supporter " + supporterAddress + ": " +
        relay.summary(Clock::now()) + " (" + why + ")");
    if (!settled) {
        handshake.closed();
        refused(supporterEnded);
    }
    if (liveAgent)
        liveAgent->leave();
    if (liveSupporter)
        liveSupporter->leave();
    publishCounts();
}

void RelaySession::releaseAgent(const std::shared_ptr<AgentConnection> &liveAgent,
                                const std::string &why)
{
    // The protocol has no message that ends a session: the agent's connection is closed and the
    // agent comes back with its token, ready for the next one.
    if (!liveAgent || liveAgent->closing())
        return;
    context.registry.agentOffline(liveAgent->sessionId(), liveAgent->id(), Clock::now());
    liveAgent->closeBecause(kSessionEnded, why);
}

void RelaySession::forwardToSupporter(SupporterConnection &to, std::string bytes)
{
    const std::size_t size = bytes.size();
    to.send(std::move(bytes));
    context.counters.relayedToSupporter(size);
    context.counters.queued(to.queuedBytes());
}

void RelaySession::forwardToAgent(AgentConnection &to, SupporterConnection &from,
                                  std::string_view bytes)
{
    if (auto envelope = relay.fromSupporter(bytes)) {
        to.send(std::move(*envelope));
        context.counters.relayedToAgent(bytes.size());
        context.counters.queued(to.queuedBytes());
    } else if (relay.holdFull()) {
        from.pauseReading();
    }
}

void RelaySession::settle(bool supporterEnded)
{
    if (settled)
        return;
    passwordTimer.cancel();
    if (handshake.succeeded()) {
        settled = true;
        AttemptGuard::Ending accepted;
        accepted.how = RfbHandshake::Refusal::None;
        accepted.client = supporterClient;
        context.guard.handshakeEnded(id, accepted, [](const AttemptGuard::Verdict &) {});
        context.counters.handshakeEnded("success");
        log("password accepted id=" + id + " supporter " + supporterAddress + " (RFB 3." +
            std::to_string(handshake.minorVersion()) + ")");
        return;
    }
    refused(supporterEnded, [this](const AttemptGuard::Verdict &verdict) {
        if (const auto liveSupporter = supporter.lock()) {
            context.counters.supporterRefused(verdict.reason.text);
            // Queued after what was relayed, so the viewer sees the VNC server's answer first.
            liveSupporter->close(verdict.reason.code, withRetryAfter(verdict.reason, verdict.lock));
        }
    });
}

void RelaySession::refused(bool supporterEnded,
                           std::function<void(const AttemptGuard::Verdict &)> then)
{
    settled = true;
    AttemptGuard::Ending ending;
    ending.how = handshake.refusal();
    ending.responseSent = handshake.responseSent();
    ending.supporterEnded = supporterEnded;
    ending.client = supporterClient;
    context.guard.handshakeEnded(
        id, ending,
        [self = shared_from_this(), then = std::move(then)](const AttemptGuard::Verdict &verdict) {
            self->concluded(verdict);
            if (then)
                then(verdict);
        });
}

void RelaySession::concluded(const AttemptGuard::Verdict &verdict)
{
    const char *why = describe(handshake.refusal());
    context.counters.handshakeEnded(why);
    const std::string &serverReason = handshake.serverReason();
    const std::string detail =
        why + (serverReason.empty() ? std::string() : " '" + printable(serverReason) + "'");
    if (verdict.guess) {
        context.counters.idLocked();
        log("attempt refused id=" + id + " supporter " + supporterAddress + ": " + detail + "; " +
            std::to_string(verdict.refusalsInARow) + " refused in a row, id locked for " +
            secondsText(verdict.lock) + " s");
    } else {
        log("no password response id=" + id + " supporter " + supporterAddress + ": " + detail +
            "; not counted on the id" + (verdict.probeTaken ? ", the address paid a probe" : ""));
    }
}

void RelaySession::publishCounts()
{
    context.counters.population(context.registry);
}

void RelaySession::log(const std::string &line)
{
    context.config.log(line);
}

} // namespace velmora::server
