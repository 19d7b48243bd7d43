#include "server/cluster/deferredreplies.h"

#include <boost/asio/post.hpp>

namespace velmora::server {

DeferredReplies::DeferredReplies(net::io_context &io) : io(io) {}

void DeferredReplies::deliverLater(RedisCallback done, RedisReply reply)
{
    queue.push_back({std::move(done), std::move(reply)});
    if (drainPosted)
        return;
    drainPosted = true;
    net::post(io, [this, weak = std::weak_ptr<bool>(alive)] {
        if (weak.expired())
            return;
        drainPosted = false;
        drain();
    });
}

void DeferredReplies::drain()
{
    const std::weak_ptr<bool> weak = alive;
    while (!queue.empty()) {
        Deferred item = std::move(queue.front());
        queue.pop_front();
        item.done(item.reply);
        if (weak.expired())
            return;
    }
}

} // namespace velmora::server
