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

    /// How a session's security handshake ended.
    struct Ending
    {
        /// None: the VNC server accepted the password; else why the attempt failed.
        RfbHandshake::Refusal how = RfbHandshake::Refusal::Closed;
        /// The supporter's whole password response had passed (RfbHandshake::responseSent).
        bool responseSent = true;
        /// The supporter's side ended it: it left, sent what cannot be followed, or let its
        /// password deadline pass (not the agent, its VNC server or the server's shutdown).
        bool supporterEnded = false;
        /// The supporter's address (see clientKey), charged when supporterEnded.
        std::string client;
    };

    /// What follows the end of a session's security handshake.
    struct Verdict
    {
        /// The VNC server accepted the password: the ID's count of refusals starts over.
        bool accepted = false;
        /// A refused guess, counted on the ID (which it locks).
        bool guess = false;
        /// No guess, but the supporter's address paid one of its probes.
        bool probeTaken = false;
        /// For a refused attempt: what the supporter is told (wrong-password, desktop-refused or
        /// unsupported-security), the lock it put on the ID, rounded up to milliseconds, and the
        /// refused attempts on the ID in a row, this one included.
        CloseReason reason = kUnsupportedSecurity;
        std::chrono::milliseconds lock{0};
        unsigned refusalsInARow = 0;
    };

    explicit AttemptGuard(LockoutSchedule lockouts = {}, ProbeLimit probes = {});

    /// What a supporter is told when its handshake ended for `how` (not None): wrong-password,
    /// desktop-refused or unsupported-security.
    static CloseReason reasonFor(RfbHandshake::Refusal how);

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

    /// The security handshake of a session with `id` ended at `now`. Accepted, the ID's count
    /// starts over. Refused after the supporter's password response: a guess, which locks the
    /// ID, however it ended (otherwise a guesser could leave right after the response). Refused
    /// before any response: no guess was made, so the ID is not locked (connections that never
    /// answer cannot lock an ID for its owner's supporters); when the supporter's side ended it,
    /// its address pays one probe instead, as for an ID that led nowhere. The bound on guesses
    /// therefore holds, and each address is held to its probe budget for connections without a
    /// guess.
    Verdict handshakeEnded(const std::string &id, const Ending &ending, Clock::time_point now);
    /// The same for a guess: ended after the password response, accepted when `how` is None.
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
