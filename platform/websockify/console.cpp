#include "platform/websockify/console.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <cstdio>
#include <cstdlib>

namespace console {

void say(const QString &line)
{
    // The agent sends standard error to a log file, where a buffered line could be lost on kill.
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
                 qPrintable(line));
    std::fflush(stderr);
}

void fail(const QString &line, int exitCode)
{
    say(line);
    std::exit(exitCode);
}

quint16 parsePort(const QString &text)
{
    static const QRegularExpression digits(QStringLiteral("^[1-9][0-9]{0,4}$"));
    const uint port = digits.match(text).hasMatch() ? text.toUInt() : 0;
    return port <= 65535 ? quint16(port) : 0;
}

std::optional<HostPort> parseHostPort(const QString &text)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    const HostPort address{text.left(colon), parsePort(text.mid(colon + 1))};
    if (colon <= 0 || address.port == 0)
        return std::nullopt;
    return address;
}

} // namespace console
