// A supporter whose agent sits on another node of the cluster: the session is carried there over
// a WebSocket of our own to that node's /viewer/ID, which sees the supporter's address through a
// signed header and does everything it does for its own supporters (the handshake follower,
// locks, close reasons). This side relays the same bytes both ways and passes the far side's
// close code and reason on, so the supporter cannot tell the difference.
#pragma once

#include "server/beast/beast.h"
#include "server/core/closereasons.h"
#include "server/net/supportersession.h"

#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace velmora::server {

class SupporterConnection;

/// Lifetime: shared by the supporter's connection (as its session) and by the pending
/// operations on the link; refers to the supporter weakly.
class ForwardedSession : public SupporterSession,
                         public std::enable_shared_from_this<ForwardedSession>
{
public:
    struct Settings
    {
        /// "HOST:PORT" of the agent's node (its plain listener).
        std::string node;
        /// The supporter's address (see clientKey), and the signature header's value for it and
        /// the ID (see NodeAuth).
        std::string client;
        std::string signature;
        /// Time to reach the node and finish the WebSocket handshake with it.
        std::chrono::milliseconds connectTimeout{5000};
        /// Largest message either way.
        std::size_t maxMessage = 8 * 1024 * 1024;
        /// Queued bytes towards the node above which the supporter is not read.
        std::size_t highWater = 1024 * 1024;
    };

    /// `ended` is told once, with a line for the log, when the session is over.
    ForwardedSession(net::io_context &io, Settings settings, std::string id,
                     const std::shared_ptr<SupporterConnection> &supporter,
                     std::function<void(const std::string &)> ended);
    ~ForwardedSession() override;

    /// Joins the supporter and connects to the node. Call once, right after construction.
    void start();

    void fromSupporter(SupporterConnection &sender, std::string_view bytes) override;
    void supporterDrained() override;
    void supporterLeft(const std::string &why) override;

private:
    void onResolve(const beast::error_code &ec, const tcp::resolver::results_type &results);
    void onConnect(const beast::error_code &ec, const tcp::endpoint &);
    void onHandshake(const beast::error_code &ec);
    void doRead();
    void onRead(const beast::error_code &ec, std::size_t);
    void doWrite();
    void onWrite(const beast::error_code &ec, std::size_t);
    /// The link failed or closed: the supporter gets what the node said, or `fallback`.
    void linkEnded(const beast::error_code &ec, const char *step);
    void finish(const std::string &why);

    Settings settings;
    const std::string id;
    const std::weak_ptr<SupporterConnection> supporter;
    std::function<void(const std::string &)> ended;
    tcp::resolver resolver;
    websocket::stream<beast::tcp_stream> link;
    beast::flat_buffer buffer;
    std::deque<std::string> queue;
    std::size_t queued = 0;
    bool open = false;
    bool reading = false;
    bool writing = false;
    /// Reading the node waits until the supporter's queue drains.
    bool readPaused = false;
    bool done = false;
};

} // namespace velmora::server
