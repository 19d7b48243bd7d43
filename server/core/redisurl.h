// Where Redis is, as --redis names it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

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

    /// With Sentinel: the Sentinels that know where the primary `masterName` is (host, port)
    /// and follow its failovers. `host` and `port` are then left empty, for the client to fill
    /// with what the Sentinels answer; the user and password are the primary's.
    struct Sentinel
    {
        std::string host;
        std::uint16_t port = 26379;
    };
    std::vector<Sentinel> sentinels;
    std::string masterName;

    /// "HOST:PORT" or the socket's path, for messages (never the password); with Sentinel and
    /// no primary yet, "'NAME' of the Sentinels at HOST:PORT,HOST:PORT".
    std::string describe() const;
};

/// Parses "redis://[[USER]:PASSWORD@]HOST[:PORT][/DB]" (HOST may be "[IPv6]"; percent-escapes
/// in USER and PASSWORD; PORT 6379 and DB 0 when left out; a user info without ':' is a
/// password, as for redis-cli), "unix://[[USER]:PASSWORD@]/PATH[?db=N]" and
/// "sentinel://[[USER]:PASSWORD@]HOST[:PORT][,HOST[:PORT]...]/NAME[?db=N]" (PORT 26379 when left
/// out; NAME of letters, digits, '.', '-' and '_'). The error is a
/// sentence for the command line's message, which puts the flag's name before it, such as
/// "the port must be 1 to 65535, got '0'"; it never repeats the password.
std::variant<RedisEndpoint, std::string> parseRedisUrl(std::string_view url);

} // namespace velmora::server
