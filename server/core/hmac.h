// HMAC-SHA256 under the server secret, for everything the secret signs.
#pragma once

#include <string>
#include <string_view>

namespace velmora::server {

/// Lower-case hex of `size` bytes.
std::string toHex(const unsigned char *bytes, std::size_t size);

/// True when `text` holds only 0-9 and a-f.
bool isLowerHex(std::string_view text);

/// HMAC-SHA256 of `message` under `key`, as 64 lower-case hex digits. Throws std::runtime_error
/// when OpenSSL fails.
std::string hmacSha256Hex(std::string_view key, std::string_view message);

/// Compares in constant time (for MACs); false when the sizes differ.
bool equalMacs(std::string_view a, std::string_view b);

} // namespace velmora::server
