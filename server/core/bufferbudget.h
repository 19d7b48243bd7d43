// The bytes of messages in progress that the server holds for its peers, per client and in all.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

namespace velmora::server {

/// A WebSocket message is held until its last byte has arrived, so a peer that sends a large
/// message slowly, or never finishes it, holds that memory. A connection takes its share here as
/// the bytes arrive and gives it back when the message is complete or the connection ends; one
/// that would go over its client's budget or the server's is dropped. Clients are keys as
/// clientKey gives them. No sockets, no clock.
class BufferBudget
{
public:
    struct Limits
    {
        std::size_t perClient = 64 * 1024 * 1024;
        std::size_t total = 512 * 1024 * 1024;
    };

    BufferBudget();
    explicit BufferBudget(Limits limits);

    /// Takes `bytes` more for `client`. False, taking nothing, when either budget would be
    /// exceeded.
    bool take(const std::string &client, std::size_t bytes);
    /// Gives back `bytes` that `client` took. Precondition: it took at least that much.
    void give(const std::string &client, std::size_t bytes);

    std::size_t held() const { return total; }
    std::size_t heldBy(const std::string &client) const;
    /// Clients holding anything (the others are forgotten).
    std::size_t clients() const { return byClient.size(); }
    const Limits &limits() const { return bounds; }

private:
    Limits bounds;
    std::size_t total = 0;
    std::unordered_map<std::string, std::size_t> byClient;
};

} // namespace velmora::server
