// What Redis answers, as the node's code sees it, and the Lua scripts it is asked to run.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace velmora::server {

/// A reply, or why there is none.
struct RedisReply
{
    enum class Type { Error, Nil, Integer, String, Status, Array };
    Type type = Type::Nil;
    long long integer = 0;
    /// String, status or error text. Errors that never reached Redis (no connection, lost
    /// connection, client stopped) are Error too, with a text that says so.
    std::string text;
    std::vector<RedisReply> elements;

    bool isError() const { return type == Type::Error; }

    /// An Error reply with `text`.
    static RedisReply error(std::string text);
};

using RedisCallback = std::function<void(const RedisReply &)>;

/// A Lua script run with EVALSHA, loaded again by EVAL when Redis does not know it (a restart).
struct RedisScript
{
    explicit RedisScript(std::string source);
    std::string source;
    /// Lower-case hex SHA-1 of source.
    std::string sha1;
};

} // namespace velmora::server
