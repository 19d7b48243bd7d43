// A private X server for tests that need a real display.
#pragma once

#include <QProcess>
#include <QString>

/// Starts Xvfb on a free display number (chosen by Xvfb itself through -displayfd) and stops it
/// on destruction. Check isRunning() before use: the X server may be missing.
class Xvfb
{
public:
    explicit Xvfb(const QString &screen = QStringLiteral("1024x768x24"));
    ~Xvfb();
    Xvfb(const Xvfb &) = delete;
    Xvfb &operator=(const Xvfb &) = delete;

    bool isRunning() const;
    /// ":N", for DISPLAY.
    QString display() const;
    /// The process environment with DISPLAY set to this server.
    QProcessEnvironment environment() const;

private:
    QProcess process;
    QString displayName;
};
