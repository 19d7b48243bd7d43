#include "server/core/redisurl.h"

#include "server/core/commandline.h"
#include "server/core/text.h"

#include <climits>

namespace velmora::server {

namespace {

constexpr std::string_view redisScheme = "redis://";
constexpr std::string_view unixScheme = "unix://";
constexpr std::string_view sentinelScheme = "sentinel://";

// Decodes %XX; false on a '%' without two hexadecimal digits.
bool percentDecode(std::string_view text, std::string &out)
{
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        const int high = hexDigitValue(text[i + 1]);
        const int low = hexDigitValue(text[i + 2]);
        if (high < 0 || low < 0)
            return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

// "[USER:]PASSWORD" into the endpoint; an error text or empty.
std::string parseUserInfo(std::string_view info, RedisEndpoint &endpoint)
{
    const std::size_t colon = info.find(':');
    const std::string_view user = colon == std::string_view::npos ? "" : info.substr(0, colon);
    const std::string_view password =
        colon == std::string_view::npos ? info : info.substr(colon + 1);
    if (!percentDecode(user, endpoint.user) || !percentDecode(password, endpoint.password))
        return "a '%' in the user or password must start an escape such as %40";
    return {};
}

std::string parseDatabase(std::string_view text, RedisEndpoint &endpoint)
{
    unsigned long long number = 0;
    if (!parseNumber(std::string(text), INT_MAX, number))
        return "the database must be a number from 0 to " + std::to_string(INT_MAX) + ", got '" +
               printable(text) + "'";
    endpoint.database = static_cast<int>(number);
    return {};
}

std::string parseDatabaseQuery(std::string_view query, RedisEndpoint &endpoint)
{
    if (query.substr(0, 3) != "db=")
        return "unexpected '" + printable(query) + "' in the query, which takes db=N only";
    return parseDatabase(query.substr(3), endpoint);
}

bool isHostNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

// "HOST[:PORT]" of a redis:// URL.
std::string parseHostAndPort(std::string_view text, RedisEndpoint &endpoint)
{
    std::string_view host;
    std::string_view rest;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos)
            return "an IPv6 address in brackets needs its ']'";
        host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
        if (host.empty() || host.find_first_not_of("0123456789abcdefABCDEF:.") != host.npos)
            return "'" + printable(host) + "' in brackets is not an IPv6 address";
        if (!rest.empty() && rest.front() != ':')
            return "unexpected '" + printable(rest) + "' after the IPv6 address";
    } else {
        const std::size_t colon = text.find(':');
        host = text.substr(0, colon);
        rest = colon == std::string_view::npos ? "" : text.substr(colon);
        if (rest.find(':', 1) != std::string_view::npos)
            return "an IPv6 address goes in brackets, as in redis://[::1]:6379";
        for (const char c : host) {
            if (!isHostNameCharacter(c))
                return "the host '" + printable(host) + "' is neither a name nor an address";
        }
    }
    if (host.empty())
        return "the URL names no host";
    endpoint.host = std::string(host);
    if (!rest.empty()) {
        unsigned long long port = 0;
        const std::string digits(rest.substr(1));
        if (!parseNumber(digits, 65535, port) || port == 0)
            return "the port must be 1 to 65535, got '" + printable(digits) + "'";
        endpoint.port = static_cast<std::uint16_t>(port);
    }
    return {};
}

std::string parseRedis(std::string_view text, RedisEndpoint &endpoint)
{
    const std::size_t slash = text.find_first_of("/?#");
    const std::string_view authority = text.substr(0, slash);
    const std::string_view path = slash == std::string_view::npos ? "" : text.substr(slash);
    // The password may hold any character but '@' and '/' unescaped; the last '@' ends it.
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        if (std::string error = parseUserInfo(authority.substr(0, at), endpoint); !error.empty())
            return error;
    }
    const std::string_view hostPort =
        at == std::string_view::npos ? authority : authority.substr(at + 1);
    if (std::string error = parseHostAndPort(hostPort, endpoint); !error.empty())
        return error;
    if (path.empty() || path == "/")
        return {};
    if (path.front() != '/')
        return "unexpected '" + printable(path) + "' after the host";
    return parseDatabase(path.substr(1), endpoint);
}

