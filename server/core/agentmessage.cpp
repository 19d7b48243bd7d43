#include "server/core/agentmessage.h"

#include "protocol/base64.h"
#include "protocol/envelope.h"

namespace velmora::server {

namespace envelope = velmora::envelope;

namespace {

// One pass over the text, outside strings: true as soon as arrays or objects nest deeper than
// `limit`, before a parser would have built anything of it.
bool nestsDeeperThan(std::string_view text, int limit)
{
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

} // namespace

AgentMessage decodeAgentMessage(std::string_view message, bool binary)
{
    AgentMessage result;
    if (!binary) {
        result.kind = AgentMessage::Kind::TextFrame;
        return result;
    }
    result.bytes.resize(base64::maxDecodedSize(message.size()));
    if (const auto length = envelope::decodeCompactRfb(message, result.bytes.data())) {
        result.kind = AgentMessage::Kind::Rfb;
        result.bytes.resize(*length);
        return result;
    }
    result.bytes.clear();
    result.bytes.shrink_to_fit();
    if (message.size() > kGeneralPathLimit) {
        result.kind = AgentMessage::Kind::TooLarge;
        return result;
    }
    const std::string_view text = envelope::untilZero(message);
    if (nestsDeeperThan(text, 1)) {
        result.kind = AgentMessage::Kind::TooDeep;
        return result;
    }
    const auto value = envelope::parse(text);
    if (!value) {
        result.kind = AgentMessage::Kind::NotJson;
        return result;
    }
    const std::string *version = envelope::stringMember(*value, "api_version");
    if (!version || *version != envelope::kApiVersion) {
        result.kind = AgentMessage::Kind::WrongVersion;
        return result;
    }
    const std::string *action = envelope::stringMember(*value, "action");
    if (!action) {
        result.kind = AgentMessage::Kind::NoAction;
        return result;
    }
    if (*action != envelope::kActionRfb) {
        result.kind = AgentMessage::Kind::OtherAction;
        result.action = *action;
        return result;
    }
    const std::string *payload = envelope::stringMember(*value, "payload");
    if (!payload) {
        result.kind = AgentMessage::Kind::NoPayload;
        return result;
    }
    result.kind = AgentMessage::Kind::Rfb;
    result.bytes = base64::decode(envelope::untilZero(*payload));
    return result;
}

std::string_view describe(AgentMessage::Kind kind)
{
    switch (kind) {
    case AgentMessage::Kind::Rfb:
        return "rfb";
    case AgentMessage::Kind::TextFrame:
        return "text frame";
    case AgentMessage::Kind::NotJson:
        return "not JSON";
    case AgentMessage::Kind::WrongVersion:
        return "missing or wrong api_version";
    case AgentMessage::Kind::NoAction:
        return "missing action";
    case AgentMessage::Kind::OtherAction:
        return "unexpected action";
    case AgentMessage::Kind::NoPayload:
        return "missing payload";
    case AgentMessage::Kind::TooDeep:
        return "nested deeper than an envelope";
    case AgentMessage::Kind::TooLarge:
        return "too large for anything but a compact envelope";
    }
    return "unknown";
}

bool forbidden(AgentMessage::Kind kind)
{
    return kind == AgentMessage::Kind::TooDeep || kind == AgentMessage::Kind::TooLarge;
}

} // namespace velmora::server
