// Close codes and reasons the server gives supporters and agents. The reason texts are stable
// machine-readable words: pages and tools map them to their own messages.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::server {

struct CloseReason
{
    std::uint16_t code;
    std::string_view text;
};

/// The requested ID is not nine digits.
inline constexpr CloseReason kInvalidId{4400, "invalid-id"};
/// No agent has this ID.
inline constexpr CloseReason kUnknownId{4404, "unknown-id"};
/// The agent with this ID went offline recently; it may come back (agents reconnect every four
/// seconds, hence the retry-after the server adds).
inline constexpr CloseReason kOffline{4410, "offline"};
/// The agent is already in a session with another supporter.
inline constexpr CloseReason kBusy{4409, "busy"};
/// The agent did not answer the session start in time.
inline constexpr CloseReason kAgentTimeout{4408, "agent-timeout"};
/// The supporter did not send its password response in time (the ID was held meanwhile).
inline constexpr CloseReason kPasswordTimeout{4402, "password-timeout"};
/// The agent's connection ended during the session.
inline constexpr CloseReason kAgentGone{4000, "agent-gone"};
/// A newer connection of the same agent took over (given to the old connection and to its
/// supporter).
inline constexpr CloseReason kReplaced{4001, "replaced"};
/// The supporter's session ended; the agent reconnects for the next one.
inline constexpr CloseReason kSessionEnded{1000, ""};
/// An agent sent what no agent sends: a message nested deeper than an envelope, or one too large
/// for anything but the compact "rfb" envelope, or larger than its state allows.
inline constexpr CloseReason kForbiddenMessage{1008, "forbidden-message"};
/// The server is shutting down.
inline constexpr CloseReason kShutdown{1001, "server-shutdown"};
/// A node of a cluster cannot reach the state the nodes share (Redis), which the request needs:
/// a lookup, a lock check, or a new agent's ID. Carries ";retry-after=SECONDS" for supporters.
inline constexpr CloseReason kUnavailable{4503, "unavailable"};

// Refusals of the password protection; each carries ";retry-after=SECONDS".

/// The ID refuses supporters for a while after a refused attempt.
inline constexpr CloseReason kLocked{4423, "locked"};
/// The supporter's address asked for too many IDs that lead nowhere.
inline constexpr CloseReason kTooManyAttempts{4429, "too-many-attempts"};
/// The VNC server refused the password (sent after its failure result has been relayed).
inline constexpr CloseReason kWrongPassword{4401, "wrong-password"};
/// The client or the VNC server wanted a security handshake other than VNC authentication, or a
/// protocol version the server does not follow.
inline constexpr CloseReason kUnsupportedSecurity{4415, "unsupported-security"};
/// The VNC server refused the connection before asking for the password (its reason has been
/// relayed).
inline constexpr CloseReason kDesktopRefused{4403, "desktop-refused"};

/// Every reason a supporter is turned away with before or at its password: the labels of
/// velmora_supporter_refusals_total, and each explained by the supporter's page.
inline constexpr CloseReason kRefusals[] = {
    kInvalidId,      kUnknownId,       kOffline,         kBusy,
    kLocked,         kTooManyAttempts, kWrongPassword,   kUnsupportedSecurity,
    kDesktopRefused, kAgentTimeout,    kPasswordTimeout, kUnavailable};
/// How a supporter's session ends other than by its own leaving; explained by the page too.
inline constexpr CloseReason kSessionEndings[] = {kAgentGone, kReplaced, kShutdown};

/// How long agents usually take to come back, told with kOffline.
inline constexpr std::chrono::seconds kOfflineRetry{5};

/// `reason` followed by ";retry-after=N", N being `wait` in whole seconds rounded up (at least 1).
inline std::string withRetryAfter(const CloseReason &reason, std::chrono::milliseconds wait)
{
    const long long seconds = std::max<long long>(1, (wait.count() + 999) / 1000);
    return std::string(reason.text) + ";retry-after=" + std::to_string(seconds);
}

} // namespace velmora::server
