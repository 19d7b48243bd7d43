// What a supporter's connection is joined to while it has a session: a relay to an agent on this
// node, or a link that carries the session to the node that holds the agent.
#pragma once

#include <string>
#include <string_view>

namespace velmora::server {

class SupporterConnection;

class SupporterSession
{
public:
    virtual ~SupporterSession() = default;

    /// A binary message from the supporter.
    virtual void fromSupporter(SupporterConnection &sender, std::string_view bytes) = 0;
    /// The supporter's queue drained: what sends to it may go on.
    virtual void supporterDrained() = 0;
    /// The supporter's connection ended (`why` as it gives it).
    virtual void supporterLeft(const std::string &why) = 0;
};

} // namespace velmora::server
