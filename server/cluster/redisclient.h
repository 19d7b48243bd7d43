// One connection to Redis on the server's event loop (hiredis's asynchronous API driven by Asio,
// see HiredisAsio), for the state that several nodes share: connecting and reconnecting, the
// handshake (AUTH, SELECT, PING), replies that never come, and Lua scripts that Redis forgot.
// Never blocks the loop. Runs on the thread of its io_context.
#pragma once

#include "server/beast/beast.h"
#include "server/cluster/redisreply.h"
#include "server/core/redisurl.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmora::server {

class RedisClient
{
public:
    struct Stats
    {
        bool connected = false;
        std::uint64_t commands = 0;
        /// Replies that are errors, of Redis or of the connection, and failed connection attempts.
        std::uint64_t errors = 0;
        /// Round trip of the latest reply, and its moving average (1/8 weight), in microseconds.
        std::uint64_t lastLatencyUs = 0;
        std::uint64_t averageLatencyUs = 0;
    };

    /// `log` gets a line when the connection is lost (or the first attempts fail) and when it is
    /// back: one each per outage, not per command or attempt.
    RedisClient(net::io_context &io, RedisEndpoint endpoint,
                std::function<void(const std::string &)> log);
    /// Drops pending callbacks without calling them (their owner may be going away too); call
    /// stop() first to have them called. Safe from inside any of the client's callbacks.
    ~RedisClient();
    RedisClient(const RedisClient &) = delete;
    RedisClient &operator=(const RedisClient &) = delete;

    /// One connection attempt of a client of its own (connect, AUTH, SELECT, PING) on a loop of
    /// its own, blocking for at most `timeout`: for start-up, before anything listens. Nothing
    /// when Redis answered, else why not in the line the client would log, such as "cannot reach
    /// Redis at 127.0.0.1:6379: Connection refused".
    static std::optional<std::string> checkReachable(const RedisEndpoint &endpoint,
                                                     std::chrono::milliseconds timeout);

    /// Connects in the background and keeps connecting, once every `retry`, while it is down (an
    /// attempt that gets no answer is given up after max(retry, 2 s)). A host name is resolved
    /// asynchronously. Nothing when already started.
    void start(std::chrono::milliseconds retry = std::chrono::milliseconds(1000));
    /// Disconnects; pending callbacks get an Error reply, called from inside stop(). No callback
    /// runs after it returns. Safe in any state, also from inside a callback; start() may follow.
    void stop();

    /// Connected and answering: a connection on which a reply is more than 2 s late counts as
    /// lost (every pending callback gets an Error reply) and is made again.
    bool connected() const;

    /// Sends a command (binary-safe arguments). `done` is called once, always later on the
    /// loop (never from inside this call); with an Error reply when not connected ("not
    /// connected to Redis") and when the connection is lost before the reply ("Redis connection
    /// lost"). Commands are not queued while disconnected: the caller decides what to retry.
    void command(std::vector<std::string> arguments, RedisCallback done);
    /// EVALSHA of `script` with its keys and arguments (EVAL when Redis answers NOSCRIPT).
    void eval(const RedisScript &script, std::vector<std::string> keys,
              std::vector<std::string> arguments, RedisCallback done);

    /// Called each time the connection is (re)established, after AUTH and SELECT: a node
    /// publishes its state again from there.
    void onConnected(std::function<void()> handler);
    /// Called each time an established connection is taken as lost (closed, or a reply too
    /// late), before the log line says so.
    void onLost(std::function<void()> handler);

    Stats stats() const;

private:
    struct State;
    std::unique_ptr<State> state;
};

} // namespace velmora::server
