#include "server/core/connectionlimits.h"

#include "protocol/envelope.h"
#include "server/core/serverconfig.h"

namespace velmora::server {

ConnectionLimits supporterLimits(const ServerConfig &config)
{
    ConnectionLimits limits;
    limits.maxMessage = config.options.maxMessage;
    limits.maxMessageOutsideSession = config.options.maxMessage;
    limits.messageTimeout = config.options.messageTimeout;
    limits.highWater = config.highWater;
    limits.idleTimeout = config.options.idleTimeout;
    limits.handshakeTimeout = config.options.requestTimeout();
    limits.deflateLevel = config.options.supporterDeflate;
    return limits;
}

ConnectionLimits agentLimits(const ServerConfig &config)
{
    ConnectionLimits limits = supporterLimits(config);
    // An agent's envelope carries a frame in Base64 plus its members; allow some extra members
    // and white space on top.
    limits.maxMessage = envelope::rfbEnvelopeSize(config.options.maxMessage) + 4096;
    limits.maxMessageOutsideSession = kAgentMessageOutsideSession;
    // The agent's design fixes its envelopes; compressing Base64 is not for it to negotiate.
    limits.deflateLevel = -1;
    return limits;
}

} // namespace velmora::server
