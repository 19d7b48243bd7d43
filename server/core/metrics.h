// The server's counters in the Prometheus text format, for GET /metrics.
#pragma once

#include "server/core/serverstats.h"

#include <string>

namespace velmora::server {

/// The Content-Type of the text below.
inline constexpr const char *kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

/// Every counter with its HELP and TYPE lines. Refusal reasons and handshake outcomes that have
/// not happened yet are listed with 0, so that rates over them work from the start.
std::string prometheusText(const ServerStats &stats);

} // namespace velmora::server
