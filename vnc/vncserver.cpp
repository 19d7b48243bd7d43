#include "vnc/vncserver.h"

#include "vnc/launch.h"

#include <QDebug>
#include <QDir>
#include <QTcpSocket>

VNCServer::VNCServer()
    : vncHost(QStringLiteral("127.0.0.1")),
      passwordFile(QStringLiteral("./vnc_password_session.dat"))
{}

VNCServer::~VNCServer()
{
    // Destroying the process object kills the program and waits for it, and the process object
    // reports that end through the connections made in start(); this object is half gone by
    // then and must not hear of it.
    if (process)
        process->disconnect(this);
}

void VNCServer::start()
{
    const QString port = bindFreePort(portSocket);
    if (port.isEmpty())
        return;
    vncPort = port;
    qDebug() << "VNC port: " << vncPort;

    const QString commandLine =
        QStringLiteral("winvnc4.exe LocalHost=yes ShowTrayIcon=false Log=*:file:100 PortNumber=") +
        vncPort + QStringLiteral(" rfbauth=") + passwordFile;
    qDebug() << commandLine;

    process.reset(new QProcess);
    connect(process.get(), &QProcess::started, this, &VNCServer::processStarted);
    connect(process.get(), &QProcess::errorOccurred, this, &VNCServer::processErrorOccurred);
    connect(process.get(), SIGNAL(finished(int, QProcess::ExitStatus)), this,
            SLOT(processFinished(int, QProcess::ExitStatus)));

    logBothStreams(*process, QStringLiteral("./vncserver.log"));
#ifdef Q_OS_WIN
    // winvnc4.exe's own log (Log=*:file) goes to the fixed C:\temp\WinVNC4.log, and nowhere at all
    // when that folder is missing, as it is on a fresh Windows.
    QDir().mkpath(QStringLiteral("C:/temp"));
#endif

    startCommandLine(*process, commandLine);
    childJob.adopt(*process);
    qDebug() << "go...";
}

const QString &VNCServer::host() const
{
    return vncHost;
}

const QString &VNCServer::port() const
{
    return vncPort;
}

void VNCServer::processStarted()
{
    qDebug() << "VNC Server started";
    emit started();
}

void VNCServer::processErrorOccurred(QProcess::ProcessError error)
{
    qDebug() << "VNC Server errorOccurred" << error;
    emit errorOccurred(error);
}

void VNCServer::processFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    qDebug() << "VNC Server finished" << exitCode << exitStatus;
    emit finished(exitCode, exitStatus);
}
