#include "vnc/vncwsproxy.h"

#include <QDebug>

VNCWsProxy::VNCWsProxy() : proxyHost(QStringLiteral("127.0.0.1")) {}

void VNCWsProxy::setVncHost(const QString &host)
{
    vncHost = host;
}

void VNCWsProxy::setVncPort(const QString &port)
{
    vncPort = port;
}

void VNCWsProxy::start()
{
    const QString port = launcher.bindFreePort();
    if (port.isEmpty())
        return;
    proxyPort = port;

    const QString commandLine = QStringLiteral("websockify.exe ") + proxyHost + QLatin1Char(':') +
                                proxyPort + QLatin1Char(' ') + vncHost + QLatin1Char(':') + vncPort;
    qDebug() << commandLine;

    QProcess &process = launcher.newProcess();
    connect(&process, &QProcess::started, this, &VNCWsProxy::processStarted);
    connect(&process, &QProcess::errorOccurred, this, &VNCWsProxy::processErrorOccurred);
    connect(&process, SIGNAL(finished(int, QProcess::ExitStatus)), this,
            SLOT(processFinished(int, QProcess::ExitStatus)));

    // Standard output goes to the log too: left as a channel of the process object, which nobody
    // reads, it would grow the agent's memory for as long as the proxy writes there.
    launcher.start(commandLine, QStringLiteral("./vncwsproxy.log"));
    qDebug() << "go...";
}

const QString &VNCWsProxy::host() const
{
    return proxyHost;
}

const QString &VNCWsProxy::port() const
{
    return proxyPort;
}

void VNCWsProxy::processStarted()
{
    qDebug() << "VNCWsProxy started";
    emit started();
}

void VNCWsProxy::processErrorOccurred(QProcess::ProcessError error)
{
    qDebug() << "VNCWsProxy errorOccurred" << error;
    emit errorOccurred(error);
}

void VNCWsProxy::processFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    qDebug() << "VNCWsProxy finished" << exitCode;
    emit finished(exitCode, exitStatus);
}
