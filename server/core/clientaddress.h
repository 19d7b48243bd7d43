// Which client a connection belongs to, for limits per client: its address, with IPv6 addresses
// taken by their /64 network (one subscriber usually holds a whole /64).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmora::server {

/// The key for `address` (an IPv4 or IPv6 literal without port or brackets): IPv4 as is,
/// IPv4-mapped IPv6 as the IPv4 address, other IPv6 as "PREFIX::/64". Nothing for text that is
/// not an address.
std::optional<std::string> clientKey(std::string_view address);

/// The address that the nearest proxy put last in an X-Forwarded-For header ("a, b, c" -> c),
/// when it is an address; nothing otherwise. Only meaningful behind a proxy that appends the
/// address of whoever connected to it.
std::optional<std::string> lastForwardedFor(std::string_view header);

} // namespace velmora::server
