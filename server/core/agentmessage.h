// What the server makes of one message from an agent.
#pragma once

#include <string>
#include <string_view>

namespace velmora::server {

struct AgentMessage
{
    enum class Kind {
        /// An "rfb" envelope; `bytes` holds the decoded payload.
        Rfb,
        TextFrame,
        NotJson,
        WrongVersion,
        NoAction,
        /// An envelope with an action other than "rfb"; `action` names it.
        OtherAction,
        NoPayload,
    };
    Kind kind = Kind::NotJson;
    std::string bytes;
    std::string action;
};

/// Decodes one WebSocket message from an agent. Takes the fast path for the compact "rfb"
/// envelope that agents send and the general path (text up to the first zero byte, one JSON
/// value, string members only, payload up to its first zero, lenient Base64) otherwise. Never
/// throws on any input.
AgentMessage decodeAgentMessage(std::string_view message, bool binary);

/// Short English description of a kind for the log ("not JSON", ...).
std::string_view describe(AgentMessage::Kind kind);

} // namespace velmora::server
