// The defence against guessing: owns the lock that each client address put on each session ID
// with its refused password attempts, the budget of guesses of every ID, and the probe budget of
// every client address, and answers the server's two questions about a supporter: may it try this
// ID now, and what follows once its attempt has ended. No sockets and no clock of its own: the
// caller passes the time in.
//
// A refused guess costs its address first: a probe, and its own lock on the ID (the schedule's
// doubling, up to twice its cap: LockoutSchedule::ownLocks). It also draws on the ID's budget
// (LockoutSchedule::idBudget), which bounds the guesses of all addresses together; the ID refuses
// everyone only while that budget is empty, which one address (IPv6: one /64) alone never brings
// about. So a stranger who knows an ID cannot lock its owner's supporter out, and the bound on
// guesses per ID holds whatever number of addresses guess.
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
        /// The supporter's address (see clientKey): its own lock on the ID, and its probes.
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
        /// unsupported-security), how long the ID now refuses it (its address's own lock, or the
        /// ID's empty budget), rounded up to milliseconds, and its address's refused attempts on
        /// the ID in a row, this one included.
        CloseReason reason = kUnsupportedSecurity;
        std::chrono::milliseconds lock{0};
        unsigned refusalsInARow = 0;
    };

    /// `newIds`: the budget of new IDs per address (see newId).
    explicit AttemptGuard(LockoutSchedule lockouts = {}, ProbeLimit probes = {},
                          ProbeLimit newIds = kNewIdLimit);

    /// What a supporter is told when its handshake ended for `how` (not None): wrong-password,
    /// desktop-refused or unsupported-security.
    static CloseReason reasonFor(RfbHandshake::Refusal how);

    /// May the supporter from `client` (see clientKey) try `id` (as requested, perhaps
    /// malformed) at `now`? Asked in this order, so that an address that used up its probes
    /// learns nothing about any ID: too-many-attempts while the address waits for a probe;
    /// invalid-id for a malformed ID, which takes a probe; locked while the address's own lock
    /// on the ID lasts, or while the ID's budget of guesses is empty. Nothing when it may go on
    /// to the ID's agent.
    std::optional<Refusal> admit(const std::string &client, const std::string &id,
                                 Clock::time_point now);

    /// The well-formed ID that `client` asked for led nowhere (no agent has it, or its agent is
    /// away): takes one of the address's probes.
    void ledNowhere(const std::string &client, Clock::time_point now);

    /// The security handshake of a session with `id` ended at `now`. Accepted, the address's
    /// count on the ID starts over. Refused after the supporter's password response: a guess,
    /// however it ended (otherwise a guesser could leave right after the response), which costs
    /// the address a probe and escalates its own lock on the ID, and takes one guess of the
    /// ID's budget. Refused before any response: no guess was made, so nothing is locked
    /// (connections that never answer cannot lock an ID for its owner's supporters); when the
    /// supporter's side ended it, its address pays one probe instead, as for an ID that led
    /// nowhere. The bound on guesses therefore holds, and each address is held to its probe
    /// budget.
    Verdict handshakeEnded(const std::string &id, const Ending &ending, Clock::time_point now);
    /// The same for a guess from `client`: ended after the password response, accepted when
    /// `how` is None.
    Verdict handshakeEnded(const std::string &id, RfbHandshake::Refusal how, Clock::time_point now,
                           const std::string &client = {});

    /// An agent from `client` (see clientKey) wants a new ID at `now`: takes one from the
    /// address's budget of new IDs and answers zero, or answers how long the address waits for
    /// the next one (and takes nothing). Every new ID stays in the directory for a while, so
    /// this bounds what agents that connect and drop in a loop can make the server keep.
    std::chrono::milliseconds newId(const std::string &client, Clock::time_point now);

    /// How long `id` refuses every supporter at `now` (its budget of guesses is empty), rounded
    /// up (zero when it may be tried).
    std::chrono::milliseconds lockedFor(const std::string &id, Clock::time_point now) const;

    /// The key of the lock that `client` has on `id` in lockouts().
    static std::string ownLock(const std::string &id, const std::string &client);

    /// Forgets the IDs and addresses that are as good as new.
    void forgetIdle(Clock::time_point now);

    /// Each address's own locks, by ownLock(id, client).
    const Lockouts &lockouts() const { return locks; }
    const ProbeLimiter &probes() const { return budgets; }
    const ProbeLimiter &newIds() const { return fresh; }
    /// The budget of guesses of each ID, by ID.
    const ProbeLimiter &guesses() const { return idGuesses; }

private:
    /// What the ID tells a supporter from `client` that may not try it now, if anything.
    std::chrono::milliseconds waitOn(const std::string &id, const std::string &client,
                                     Clock::time_point now) const;

    Lockouts locks;
    ProbeLimiter budgets;
    ProbeLimiter fresh;
    ProbeLimiter idGuesses;
};

} // namespace velmora::server
