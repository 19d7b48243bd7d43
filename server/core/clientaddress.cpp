#include "server/core/clientaddress.h"

#include "server/core/text.h"

#include <arpa/inet.h>

#include <cstring>

namespace velmora::server {

std::optional<std::string> clientKey(std::string_view address)
{
    if (address.empty() || address.size() >= INET6_ADDRSTRLEN)
        return std::nullopt;
    const std::string text(address);
    char out[INET6_ADDRSTRLEN] = {};
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        inet_ntop(AF_INET, &v4, out, sizeof out);
        return std::string(out);
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, text.c_str(), &v6) != 1)
        return std::nullopt;
    static const unsigned char mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(v6.s6_addr, mappedPrefix, sizeof mappedPrefix) == 0) {
        std::memcpy(&v4, v6.s6_addr + 12, 4);
        inet_ntop(AF_INET, &v4, out, sizeof out);
        return std::string(out);
    }
    std::memset(v6.s6_addr + 8, 0, 8);
    inet_ntop(AF_INET6, &v6, out, sizeof out);
    return std::string(out) + "/64";
}

std::optional<std::string> lastForwardedFor(std::string_view header)
{
    const std::size_t comma = header.rfind(',');
    std::string_view last =
        trimHttpSpace(comma == std::string_view::npos ? header : header.substr(comma + 1));
    if (last.size() >= 2 && last.front() == '[' && last.back() == ']')
        last = last.substr(1, last.size() - 2);
    if (!clientKey(last))
        return std::nullopt;
    return std::string(last);
}

} // namespace velmora::server
