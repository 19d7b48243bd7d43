#include "server/core/attemptguard.h"

#include "server/core/sessionids.h"

#include <algorithm>

namespace velmora::server {

AttemptGuard::AttemptGuard(LockoutSchedule lockouts, ProbeLimit probes, ProbeLimit newIds)
    : locks(lockouts.ownLocks()), budgets(probes), fresh(newIds), idGuesses(lockouts.idBudget())
{}

std::string AttemptGuard::ownLock(const std::string &id, const std::string &client)
{
    return id + " " + client;
}

std::chrono::milliseconds AttemptGuard::waitOn(const std::string &id, const std::string &client,
                                               Clock::time_point now) const
{
    return roundUpMs(
        std::max(locks.lockedFor(ownLock(id, client), now), idGuesses.waitFor(id, now)));
}

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
    if (const auto wait = waitOn(id, client, now); wait.count() > 0)
        return Refusal{kLocked, wait};
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
    const std::string own = ownLock(id, ending.client);
    if (ending.how == RfbHandshake::Refusal::None) {
        locks.succeeded(own);
        verdict.accepted = true;
        return verdict;
    }
    verdict.reason = reasonFor(ending.how);
    if (ending.responseSent) {
        verdict.guess = true;
        locks.refused(own, now);
        idGuesses.probed(id, now);
        budgets.probed(ending.client, now);
    } else if (ending.supporterEnded) {
        budgets.probed(ending.client, now);
        verdict.probeTaken = true;
    }
    verdict.lock = waitOn(id, ending.client, now);
    verdict.refusalsInARow = locks.refusals(own);
    return verdict;
}

AttemptGuard::Verdict AttemptGuard::handshakeEnded(const std::string &id, RfbHandshake::Refusal how,
                                                   Clock::time_point now, const std::string &client)
{
    Ending ending;
    ending.how = how;
    ending.responseSent = true;
    ending.client = client;
    return handshakeEnded(id, ending, now);
}

std::chrono::milliseconds AttemptGuard::newId(const std::string &client, Clock::time_point now)
{
    if (const auto wait = fresh.waitFor(client, now); wait.count() > 0)
        return roundUpMs(wait);
    fresh.probed(client, now);
    return std::chrono::milliseconds(0);
}

std::chrono::milliseconds AttemptGuard::lockedFor(const std::string &id,
                                                  Clock::time_point now) const
{
    return roundUpMs(idGuesses.waitFor(id, now));
}

void AttemptGuard::forgetIdle(Clock::time_point now)
{
    locks.forgetIdle(now);
    budgets.forgetIdle(now);
    fresh.forgetIdle(now);
    idGuesses.forgetIdle(now);
}

} // namespace velmora::server
