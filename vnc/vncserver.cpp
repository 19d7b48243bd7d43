#include "vnc/vncserver.h"

#include <QDebug>
#include <QDir>

VNCServer::VNCServer()
    : vncHost(QStringLiteral("127.0.0.1")),
      passwordFile(QStringLiteral("./vnc_password_session.dat"))
{}

void VNCServer::start()
{
    const QString port = launcher.bindFreePort();
    if (port.isEmpty())
        return;
    vncPort = port;
    qDebug() << "VNC port: " << vncPort;

    const QString commandLine =
        QStringLiteral("winvnc4.exe LocalHost=yes ShowTrayIcon=false Log=*:file:100 PortNumber=") +
        vncPort + QStringLiteral(" rfbauth=") + passwordFile;
    qDebug() << commandLine;

    QProcess &process = launcher.newProcess();
    connect(&process, &QProcess::started, this, &VNCServer::processStarted);
    connect(&process, &QProcess::errorOccurred, this, &VNCServer::processErrorOccurred);
    connect(&process, SIGNAL(finished(int, QProcess::ExitStatus)), this,
            SLOT(processFinished(int, QProcess::ExitStatus)));

#ifdef Q_OS_WIN
    // winvnc4.exe's own log (Log=*:file) goes to the fixed C:\temp\WinVNC4.log, and nowhere at all
    // when that folder is missing, as it is on a fresh Windows.
    QDir().mkpath(QStringLiteral("C:/temp"));
#endif
    launcher.start(commandLine, QStringLiteral("./vncserver.log"));
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
