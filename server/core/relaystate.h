// The bookkeeping of one relayed session: what may go to the agent yet, and how much went where.
#pragma once

#include "server/core/clock.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::server {

/// After "start_session" the agent opens its proxy connection asynchronously and drops what it is
/// sent before that connection is up. The first "rfb" envelope from the agent proves it is up, so
/// supporter messages are held until then, in order, and released all at once.
class RelayState
{
public:
    /// `holdLimit`: bytes of held envelopes above which the caller should stop reading from the
    /// supporter (see holdFull).
    RelayState(std::size_t holdLimit, Clock::time_point start);

    /// A supporter message: returns the "rfb" envelope to send to the agent now, or nothing when
    /// it is held.
    std::optional<std::string> fromSupporter(std::string_view bytes);

    /// An "rfb" payload of `size` bytes from the agent, about to go to the supporter. The first
    /// call returns the held envelopes, oldest first; later calls return none.
    std::deque<std::string> fromAgent(std::size_t size);

    /// True until the agent's first "rfb" envelope.
    bool waitingForAgent() const { return waiting; }
    /// True when the held envelopes reached the hold limit.
    bool holdFull() const { return heldBytes >= holdLimit; }

    std::uint64_t bytesToAgent() const { return toAgent; }
    std::uint64_t bytesToSupporter() const { return toSupporter; }
    Clock::duration age(Clock::time_point now) const { return now - start; }

    /// "N bytes to the agent, M bytes to the supporter, S.SSS s".
    std::string summary(Clock::time_point now) const;

private:
    std::size_t holdLimit;
    Clock::time_point start;
    bool waiting = true;
    std::deque<std::string> held;
    std::size_t heldBytes = 0;
    std::uint64_t heldPayload = 0;
    std::uint64_t toAgent = 0;
    std::uint64_t toSupporter = 0;
};

} // namespace velmora::server
