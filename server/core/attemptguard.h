// The defence against guessing: owns the lock of every session ID after refused password
// attempts and the probe budget of every client address, and answers the server's two questions
// about a supporter: may it try this ID now, and what follows once its attempt has ended. No
// sockets and no clock of its own: the caller passes the time in.
#pragma once

#include "server/core/clock.h"
#include "server/core/closereasons.h"
#include "server/core/lockouts.h"
#include "server/core/probelimiter.h"
#include "server/core/rfbhandshake.h"

#include <chrono>
#include <optional>
#include <string>

namespace velmora::server {

class AttemptGuard
{
public:
    /// Why a supporter may not try now, and when it may come back.
    struct Refusal
    {
        CloseReason reason;
        /// Zero for a reason that carries no retry-after (invalid-id).
        std::chrono::milliseconds retryAfter{0};
    };

    /// What follows the end of a session's security handshake.
    struct Verdict
    {
        /// The VNC server accepted the password: the ID's count of refusals starts over.
        bool accepted = false;
        /// For a refused attempt: what the supporter is told (wrong-password, desktop-refused or
        /// unsupported-security), the lock it put on the ID, rounded up to milliseconds, and the
        /// refused attempts on the ID in a row, this one included.
        CloseReason reason = kUnsupportedSecurity;
        std::chrono::milliseconds lock{0};
        unsigned refusalsInARow = 0;
    };

    explicit AttemptGuard(LockoutSchedule lockouts = {}, ProbeLimit probes = {});

    /// May the supporter from `client` (see clientKey) try `id` (as requested, perhaps
    /// malformed) at `now`? Asked in this order, so that an address that used up its probes
    /// learns nothing about any ID: too-many-attempts while the address waits for a probe;
    /// invalid-id for a malformed ID, which takes a probe; locked while the ID is locked.
    /// Nothing when it may go on to the ID's agent.
    std::optional<Refusal> admit(const std::string &client, const std::string &id,
                                 Clock::time_point now);

    /// The well-formed ID that `client` asked for led nowhere (no agent has it, or its agent is
    /// away): takes one of the address's probes.
    void ledNowhere(const std::string &client, Clock::time_point now);

    /// The security handshake of a session with `id` ended at `now`: accepted when `how` is
    /// None, else refused for that reason, which locks the ID.
    Verdict handshakeEnded(const std::string &id, RfbHandshake::Refusal how, Clock::time_point now);

    /// What is left of the lock on `id` at `now`, rounded up (zero when it may be tried).
    std::chrono::milliseconds lockedFor(const std::string &id, Clock::time_point now) const;

    /// Forgets the IDs and addresses that are as good as new.
    void forgetIdle(Clock::time_point now);

    const Lockouts &lockouts() const { return locks; }
    const ProbeLimiter &probes() const { return budgets; }

private:
    Lockouts locks;
    ProbeLimiter budgets;
};

} // namespace velmora::server
