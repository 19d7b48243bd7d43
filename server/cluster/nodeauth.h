// What one node of a cluster tells another when it carries a supporter there: the supporter's
// address (for the per-address limits), signed with the secret that every node reads, so that
// nobody else can claim an address by sending the same headers (kCarriedClientHeader and
// kNodeSignatureHeader).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::server {

class NodeAuth
{
public:
    /// A signature is taken this long around its time, for clocks that differ a little.
    static constexpr std::int64_t kSkewSeconds = 60;

    /// `secret`: the server secret; precondition: not empty.
    explicit NodeAuth(std::string secret);

    /// The signature header's value for carrying the supporter from `client` to `id` at
    /// `unixSeconds`: "SECONDS:MAC".
    std::string sign(std::string_view id, std::string_view client, std::int64_t unixSeconds) const;

    /// True when `signature` is sign(id, client, t) for a t within kSkewSeconds of `unixSeconds`.
    bool verify(std::string_view id, std::string_view client, std::string_view signature,
                std::int64_t unixSeconds) const;

private:
    std::string mac(std::string_view id, std::string_view client, std::string_view seconds) const;

    std::string secret;
};

} // namespace velmora::server
