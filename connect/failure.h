// How velmora-connect words a failed network operation for its user.
#pragma once

#include "server/beast/beast.h"

#include <string>

namespace velmora::server {

/// "no answer in time" for a timeout, else the system's text.
inline std::string describeFailure(const beast::error_code &ec)
{
    if (ec == beast::error::timeout)
        return "no answer in time";
    return ec.message();
}

} // namespace velmora::server
