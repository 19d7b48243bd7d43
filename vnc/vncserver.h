// Launches and watches the local VNC server program on a free port.
#pragma once

#include "vnc/childjob.h"

#include <QObject>
#include <QProcess>
#include <QString>

#include <memory>

class QTcpSocket;

/// Starts "winvnc4.exe" (found through PATH) on a port that the operating system picks, with the
/// session password file, and reports the program's start, errors and end. Constructed without a
/// parent; the owner destroys it, which ends a program that still runs.
class VNCServer : public QObject
{
    Q_OBJECT

public:
    VNCServer();
    ~VNCServer() override;

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
    // Ends the program with the agent, also when the agent does not end in order; destroyed
    // after `process`.
    ChildJob childJob;
    std::unique_ptr<QProcess> process;
    // Stays bound, holding the chosen port, until the next start() or destruction.
    std::unique_ptr<QTcpSocket> portSocket;
};
