// Small text helpers that the server's parsers share.
#pragma once

#include <string_view>

namespace velmora::server {

/// `text` without the spaces and tabs at either end (HTTP's optional white space).
std::string_view trimHttpSpace(std::string_view text);

/// The value of one hexadecimal digit (either case), or -1 when `c` is none.
int hexDigitValue(char c);

} // namespace velmora::server
