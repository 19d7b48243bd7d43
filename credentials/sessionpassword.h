#pragma once

#include <QString>

#include <functional>
#include <random>

// The session password: four decimal digits drawn uniformly from 0000 to 9999.
namespace credentials {

// Draws one session password from `engine`, advancing it by one draw, or more when a draw is
// rejected. Always exactly four ASCII digits.
QString sessionPasswordFrom(std::mt19937 &engine);

// The same mapping over any source of uniform 32-bit values: `draw` is called until it yields a
// value below 4,294,960,000 (10,000 x 429,496), which is then divided by 429,496. Rejecting the
// top 7,296 values keeps all 10,000 passwords equally likely.
QString sessionPasswordFromDraws(const std::function<quint32()> &draw);

// The seed of the process-wide engine: the low 32 bits of the wall-clock time in nanoseconds since
// 1970-01-01 UTC, read with microsecond resolution, i.e. (seconds x 1,000,000 + microseconds)
// x 1000.
quint32 clockSeed();

// A new session password from the one process-wide MT19937 engine, which the first call creates
// and seeds with clockSeed(); later calls continue its sequence. The creation is safe against
// concurrent first calls, the draws are not: call it from one thread only.
QString generateSessionPassword();

} // namespace credentials
