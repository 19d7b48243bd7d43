#include "xvfb.h"

#include <QElapsedTimer>
#include <QStandardPaths>

Xvfb::Xvfb(const QString &screen)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (program.isEmpty())
        return;
    // -displayfd 1: Xvfb picks a free display and writes its number to standard output once
    // it accepts connections.
    process.setProgram(program);
    process.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"),
                          QStringLiteral("-screen"), QStringLiteral("0"), screen,
                          QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                          // Without it the server resets, losing e.g. the root window's colour,
                          // whenever its last client leaves.
                          QStringLiteral("-noreset")});
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start();
    if (!process.waitForStarted(10000))
        return;
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (!out.contains('\n') && timer.elapsed() < 20000 && process.state() == QProcess::Running) {
        process.waitForReadyRead(500);
        out += process.readAllStandardOutput();
    }
    if (out.contains('\n'))
        displayName = QLatin1Char(':') + QString::fromLatin1(out.trimmed());
}

Xvfb::~Xvfb()
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
}

bool Xvfb::isRunning() const
{
    return !displayName.isEmpty() && process.state() == QProcess::Running;
}

QString Xvfb::display() const
{
    return displayName;
}

QProcessEnvironment Xvfb::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), displayName);
    return env;
}
