// What one WebSocket connection may send and how long it may stay silent, by the peer's role.
#pragma once

#include <chrono>
#include <cstddef>

namespace velmora::server {

struct ServerConfig;

/// What an agent may send outside a session: nothing it needs to, so little.
inline constexpr std::size_t kAgentMessageOutsideSession = 4096;

struct ConnectionLimits
{
    /// Largest message read; a larger one fails the connection with code 1009.
    std::size_t maxMessage = 0;
    /// The same outside a session: an agent then has nothing to say that takes more room.
    std::size_t maxMessageOutsideSession = 0;
    /// How long a message may take from its first byte to its last.
    std::chrono::milliseconds messageTimeout{30000};
    /// Queue size above which the connection counts as congested (see aboveHighWater).
    std::size_t highWater = 0;
    /// Ping after half of this without incoming traffic, drop after all of it.
    std::chrono::milliseconds idleTimeout{30000};
    /// Bound on the opening and closing handshakes.
    std::chrono::milliseconds handshakeTimeout{10000};
    /// zlib level of the permessage-deflate offered in the handshake; -1: none offered.
    int deflateLevel = -1;
};

/// A supporter's: the configured message size, high-water mark and idle timeout, and the request
/// timeout for the handshakes.
ConnectionLimits supporterLimits(const ServerConfig &config);

/// An agent's: a supporter's, but with room for a frame of the largest size in an envelope in a
/// session, and only a few kilobytes outside one (agents send nothing then).
ConnectionLimits agentLimits(const ServerConfig &config);

} // namespace velmora::server
