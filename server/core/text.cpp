#include "server/core/text.h"

#include <cstdio>

namespace velmora::server {

std::string_view trimHttpSpace(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string printable(std::string_view text)
{
    std::string out;
    for (const char c : text.substr(0, 32))
        out.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    if (text.size() > 32)
        out += "...";
    return out;
}

std::string secondsText(std::chrono::milliseconds duration)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", std::chrono::duration<double>(duration).count());
    return text;
}

} // namespace velmora::server
