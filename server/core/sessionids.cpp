#include "server/core/sessionids.h"

#include <stdexcept>

namespace velmora::server {

namespace {
constexpr std::uint32_t kLowest = 100000000;
constexpr std::uint32_t kCount = 900000000;
} // namespace

bool isSessionId(std::string_view text)
{
    if (text.size() != kSessionIdDigits || text.front() == '0')
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

SessionIdGenerator::SessionIdGenerator(RandomSource random) : random(std::move(random)) {}

std::string SessionIdGenerator::next(const std::function<bool(std::string_view)> &taken) const
{
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::string id = std::to_string(kLowest + uniformBelow(kCount, random));
        if (!taken(id))
            return id;
    }
    throw std::runtime_error("no free session ID found");
}

} // namespace velmora::server
