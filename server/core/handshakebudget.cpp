#include "server/core/handshakebudget.h"

namespace velmora::server {

HandshakeBudget::HandshakeBudget() : HandshakeBudget(Limits{}) {}

HandshakeBudget::HandshakeBudget(Limits limits) : bounds(limits) {}

HandshakeBudget::Refusal HandshakeBudget::begin(const std::string &client)
{
    if (total >= bounds.inAll)
        return Refusal::ServerBusy;
    if (inProgress(client) >= bounds.perClient)
        return Refusal::ClientLimit;
    ++byClient[client];
    ++total;
    return Refusal::None;
}

void HandshakeBudget::end(const std::string &client)
{
    const auto it = byClient.find(client);
    if (it == byClient.end())
        return;
    --total;
    if (--it->second == 0)
        byClient.erase(it);
}

std::size_t HandshakeBudget::inProgress(const std::string &client) const
{
    const auto it = byClient.find(client);
    return it == byClient.end() ? 0 : it->second;
}

} // namespace velmora::server
