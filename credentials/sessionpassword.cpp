#include "credentials/sessionpassword.h"

#include <QLatin1Char>

#include <chrono>
#include <cstdint>

namespace credentials {

namespace {

constexpr quint32 passwordCount = 10000;
// 4,294,967,295 / 10,000 rounded down: the width of the slice of draws that maps to one password.
constexpr quint32 sliceWidth = 0xFFFFFFFFu / passwordCount;
constexpr quint32 firstRejected = passwordCount * sliceWidth;

std::mt19937 &processEngine()
{
    static std::mt19937 engine(clockSeed());
    return engine;
}

} // namespace

QString sessionPasswordFrom(std::mt19937 &engine)
{
    return sessionPasswordFromDraws([&engine] { return static_cast<quint32>(engine()); });
}

QString sessionPasswordFromDraws(const std::function<quint32()> &draw)
{
    quint32 value = draw();
    while (value >= firstRejected)
        value = draw();
    return QStringLiteral("%1").arg(value / sliceWidth, 4, 10, QLatin1Char('0'));
}

quint32 clockSeed()
{
    using namespace std::chrono;
    const std::int64_t microseconds =
        duration_cast<std::chrono::microseconds>(system_clock::now().time_since_epoch()).count();
    // Unsigned arithmetic: the count of nanoseconds is only ever needed modulo 2^32.
    return static_cast<quint32>(static_cast<std::uint64_t>(microseconds) * 1000u);
}

QString generateSessionPassword()
{
    return sessionPasswordFrom(processEngine());
}

} // namespace credentials
