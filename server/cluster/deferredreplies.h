// Replies that Redis did not give (the connection lost, never made, or the client stopped), each
// handed to its callback later on the loop, in order, and never from inside the call that failed:
// a caller may then send again or go away from its callback as from any other.
#pragma once

#include "server/beast/beast.h"
#include "server/cluster/redisreply.h"

#include <deque>
#include <memory>

namespace velmora::server {

class DeferredReplies
{
public:
    /// `io` must outlive the queue; runs on its thread.
    explicit DeferredReplies(net::io_context &io);

    /// Calls `done(reply)` on a later turn of the loop, after those queued before it.
    void deliverLater(RedisCallback done, RedisReply reply);
    /// Calls every queued callback now (for stop()); one that destroys the queue's owner ends it.
    void drain();
    /// Forgets the queued callbacks without calling them.
    void clear() { queue.clear(); }

private:
    struct Deferred
    {
        RedisCallback done;
        RedisReply reply;
    };

    net::io_context &io;
    std::deque<Deferred> queue;
    bool drainPosted = false;
    /// Expires with the queue: a drain posted to the loop checks it.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

} // namespace velmora::server
