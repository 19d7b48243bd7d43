// velmora-server or velmora-connect as a child process, with its output collected line by line.
#pragma once

#include <QProcess>
#include <QStringList>

class ServerProcess
{
public:
    /// `program`: VELMORA_SERVER_BIN or VELMORA_CONNECT_BIN.
    explicit ServerProcess(const QString &program);
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    void start(const QStringList &arguments);
    /// Waits for a line (stdout or stderr) containing `needle`.
    bool waitForLine(const QString &needle, int timeoutMs = 10000);
    /// The first number after "127.0.0.1:" on a line containing `needle`, or 0.
    quint16 portFrom(const QString &needle) const;
    /// Waits for the exit; returns the exit code, or -1 when it did not exit normally in time.
    int waitForExit(int timeoutMs = 10000);
    void signal(int signalNumber);

    QStringList lines() const;
    QString output() const { return lines().join('\n'); }

    QProcess process;

private:
    void collect();
    QByteArray pendingOut;
    QByteArray pendingErr;
    QStringList collected;
};

/// For a process that runs the agent: waits until it has announced its session ID ("Your ID:"
/// lines of its debug log) `count` times in all, and returns the last of those IDs; empty when it
/// had not within `timeoutMs`.
QString waitForAnnouncedId(ServerProcess &agent, int count, int timeoutMs = 30000);
