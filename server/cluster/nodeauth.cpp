#include "server/cluster/nodeauth.h"

#include "server/core/hmac.h"

#include <charconv>
#include <stdexcept>

namespace velmora::server {

namespace {

// Binds the MAC to this use of the secret: a session token can never pass for it.
constexpr std::string_view kContext = "velmora node forward v2";
constexpr std::size_t kNonceBytes = 16;
constexpr std::size_t kNonceDigits = 2 * kNonceBytes;

} // namespace

NodeAuth::NodeAuth(std::string secret, RandomSource random)
    : secret(std::move(secret)), random(std::move(random))
{
    if (this->secret.empty())
        throw std::invalid_argument("empty node secret");
}

std::string NodeAuth::sign(std::string_view id, std::string_view client,
                           std::int64_t unixSeconds) const
{
    unsigned char bytes[kNonceBytes];
    random(bytes, sizeof bytes);
    const std::string nonce = toHex(bytes, sizeof bytes);
    const std::string seconds = std::to_string(unixSeconds);
    return seconds + ":" + nonce + ":" + mac(id, client, seconds, nonce);
}

bool NodeAuth::verify(std::string_view id, std::string_view client, std::string_view signature,
                      std::int64_t unixSeconds) const
{
    const auto colon = signature.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 19)
        return false;
    const std::string_view seconds = signature.substr(0, colon);
    std::int64_t signedAt = 0;
    const auto [end, error] =
        std::from_chars(seconds.data(), seconds.data() + seconds.size(), signedAt);
    if (error != std::errc() || end != seconds.data() + seconds.size())
        return false;
    if (signedAt < unixSeconds - kSkewSeconds || signedAt > unixSeconds + kSkewSeconds)
        return false;
    const std::string_view rest = signature.substr(colon + 1);
    if (rest.size() <= kNonceDigits || rest[kNonceDigits] != ':')
        return false;
    const std::string_view nonce = rest.substr(0, kNonceDigits);
    const std::string_view given = rest.substr(kNonceDigits + 1);
    return isLowerHex(nonce) && isLowerHex(given) &&
           equalMacs(mac(id, client, seconds, nonce), given);
}

std::string_view NodeAuth::nonceOf(std::string_view signature)
{
    return signature.substr(signature.find(':') + 1, kNonceDigits);
}

std::string NodeAuth::mac(std::string_view id, std::string_view client, std::string_view seconds,
                          std::string_view nonce) const
{
    // Every field is free of '|' except the client, which comes second: lengths make the
    // message unambiguous whatever it holds.
    std::string message;
    message.append(kContext)
        .append("|")
        .append(std::to_string(id.size()))
        .append(":")
        .append(id)
        .append("|")
        .append(std::to_string(client.size()))
        .append(":")
        .append(client)
        .append("|")
        .append(seconds)
        .append("|")
        .append(nonce);
    return hmacSha256Hex(secret, message);
}

} // namespace velmora::server
