#include "server/core/commandline.h"

namespace velmora::server {

bool parseHostPort(const std::string &text, HostPort &out)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string::npos)
        return false;
    unsigned long long port = 0;
    if (host.empty() || !parseNumber(text.substr(colon + 1), 65535, port))
        return false;
    out.host = host;
    out.port = static_cast<std::uint16_t>(port);
    return true;
}

std::string formatHostPort(const std::string &host, std::uint16_t port)
{
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool parseNumber(const std::string &text, unsigned long long limit, unsigned long long &out)
{
    if (text.empty() || text.size() > 20)
        return false;
    unsigned long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned long long>(c - '0');
        if (value > limit)
            return false;
    }
    out = value;
    return true;
}

std::string parseFlags(const std::vector<std::string> &arguments,
                       const std::map<std::string, FlagSetter> &setters, bool &help,
                       const std::map<std::string, bool *> &switches)
{
    help = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            help = true;
            return {};
        }
        std::string name = argument;
        std::string value;
        bool hasValue = false;
        const std::size_t equals = argument.find('=');
        if (argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            hasValue = true;
        }
        if (const auto flag = switches.find(argument); flag != switches.end()) {
            *flag->second = true;
            continue;
        }
        const auto setter = setters.find(name);
        if (setter == setters.end())
            return "unknown argument '" + argument + "'";
        if (!hasValue) {
            if (i + 1 >= arguments.size())
                return name + " needs a value";
            value = arguments[++i];
        }
        const std::string error = setter->second(value);
        if (!error.empty())
            return name + ": " + error;
    }
    return {};
}

FlagSetter hostPortSetter(HostPort &target)
{
    return [&target](const std::string &value) -> std::string {
        return parseHostPort(value, target) ? "" : "expected HOST:PORT, got '" + value + "'";
    };
}

} // namespace velmora::server
