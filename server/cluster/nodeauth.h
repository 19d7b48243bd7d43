// What one node of a cluster tells another when it carries a supporter there: the supporter's
// address (for the per-address limits), signed with the secret that every node reads, so that
// nobody else can claim an address by sending the same headers (kCarriedClientHeader and
// kNodeSignatureHeader). Each signature holds a fresh nonce, which the receiving node lets pass
// once (ClusterNode remembers it in Redis for kRememberNonce), so that a captured signature
// cannot be replayed.
#pragma once

#include "server/core/securerandom.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::server {

class NodeAuth
{
public:
    /// A signature is taken this long around its time: the round trip from one node to another
    /// takes milliseconds, and the nodes' clocks are kept by NTP.
    static constexpr std::int64_t kSkewSeconds = 5;
    /// A used nonce is remembered this long: once it has passed, the signature's time fails
    /// anyway (a second beyond either side of the skew, for whole seconds).
    static constexpr std::chrono::milliseconds kRememberNonce{(2 * kSkewSeconds + 2) * 1000};

    /// `secret`: the server secret; precondition: not empty. `random` makes the nonces.
    explicit NodeAuth(std::string secret, RandomSource random = cryptoRandom());

    /// The signature header's value for carrying the supporter from `client` to `id` at
    /// `unixSeconds`: "SECONDS:NONCE:MAC", with a new NONCE (32 hex digits) each time.
    std::string sign(std::string_view id, std::string_view client, std::int64_t unixSeconds) const;

    /// True when `signature` is one that sign(id, client, t) made for a t within kSkewSeconds of
    /// `unixSeconds`. Whether it was used before is for the caller to ask (nonceOf).
    bool verify(std::string_view id, std::string_view client, std::string_view signature,
                std::int64_t unixSeconds) const;

    /// The nonce of a signature that verify accepted.
    static std::string_view nonceOf(std::string_view signature);

private:
    std::string mac(std::string_view id, std::string_view client, std::string_view seconds,
                    std::string_view nonce) const;

    std::string secret;
    RandomSource random;
};

} // namespace velmora::server
