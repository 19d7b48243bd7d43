#include "server/core/sessiontokens.h"

#include "server/core/sessionids.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <stdexcept>

namespace velmora::server {

namespace {

constexpr std::size_t kNonceBytes = 16;
constexpr std::size_t kMacBytes = 32;
// Binds the MAC to this use of the secret, should the secret ever sign anything else.
constexpr std::string_view kContext = "velmora session token v1";

std::string toHex(const unsigned char *bytes, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out(size * 2, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return out;
}

bool isLowerHex(std::string_view text)
{
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

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
    const std::string expected = mac(id, nonce);
    if (CRYPTO_memcmp(expected.data(), given.data(), expected.size()) != 0)
        return std::nullopt;
    return std::string(id);
}

std::string SessionTokens::mac(std::string_view id, std::string_view nonce) const
{
    std::string message;
    message.append(kContext).append("|").append(id).append("|").append(nonce);
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outSize = 0;
    if (!HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
              reinterpret_cast<const unsigned char *>(message.data()), message.size(), out,
              &outSize) ||
        outSize != kMacBytes) {
        throw std::runtime_error("HMAC-SHA256 failed");
    }
    return toHex(out, outSize);
}

} // namespace velmora::server
