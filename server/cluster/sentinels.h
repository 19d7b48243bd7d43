// The Sentinels that watch Redis's primary: where the primary is now (SENTINEL
// get-master-addr-by-name), and word when a failover moves it (+switch-master). Each question
// goes to one Sentinel at a time, on a connection of its own driven by the loop (HiredisAsio); a
// Sentinel's host name is resolved asynchronously. Never blocks the loop. Runs on the thread of
// its io_context.
#pragma once

#include "server/beast/beast.h"
#include "server/core/redisurl.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmora::server {

class Sentinels
{
public:
    /// A host (a name or an address) and a port.
    using Address = RedisEndpoint::Sentinel;

    /// Asks the `sentinels` about the primary `masterName`; a Sentinel that has not answered
    /// within `timeout` is given up for the next one.
    Sentinels(net::io_context &io, std::vector<Address> sentinels, std::string masterName,
              std::chrono::milliseconds timeout);
    /// Drops pending callbacks without calling them.
    ~Sentinels();
    Sentinels(const Sentinels &) = delete;
    Sentinels &operator=(const Sentinels &) = delete;

    /// Asks the Sentinels in turn, from the one that answered last, where the primary is.
    /// `done` is called once, later on the loop: with the address the first Sentinel to know it
    /// gave, or with nothing and why the last one failed. A newer locate() or stop() drops an
    /// earlier call's `done` without calling it.
    void locate(std::function<void(std::optional<Address>, const std::string &why)> done);

    /// Until stop(): `moved` gets the primary's new address each time a Sentinel announces that
    /// a failover moved it. One subscription at a time; when it is lost, the next Sentinel is
    /// subscribed to after `timeout`.
    void watch(std::function<void(const Address &)> moved);

    /// Ends questions and the subscription; no callback runs after it returns.
    void stop();

    /// "HOST:PORT" of an address, for messages.
    static std::string describe(const Address &address);

private:
    struct State;
    std::shared_ptr<State> state;
};

} // namespace velmora::server
