// Where the server's log lines go.
#pragma once

#include <functional>
#include <string>

namespace velmora::server {

/// Receives one log line per event, without a line break; called on the server's thread.
using LogSink = std::function<void(const std::string &line)>;

/// Writes "YYYY-MM-DDTHH:MM:SS.mmmZ line" to stderr.
LogSink stderrLog();

} // namespace velmora::server