std::string parseUnix(std::string_view text, RedisEndpoint &endpoint)
{
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos)
        return "unix:// needs an absolute path, as in unix:///run/redis/redis-server.sock";
    if (slash > 0) {
        const std::string_view info = text.substr(0, slash);
        if (info.back() != '@')
            return "unix:// needs an absolute path, as in unix:///run/redis/redis-server.sock";
        if (std::string error = parseUserInfo(info.substr(0, info.size() - 1), endpoint);
            !error.empty())
            return error;
    }
    const std::size_t question = text.find('?', slash);
    const std::string_view path = text.substr(slash, question - slash);
    if (!percentDecode(path, endpoint.unixPath))
        return "a '%' in the path must start an escape such as %20";
    if (endpoint.unixPath == "/")
        return "the URL names no socket";
    if (question == std::string_view::npos)
        return {};
    return parseDatabaseQuery(text.substr(question + 1), endpoint);
}

std::string parseSentinel(std::string_view text, RedisEndpoint &endpoint)
{
    const std::size_t slash = text.find_first_of("/?#");
    const std::string_view authority = text.substr(0, slash);
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        if (std::string error = parseUserInfo(authority.substr(0, at), endpoint); !error.empty())
            return error;
    }
    std::string_view hosts = at == std::string_view::npos ? authority : authority.substr(at + 1);
    while (true) {
        const std::size_t comma = hosts.find(',');
        RedisEndpoint one;
        one.port = RedisEndpoint::Sentinel{}.port;
        if (std::string error = parseHostAndPort(hosts.substr(0, comma), one); !error.empty())
            return error;
        endpoint.sentinels.push_back({one.host, one.port});
        if (comma == std::string_view::npos)
            break;
        hosts = hosts.substr(comma + 1);
    }
    const std::string_view rest = slash == std::string_view::npos ? "" : text.substr(slash);
    const std::size_t question = rest.find('?');
    const std::string_view name = rest.substr(0, question);
    if (name.size() < 2 || name.front() != '/')
        return "sentinel:// needs the primary's name after the hosts, as in "
               "sentinel://h1:26379,h2:26379/velmora";
    for (const char c : name.substr(1)) {
        if (!isHostNameCharacter(c))
            return "the primary's name '" + printable(name.substr(1)) +
                   "' may hold letters, digits, '.', '-' and '_' only";
    }
    endpoint.masterName = std::string(name.substr(1));
    endpoint.port = 0;
    if (question == std::string_view::npos)
        return {};
    return parseDatabaseQuery(rest.substr(question + 1), endpoint);
}

} // namespace

std::string RedisEndpoint::describe() const
{
    if (!unixPath.empty())
        return unixPath;
    if (!host.empty() || sentinels.empty())
        return formatHostPort(host, port);
    std::string hosts;
    for (const Sentinel &sentinel : sentinels)
        hosts += (hosts.empty() ? "" : ",") + formatHostPort(sentinel.host, sentinel.port);
    return "'" + masterName + "' of the Sentinels at " + hosts;
}

std::variant<RedisEndpoint, std::string> parseRedisUrl(std::string_view url)
{
    RedisEndpoint endpoint;
    std::string error;
    if (url.substr(0, redisScheme.size()) == redisScheme)
        error = parseRedis(url.substr(redisScheme.size()), endpoint);
    else if (url.substr(0, unixScheme.size()) == unixScheme)
        error = parseUnix(url.substr(unixScheme.size()), endpoint);
    else if (url.substr(0, sentinelScheme.size()) == sentinelScheme)
        error = parseSentinel(url.substr(sentinelScheme.size()), endpoint);
    else if (url.substr(0, 9) == "rediss://")
        error = "rediss:// (TLS to Redis) is not supported; use redis:// or unix://";
    else
        error = "expected redis://[[USER]:PASSWORD@]HOST[:PORT][/DB], unix:///PATH[?db=N] or "
                "sentinel://HOST[:PORT][,HOST[:PORT]...]/NAME[?db=N]";
    if (!error.empty())
        return error;
    return endpoint;
}

} // namespace velmora::server
