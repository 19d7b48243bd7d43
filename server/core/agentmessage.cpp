#include "server/core/agentmessage.h"

#include "protocol/base64.h"
#include "protocol/envelope.h"

namespace velmora::server {

namespace envelope = velmora::envelope;

AgentMessage decodeAgentMessage(std::string_view message, bool binary)
{
    AgentMessage result;
    if (!binary) {
        result.kind = AgentMessage::Kind::TextFrame;
        return result;
    }
    if (const auto payload = envelope::matchCompactRfb(message)) {
        result.kind = AgentMessage::Kind::Rfb;
        result.bytes = base64::decode(*payload);
        return result;
    }
    const auto value = envelope::parse(envelope::untilZero(message));
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
    }
    return "unknown";
}

} // namespace velmora::server
