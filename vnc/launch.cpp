#include "vnc/launch.h"

#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>

QString bindFreePort(std::unique_ptr<QTcpSocket> &probe)
{
    probe.reset(new QTcpSocket);
    if (!probe->bind(QHostAddress::Any, 0, QAbstractSocket::ShareAddress))
        return QString();
    return QString::number(probe->localPort());
}

void logBothStreams(QProcess &process, const QString &logFile)
{
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardOutputFile(logFile, QIODevice::Truncate);
}

void startCommandLine(QProcess &process, const QString &commandLine)
{
    // The one-string form is deprecated in Qt 5.15 but its splitting is the contract of the
    // command lines of both programs.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    process.start(commandLine, QIODevice::ReadWrite);
    QT_WARNING_POP
}
