// TLS handshakes in progress, bounded per client and in all.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

namespace velmora::server {

/// Each TLS handshake holds tens of kilobytes (OpenSSL's state and record buffers) until it ends,
/// and a client that sends a few bytes of a ClientHello and no more makes it last the request
/// timeout: without a bound, the descriptors alone would limit that memory. A handshake begins
/// only within a budget per client (the key clientKey gives; IPv6 by its /64) and in all. No
/// sockets.
class HandshakeBudget
{
public:
    struct Limits
    {
        std::size_t perClient = 32;
        std::size_t inAll = 512;
    };

    enum class Refusal { None, ClientLimit, ServerBusy };

    HandshakeBudget();
    explicit HandshakeBudget(Limits limits);

    /// Counts one more handshake for `client`, or says why not (counting nothing).
    Refusal begin(const std::string &client);
    /// A handshake counted by begin ended, whichever way.
    void end(const std::string &client);

    std::size_t inProgress() const { return total; }
    std::size_t inProgress(const std::string &client) const;
    const Limits &limits() const { return bounds; }

private:
    Limits bounds;
    std::size_t total = 0;
    std::unordered_map<std::string, std::size_t> byClient;
};

} // namespace velmora::server
