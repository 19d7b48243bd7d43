// Random bytes for everything a client must not be able to guess: session IDs, token nonces,
// the server secret.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace velmora::server {

/// Fills the buffer with random bytes. Throws std::runtime_error when no randomness is available:
/// the server must not go on with guessable IDs or secrets.
using RandomSource = std::function<void(unsigned char *buffer, std::size_t size)>;

/// OpenSSL's CSPRNG (RAND_bytes).
RandomSource cryptoRandom();

/// A uniformly distributed value in [0, bound) drawn from `random` by rejection sampling, so that
/// no value is more likely than another. Precondition: bound > 0.
std::uint32_t uniformBelow(std::uint32_t bound, const RandomSource &random);

} // namespace velmora::server
