#include "vnc/vncwsproxy.h"

#include "vnc/launch.h"

#include <QDebug>
#include <QTcpSocket>

VNCWsProxy::VNCWsProxy() : proxyHost(QStringLiteral("127.0.0.1")) {}

VNCWsProxy::~VNCWsProxy()
{
    // Destroying the process object kills the program and waits for it, and the process object
    // reports that end through the connections made in start(); this object is half gone by
    // then and must not hear of it.
    if (process)
        process->disconnect(this);
}

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
    const QString port = bindFreePort(portSocket);
    if (port.isEmpty())
        return;
    proxyPort = port;

    const QString commandLine = QStringLiteral("websockify.exe ") + proxyHost + QLatin1Char(':') +
                                proxyPort + QLatin1Char(' ') + vncHost + QLatin1Char(':') + vncPort;
    qDebug() << commandLine;

    process.reset(new QProcess);
    connect(process.get(), &QProcess::started, this, &VNCWsProxy::processStarted);
    connect(process.get(), &QProcess::errorOccurred, this, &VNCWsProxy::processErrorOccurred);
    connect(process.get(), SIGNAL(finished(int, QProcess::ExitStatus)), this,
            SLOT(processFinished(int, QProcess::ExitStatus)));

    // Standard output goes to the log too: left as a channel of the process object, which nobody
    // reads, it would grow the agent's memory for as long as the proxy writes there.
    logBothStreams(*process, QStringLiteral("./vncwsproxy.log"));

    startCommandLine(*process, commandLine);
    childJob.adopt(*process);
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
