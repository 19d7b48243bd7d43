// One hiredis asynchronous context driven by Asio, as hiredis's own adapters (adapters/libevent.h,
// adapters/libuv.h) drive it by other loops: hiredis says when it wants to read or write its
// socket, and Asio tells it when the socket is ready. hiredis owns the context and frees it itself
// after a connection error, and after the callbacks of a free asked for from inside one of them;
// this object stands between the context and its owner so that either may go first.
#pragma once

#include "server/beast/beast.h"
#include "server/cluster/redisreply.h"

#include <boost/asio/posix/stream_descriptor.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct redisAsyncContext;

namespace velmora::server {

class HiredisAsio
{
public:
    /// What the context tells its owner, on the loop's thread.
    class Owner
    {
    public:
        /// The non-blocking connect succeeded.
        virtual void connected() = 0;
        /// The reply to the command sent with `tag`.
        virtual void replied(std::uint64_t tag, const RedisReply &reply) = 0;
        /// hiredis is freeing the context (a lost connection, a failed connect): `reason` as
        /// hiredis gives it. Not called after close().
        virtual void gone(const std::string &reason) = 0;

    protected:
        ~Owner() = default;
    };

    /// Starts connecting to Redis at `address` (an IP address, not a name: hiredis would
    /// resolve a name blocking the loop) and `port`, or at the Unix socket `unixPath` when it is
    /// not empty, driven by `io`; tells `owner` from then on. Nothing, with `error` set, when
    /// hiredis fails at once or Asio cannot watch the socket.
    static std::shared_ptr<HiredisAsio> connect(net::io_context &io, Owner &owner,
                                                const std::string &address, std::uint16_t port,
                                                const std::string &unixPath, std::string &error);

    /// Hands a command to hiredis (binary-safe arguments); its reply goes to Owner::replied with
    /// `tag`. False when the context takes no more commands.
    bool send(std::uint64_t tag, const std::vector<std::string> &arguments);

    /// Forgets the owner and has hiredis free the context (later, when called from inside one of
    /// its callbacks). Idempotent.
    void close();

    /// Only for attach.
    HiredisAsio(redisAsyncContext *context, net::io_context &io, Owner &owner);

private:
    static std::shared_ptr<HiredisAsio> attach(redisAsyncContext *context, net::io_context &io,
                                               Owner &owner, std::string &error);
    static void arm(const std::shared_ptr<HiredisAsio> &self, bool write);
    static std::shared_ptr<HiredisAsio> &of(void *data);
    static void addRead(void *data);
    static void delRead(void *data);
    static void addWrite(void *data);
    static void delWrite(void *data);
    static void cleanup(void *data);
    static void onConnect(const redisAsyncContext *context, int status);
    static void onReply(redisAsyncContext *context, void *reply, void *tag);

    /// Null once hiredis has freed it.
    redisAsyncContext *context;
    Owner *owner;
    std::optional<net::posix::stream_descriptor> descriptor;
    bool reading = false;
    bool writing = false;
    bool waitingRead = false;
    bool waitingWrite = false;
    bool closing = false;
};

} // namespace velmora::server
