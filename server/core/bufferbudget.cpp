#include "server/core/bufferbudget.h"

namespace velmora::server {

BufferBudget::BufferBudget() : BufferBudget(Limits{}) {}

BufferBudget::BufferBudget(Limits limits) : bounds(limits) {}

bool BufferBudget::take(const std::string &client, std::size_t bytes)
{
    if (bytes == 0)
        return true;
    const std::size_t mine = heldBy(client);
    if (bytes > bounds.total - total || bytes > bounds.perClient - mine || total > bounds.total ||
        mine > bounds.perClient)
        return false;
    byClient[client] = mine + bytes;
    total += bytes;
    return true;
}

void BufferBudget::give(const std::string &client, std::size_t bytes)
{
    if (bytes == 0)
        return;
    const auto it = byClient.find(client);
    if (it == byClient.end())
        return;
    const std::size_t returned = bytes < it->second ? bytes : it->second;
    it->second -= returned;
    total -= returned;
    if (it->second == 0)
        byClient.erase(it);
}

std::size_t BufferBudget::heldBy(const std::string &client) const
{
    const auto it = byClient.find(client);
    return it == byClient.end() ? 0 : it->second;
}

} // namespace velmora::server
