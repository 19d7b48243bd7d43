// Small text helpers that the server's parsers and log lines share.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace velmora::server {

/// `text` without the spaces and tabs at either end (HTTP's optional white space).
std::string_view trimHttpSpace(std::string_view text);

/// The value of one hexadecimal digit (either case), or -1 when `c` is none.
int hexDigitValue(char c);

/// For the log: what a client sent (an ID, an action, a target), but short and printable: at
/// most 32 characters, '?' for every one outside printable ASCII, "..." when cut.
std::string printable(std::string_view text);

/// For the log: a duration in seconds to three significant digits ("0.5", "64", "1.8e+03").
std::string secondsText(std::chrono::milliseconds duration);

} // namespace velmora::server
