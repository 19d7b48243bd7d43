// Launches and watches the local VNC server program on a free port.
#pragma once

#include "vnc/childlauncher.h"

#include <QObject>
#include <QProcess>
#include <QString>

/// Starts "winvnc4.exe" (found through PATH) on a port that the operating system picks, with the
/// session password file, and reports the program's start, errors and end. Constructed without a
/// parent; the owner destroys it, which ends a program that still runs.
class VNCServer : public QObject
{
    Q_OBJECT

public:
    VNCServer();

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
    QString passwordFile;
    // The probe socket, the process object and the job that ends the program with the agent.
    ChildLauncher launcher;
};
