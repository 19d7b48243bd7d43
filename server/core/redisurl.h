// Where Redis is, as --redis names it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace velmora::server {

struct RedisEndpoint
{
    /// TCP: host name or address (IPv6 without brackets) and port; or a Unix socket's path.
    std::string host;
    std::uint16_t port = 6379;
    std::string unixPath;
    /// AUTH: with a user name (Redis 6 ACL) or the password alone; none when empty.
    std::string user;
    std::string password;
    int database = 0;

    /// "HOST:PORT" or the socket's path, for messages (never the password).
    std::string describe() const;
};

/// Parses "redis://[[USER]:PASSWORD@]HOST[:PORT][/DB]" (HOST may be "[IPv6]"; percent-escapes
/// in USER and PASSWORD; PORT 6379 and DB 0 when left out; a user info without ':' is a
/// password, as for redis-cli) and "unix://[[USER]:PASSWORD@]/PATH[?db=N]". The error is a
/// sentence for the command line's message, which puts the flag's name before it, such as
/// "the port must be 1 to 65535, got '0'"; it never repeats the password.
std::variant<RedisEndpoint, std::string> parseRedisUrl(std::string_view url);

} // namespace velmora::server
