// Session tokens: let an agent keep its session ID across reconnects and server restarts without
// the server storing anything but one secret.
#pragma once

#include "server/core/securerandom.h"

#include <optional>
#include <string>
#include <string_view>

namespace velmora::server {

/// Issues and checks tokens of the form ID "-" NONCE "-" MAC: the nine-digit session ID, 32 hex
/// digits of random nonce (so that every issued token differs) and 64 hex digits of
/// HMAC-SHA256 over both under the server secret. Only characters that are valid in a cookie
/// value appear.
class SessionTokens
{
public:
    /// `secret` is the key; precondition: not empty.
    explicit SessionTokens(std::string secret, RandomSource random = cryptoRandom());

    /// A new token for `id`. Precondition: isSessionId(id).
    std::string issue(std::string_view id) const;

    /// The session ID that `token` was issued for, or nothing when the token is malformed, altered
    /// or made under another secret. The MAC is compared in constant time.
    std::optional<std::string> verify(std::string_view token) const;

    /// What tells two tokens of the same ID apart (their nonce), for records that must not hold
    /// the token itself. Precondition: verify(token) succeeded.
    static std::string fingerprint(std::string_view token)
    {
        return std::string(token.substr(10, 32));
    }

    /// Length of every token this class issues.
    static constexpr std::size_t kTokenSize = 9 + 1 + 32 + 1 + 64;

private:
    std::string mac(std::string_view id, std::string_view nonce) const;

    std::string secret;
    RandomSource random;
};

} // namespace velmora::server
