// The defence against guessing as the hub and the sessions ask it, whoever keeps its state: this
// node alone (LocalGuard) or all nodes of a cluster through Redis (SharedGuard). The questions
// and the answers are AttemptGuard's; the answers come by callback, later on the loop.
#pragma once

#include "server/core/attemptguard.h"
#include "server/core/clock.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace velmora::server {

class Guard
{
public:
    /// The answer to admit.
    struct Admission
    {
        enum class Kind {
            /// The supporter may go on to the ID's agent.
            Allowed,
            /// See refusal.
            Refused,
            /// The guard cannot tell (its state is out of reach): the caller refuses the
            /// supporter. Never to be taken as allowed.
            Unavailable
        };
        Kind kind = Kind::Unavailable;
        /// When Refused: what the supporter is told, as AttemptGuard::admit.
        AttemptGuard::Refusal refusal{kUnsupportedSecurity, {}};

        bool allowed() const { return kind == Kind::Allowed; }
    };

    virtual ~Guard() = default;

    // Every `done` is called once, later on the loop (never from inside the call), unless the
    // guard is destroyed first: then never.

    /// May the supporter from `client` (see clientKey) try `id` (as requested, perhaps
    /// malformed)? As AttemptGuard::admit.
    virtual void admit(const std::string &client, const std::string &id,
                       std::function<void(Admission)> done) = 0;

    /// The well-formed ID that `client` asked for led nowhere: an ending that does not count on
    /// any ID, paid with one of the address's probes.
    virtual void ledNowhere(const std::string &client) = 0;

    /// The security handshake of a session with `id` (which was admitted) ended: an ending that
    /// counts (the password accepted, or refused after the supporter's response: a guess) or one
    /// that does not (no response: perhaps a probe), as AttemptGuard::handshakeEnded decides.
    virtual void handshakeEnded(const std::string &id, const AttemptGuard::Ending &ending,
                                std::function<void(AttemptGuard::Verdict)> done) = 0;

    /// An agent from `client` wants a new ID: as AttemptGuard::newId, zero when it may take one
    /// (which is then taken from the address's budget), else how long the address waits;
    /// nothing when the guard cannot tell (the caller refuses the agent).
    virtual void newId(const std::string &client,
                       std::function<void(std::optional<std::chrono::milliseconds>)> done) = 0;

    /// How long `id` refuses every supporter (its budget of guesses is empty), rounded up to
    /// milliseconds (zero when it may be tried), as AttemptGuard::lockedFor.
    virtual void lockedFor(const std::string &id,
                           std::function<void(std::chrono::milliseconds)> done) = 0;

    /// Forgets what is as good as new (at every sweep of the server).
    virtual void forgetIdle(Clock::time_point now) = 0;
};

} // namespace velmora::server
