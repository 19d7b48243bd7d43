// Who an agent connection is, as the server decides it when the agent comes online.
#pragma once

#include <string>

namespace velmora::server {

struct AgentIdentity
{
    /// The session ID and token: those of a valid token the agent presented, or fresh ones (empty
    /// until drawn).
    std::string id;
    std::string token;
    /// How it came, for the log ("new", "returning", "new; ...").
    std::string how = "new";

    bool returning() const { return how.rfind("returning", 0) == 0; }
};

} // namespace velmora::server
