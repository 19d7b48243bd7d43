#include "server/core/securerandom.h"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <climits>
#include <stdexcept>

namespace velmora::server {

RandomSource cryptoRandom()
{
    return [](unsigned char *buffer, std::size_t size) {
        while (size > 0) {
            const int chunk = size > INT_MAX ? INT_MAX : static_cast<int>(size);
            if (RAND_bytes(buffer, chunk) != 1) {
                throw std::runtime_error("the system's random number generator failed (error " +
                                         std::to_string(ERR_get_error()) + ")");
            }
            buffer += chunk;
            size -= static_cast<std::size_t>(chunk);
        }
    };
}

std::uint32_t uniformBelow(std::uint32_t bound, const RandomSource &random)
{
    // Values at or above the largest multiple of `bound` would make the low results more likely
    // than the high ones; draw again instead.
    const std::uint64_t range = std::uint64_t(1) << 32;
    const std::uint64_t limit = range - range % bound;
    for (;;) {
        unsigned char bytes[4];
        random(bytes, sizeof bytes);
        const std::uint32_t value = std::uint32_t(bytes[0]) << 24 | std::uint32_t(bytes[1]) << 16 |
                                    std::uint32_t(bytes[2]) << 8 | std::uint32_t(bytes[3]);
        if (value < limit)
            return static_cast<std::uint32_t>(value % bound);
    }
}

} // namespace velmora::server
