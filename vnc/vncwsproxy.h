// Launches and watches the local WebSocket-to-TCP proxy in front of the VNC server.
#pragma once

#include "vnc/childlauncher.h"

#include <QObject>
#include <QProcess>
#include <QString>

/// Starts "websockify.exe" (found through PATH) listening on 127.0.0.1 at a port that the
/// operating system picks, forwarding to the target set by setVncHost()/setVncPort(). Constructed
/// without a parent; the owner destroys it, which ends a program that still runs.
class VNCWsProxy : public QObject
{
    Q_OBJECT

public:
    VNCWsProxy();

    /// Target of the proxy; read only by the next start().
    void setVncHost(const QString &host);
    void setVncPort(const QString &port);
    /// Probes a free port and launches the program on it. Silent when no port can be had.
    void start();
    /// "127.0.0.1".
    const QString &host() const;
    /// Decimal text of the port of the last successful start(); empty before.
    const QString &port() const;

signals:
    void started();
    void errorOccurred(QProcess::ProcessError error);
    void finished(int exitCode, QProcess::ExitStatus exitStatus);

private slots:
    void processStarted();
    void processErrorOccurred(QProcess::ProcessError error);
    void processFinished(int exitCode, QProcess::ExitStatus exitStatus);

private:
    QString vncHost;
    QString vncPort;
    QString proxyHost;
    QString proxyPort;
    // The probe socket, the process object and the job that ends the program with the agent.
    ChildLauncher launcher;
};
