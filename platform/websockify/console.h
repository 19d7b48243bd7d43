// What the console programs under platform/ share: their messages and address checks.
#pragma once

#include <QString>

#include <optional>

namespace console {

/// A checked HOST:PORT.
struct HostPort
{
    QString host;
    quint16 port = 0;
};

/// Writes one line to standard error, after the program name (the application name).
void say(const QString &line);
/// say(), then ends the program; 2 means a bad command line or setting.
[[noreturn]] void fail(const QString &line, int exitCode = 2);

/// Plain decimal 1..65535, else 0.
quint16 parsePort(const QString &text);
/// Splits at the last colon; nothing unless the host is not empty and the port is valid.
std::optional<HostPort> parseHostPort(const QString &text);

} // namespace console
