#include "server/cluster/redisreply.h"

#include <openssl/sha.h>

namespace velmora::server {

RedisReply RedisReply::error(std::string text)
{
    RedisReply reply;
    reply.type = Type::Error;
    reply.text = std::move(text);
    return reply;
}

RedisScript::RedisScript(std::string text) : source(std::move(text))
{
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char *>(source.data()), source.size(), digest);
    static const char hex[] = "0123456789abcdef";
    for (const unsigned char byte : digest) {
        sha1 += hex[byte >> 4];
        sha1 += hex[byte & 15];
    }
}

} // namespace velmora::server
