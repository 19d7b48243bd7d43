#include "server/core/sessiontokens.h"

#include "server/core/hmac.h"
#include "server/core/sessionids.h"

#include <stdexcept>

namespace velmora::server {

namespace {

constexpr std::size_t kNonceBytes = 16;
// Binds the MAC to this use of the secret, should the secret ever sign anything else.
constexpr std::string_view kContext = "velmora session token v1";

} // namespace

SessionTokens::SessionTokens(std::string secret, RandomSource random)
    : secret(std::move(secret)), random(std::move(random))
{
    if (this->secret.empty())
        throw std::invalid_argument("empty token secret");
}

std::string SessionTokens::issue(std::string_view id) const
{
    unsigned char nonce[kNonceBytes];
    random(nonce, sizeof nonce);
    const std::string nonceHex = toHex(nonce, sizeof nonce);
    std::string token;
    token.reserve(kTokenSize);
    token.append(id).append("-").append(nonceHex).append("-").append(mac(id, nonceHex));
    return token;
}

std::optional<std::string> SessionTokens::verify(std::string_view token) const
{
    if (token.size() != kTokenSize || token[9] != '-' || token[9 + 1 + 2 * kNonceBytes] != '-')
        return std::nullopt;
    const std::string_view id = token.substr(0, 9);
    const std::string_view nonce = token.substr(10, 2 * kNonceBytes);
    const std::string_view given = token.substr(11 + 2 * kNonceBytes);
    if (!isSessionId(id) || !isLowerHex(nonce) || !isLowerHex(given))
        return std::nullopt;
    if (!equalMacs(mac(id, nonce), given))
        return std::nullopt;
    return std::string(id);
}

std::string SessionTokens::mac(std::string_view id, std::string_view nonce) const
{
    std::string message;
    message.append(kContext).append("|").append(id).append("|").append(nonce);
    return hmacSha256Hex(secret, message);
}

} // namespace velmora::server
