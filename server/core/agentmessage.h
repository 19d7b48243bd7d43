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
        /// JSON nested deeper than the envelope's one flat object: refused before any parse.
        TooDeep,
        /// Larger than kGeneralPathLimit without being the compact "rfb" envelope: refused
        /// before any parse.
        TooLarge,
    };
    Kind kind = Kind::NotJson;
    std::string bytes;
    std::string action;
};

/// The largest message that takes the general path. Agents send compact envelopes, which the
/// fast path checks and decodes in one pass whatever their size; a general JSON parse of an
/// attacker's megabytes would hold the server's only thread for as long as it takes.
inline constexpr std::size_t kGeneralPathLimit = 64 * 1024;

/// Decodes one WebSocket message from an agent. Takes the fast path for the compact "rfb"
/// envelope that agents send, checking its shape and decoding its payload in one pass; otherwise,
/// for a message of at most kGeneralPathLimit bytes that nests no deeper than one object, the
/// general path (text up to the first zero byte, one JSON value, string members only, payload up
/// to its first zero, lenient Base64). Never throws on any input.
AgentMessage decodeAgentMessage(std::string_view message, bool binary);

/// Whether an agent that sent a message of this kind may not stay connected: it sent what no
/// agent sends (TooDeep, TooLarge). Other malformed messages are only dropped.
bool forbidden(AgentMessage::Kind kind);

/// Short English description of a kind for the log ("not JSON", ...).
std::string_view describe(AgentMessage::Kind kind);

} // namespace velmora::server
