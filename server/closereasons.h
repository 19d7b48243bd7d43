// Close codes and reasons the server gives supporters and agents. The reason texts are stable
// machine-readable words: pages and tools map them to their own messages.
#pragma once

#include <cstdint>
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
/// The agent with this ID went offline recently; it may come back.
inline constexpr CloseReason kOffline{4410, "offline"};
/// The agent is already in a session with another supporter.
inline constexpr CloseReason kBusy{4409, "busy"};
/// The agent did not answer the session start in time.
inline constexpr CloseReason kAgentTimeout{4408, "agent-timeout"};
/// The agent's connection ended during the session.
inline constexpr CloseReason kAgentGone{4000, "agent-gone"};
/// A newer connection of the same agent took over (given to the old connection and to its
/// supporter).
inline constexpr CloseReason kReplaced{4001, "replaced"};
/// The supporter's session ended; the agent reconnects for the next one.
inline constexpr CloseReason kSessionEnded{1000, ""};
/// The server is shutting down.
inline constexpr CloseReason kShutdown{1001, "server-shutdown"};

} // namespace velmora::server
