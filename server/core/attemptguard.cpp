#include "server/core/attemptguard.h"

#include "server/core/sessionids.h"

namespace velmora::server {

AttemptGuard::AttemptGuard(LockoutSchedule lockouts, ProbeLimit probes)
    : locks(lockouts), budgets(probes)
{}

CloseReason AttemptGuard::reasonFor(RfbHandshake::Refusal how)
{
    switch (how) {
    case RfbHandshake::Refusal::WrongPassword:
        return kWrongPassword;
    case RfbHandshake::Refusal::ServerFailure:
        return kDesktopRefused;
    default:
        return kUnsupportedSecurity;
    }
}

std::optional<AttemptGuard::Refusal>
AttemptGuard::admit(const std::string &client, const std::string &id, Clock::time_point now)
{
    if (const auto wait = budgets.waitFor(client, now); wait.count() > 0)
        return Refusal{kTooManyAttempts, roundUpMs(wait)};
    if (!isSessionId(id)) {
        budgets.probed(client, now);
        return Refusal{kInvalidId, {}};
    }
    if (const auto wait = locks.lockedFor(id, now); wait.count() > 0)
        return Refusal{kLocked, roundUpMs(wait)};
    return std::nullopt;
}

void AttemptGuard::ledNowhere(const std::string &client, Clock::time_point now)
{
    budgets.probed(client, now);
}

AttemptGuard::Verdict AttemptGuard::handshakeEnded(const std::string &id, const Ending &ending,
                                                   Clock::time_point now)
{
    Verdict verdict;
    if (ending.how == RfbHandshake::Refusal::None) {
        locks.succeeded(id);
        verdict.accepted = true;
        return verdict;
    }
    verdict.reason = reasonFor(ending.how);
    if (ending.responseSent) {
        verdict.guess = true;
        verdict.lock = roundUpMs(locks.refused(id, now));
    } else {
        verdict.lock = roundUpMs(locks.lockedFor(id, now));
        if (ending.supporterEnded) {
            budgets.probed(ending.client, now);
            verdict.probeTaken = true;
        }
    }
    verdict.refusalsInARow = locks.refusals(id);
    return verdict;
}

AttemptGuard::Verdict AttemptGuard::handshakeEnded(const std::string &id, RfbHandshake::Refusal how,
                                                   Clock::time_point now)
{
    Ending ending;
    ending.how = how;
    ending.responseSent = true;
    return handshakeEnded(id, ending, now);
}

std::chrono::milliseconds AttemptGuard::lockedFor(const std::string &id,
                                                  Clock::time_point now) const
{
    return roundUpMs(locks.lockedFor(id, now));
}

void AttemptGuard::forgetIdle(Clock::time_point now)
{
    locks.forgetIdle(now);
    budgets.forgetIdle(now);
}

} // namespace velmora::server
