// Session IDs: what the helped person reads out to the supporter.
#pragma once

#include "server/core/securerandom.h"

#include <functional>
#include <string>
#include <string_view>

namespace velmora::server {

/// Number of digits of a session ID.
inline constexpr std::size_t kSessionIdDigits = 9;

/// True when `text` has the form of a session ID: exactly nine decimal digits, the first not zero.
bool isSessionId(std::string_view text);

/// Draws session IDs: nine decimal digits without a leading zero (100000000 to 999999999), every
/// value equally likely, from the given random source.
class SessionIdGenerator
{
public:
    explicit SessionIdGenerator(RandomSource random = cryptoRandom());

    /// A fresh ID for which `taken` answers false. Throws std::runtime_error when a thousand draws
    /// in a row were all taken (which only a nearly full ID space or a broken source can cause).
    std::string next(const std::function<bool(std::string_view)> &taken) const;

private:
    RandomSource random;
};

} // namespace velmora::server
