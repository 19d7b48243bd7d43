// One accepted WebSocket connection of the server, over plain TCP or TLS: a read loop that can
// pause, and a queue of outgoing binary messages with one write in flight.
#pragma once

#include "server/beast/beast.h"
#include "server/beast/transport.h"
#include "server/core/bufferbudget.h"
#include "server/core/clock.h"
#include "server/core/closereasons.h"
#include "server/core/connectionlimits.h"
#include "server/core/sessionregistry.h"

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::server {

/// Lifetime: shared; every pending operation holds a reference, and the owner keeps one until
/// onClosed or onHandshakeFailed (a paused connection with an empty queue has no operation
/// pending). The subclass gets onOpen once after a successful handshake and then exactly one
/// onClosed; or only onHandshakeFailed; or, when close() came during the handshake, only
/// onClosed.
class WsConnection : public std::enable_shared_from_this<WsConnection>
{
public:
    /// `transport`: the connection that carried the upgrade request (its TLS handshake done).
    WsConnection(Transport transport, ConnectionId id, std::string remote, ConnectionLimits limits);
    virtual ~WsConnection();
    WsConnection(const WsConnection &) = delete;
    WsConnection &operator=(const WsConnection &) = delete;

    /// Holds the bytes of each message in progress to `budget` under `client` (see clientKey):
    /// a connection that would go over it is dropped. Call before start(); `budget` must
    /// outlive the connection. Without it, messages in progress are bounded only by their size
    /// and time.
    void holdMessagesTo(BufferBudget &budget, std::string client);

    /// Answers the upgrade request, choosing the subprotocol "binary" when offered. Messages may
    /// then be as large as the limits allow outside a session.
    void start(Request request);

    /// The largest message from now on: a larger one fails the connection with code 1009.
    void setMessageLimit(std::size_t bytes);
    const ConnectionLimits &connectionLimits() const { return limits; }

    /// Queues one binary message; ignored once closing has begun.
    void send(std::string message);

    /// Sends a close frame after the queued messages and finishes once the peer answers (or the
    /// handshake timeout passes). Reading goes on meanwhile, but nothing more is delivered.
    void close(const CloseReason &reason);
    /// The same with a reason text of its own (at most 123 bytes, as a close frame allows).
    void close(std::uint16_t code, std::string reason);

    /// Drops the TCP connection at once.
    void abort();

    /// Asks the peer for a sign of life: sends a ping, and calls `answered(true)` (later, on the
    /// loop) once anything arrives from the peer (its pong, or a frame it was sending anyway), or
    /// `answered(false)` when the connection ends first. Returns false without calling
    /// `answered` when the connection is not open or is closing. Nothing arrives while reading is
    /// paused: a waiter then hears only of the end.
    bool ping(std::function<void(bool answered)> answered);

    /// Stops reading after the current message (one in progress is read to its end), and with it
    /// the idle timeout (the peer is not at fault when we do not read).
    void pauseReading();
    void resumeReading();
    bool readingPaused() const { return paused; }

    std::size_t queuedBytes() const { return queued; }
    bool aboveHighWater() const { return queued > limits.highWater; }
    /// True when a write has been in flight longer than the idle timeout.
    bool stalled(Clock::time_point now) const;
    /// True when a message has been arriving for longer than the message timeout.
    bool messageOverdue(Clock::time_point now) const;
    bool closing() const { return closeRequested || finished; }

    ConnectionId id() const { return connectionId; }
    const std::string &remote() const { return remoteText; }

protected:
    /// Only the first few dropped messages of a connection are logged, so that a misbehaving peer
    /// cannot flood the log.
    static constexpr unsigned kLoggedDrops = 5;

    virtual void onOpen() = 0;
    virtual void onMessage(bool binary, std::string_view data) = 0;
    /// The queue fell to half the high-water mark after having been above it.
    virtual void onDrained() = 0;
    virtual void onClosed(const std::string &why) = 0;
    virtual void onHandshakeFailed(const std::string &why) = 0;

private:
    void onAccept(const beast::error_code &ec);
    void doRead();
    void onRead(const beast::error_code &ec, std::size_t);
    void doWrite();
    void onWrite(const beast::error_code &ec, std::size_t);
    void doClose();
    void onClose(const beast::error_code &ec);
    void finish(const std::string &why);
    /// Something arrived from the peer: the waiters of ping() hear of it.
    void heard();
    void releaseHeld();
    websocket::stream_base::timeout timeouts(bool idle) const;

    websocket::stream<Transport> ws;
    ConnectionId connectionId;
    std::string remoteText;
    ConnectionLimits limits;
    beast::flat_buffer buffer;
    /// Where the bytes of a message in progress count (null: nowhere), under which client, and
    /// how many count now.
    BufferBudget *budget = nullptr;
    std::string budgetClient;
    std::size_t held = 0;
    /// A message has begun and not ended; since when.
    bool inMessage = false;
    Clock::time_point messageStarted;
    std::deque<std::string> queue;
    std::size_t queued = 0;
    Clock::time_point writeStarted;
    std::vector<std::function<void(bool)>> lifeWaiters;
    /// A ping is being written (one at a time: its pong answers every waiter).
    bool pinging = false;
    std::uint16_t closeCode = 1000;
    std::string closeText;
    bool open = false;
    bool reading = false;
    bool paused = false;
    bool writing = false;
    bool congested = false;
    bool closeRequested = false;
    bool closeSent = false;
    bool finished = false;
};

} // namespace velmora::server
