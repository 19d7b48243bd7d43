// What the command lines of velmora-server and velmora-connect share: addresses, flags and the
// outcome of parsing, without touching the network.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace velmora::server {

struct HostPort
{
    std::string host;
    std::uint16_t port = 0;
};

/// Parses "HOST:PORT" ("[v6]:PORT" for IPv6 literals); port 0 means "any free port". Returns
/// false on a missing host, a missing or non-numeric port, or a port above 65535.
bool parseHostPort(const std::string &text, HostPort &out);

/// "HOST:PORT", with brackets around IPv6 literals.
std::string formatHostPort(const std::string &host, std::uint16_t port);

/// Parses decimal digits only (no sign, no space) into `out`; false when there are none, or the
/// value is above `limit`.
bool parseNumber(const std::string &text, unsigned long long limit, unsigned long long &out);

/// Takes one flag's value; returns an error text, empty when the value is fine.
using FlagSetter = std::function<std::string(const std::string &value)>;

/// Walks "--name VALUE" and "--name=VALUE" pairs, handing each value to the setter of its flag;
/// `switches` are flags without a value ("--name" alone sets them). "--help" or "-h" sets `help`
/// and ends the walk. Returns the first error ("unknown argument 'X'", "--name needs a value",
/// or "--name: " and the setter's text), or an empty string.
std::string parseFlags(const std::vector<std::string> &arguments,
                       const std::map<std::string, FlagSetter> &setters, bool &help,
                       const std::map<std::string, bool *> &switches = {});

/// A setter that parses HOST:PORT into `target`, which must outlive it.
FlagSetter hostPortSetter(HostPort &target);

/// The outcome of parsing a command line.
template <typename Options> struct Parsed
{
    enum class Outcome { Run, Help, Error };
    Outcome outcome = Outcome::Error;
    Options options;
    /// One English sentence when outcome is Error.
    std::string error;
};

} // namespace velmora::server
