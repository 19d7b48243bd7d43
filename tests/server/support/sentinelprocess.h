// A real redis-sentinel as a child process for the tests: it watches one primary on 127.0.0.1
// under a name, on a free TCP port of 127.0.0.1 that it reports, with its configuration (which
// Sentinel rewrites) in a temporary folder. Timeouts short, so that a failover takes seconds.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class SentinelProcess
{
public:
    /// Watches `name` at 127.0.0.1:`primaryPort`; `quorum` Sentinels must agree it is down,
    /// which they take it to be after `downAfterMs` without an answer.
    SentinelProcess(QByteArray name, quint16 primaryPort, int quorum, int downAfterMs = 1000);
    /// Kills the Sentinel.
    ~SentinelProcess();
    SentinelProcess(const SentinelProcess &) = delete;
    SentinelProcess &operator=(const SentinelProcess &) = delete;

    /// Whether redis-sentinel is on the PATH; a test skips with skipReason() when it is not.
    static bool available();
    static const char *skipReason();

    /// Starts it and waits until it answers PING; false, with error(), when it did not.
    bool start(int timeoutMs = 10000);
    void stop();
    quint16 port() const { return tcpPort; }
    QString error() const { return lastError; }

    /// Sends one command to the Sentinel and returns its reply as sent (RESP), or nothing.
    QByteArray call(const QList<QByteArray> &arguments, int timeoutMs = 5000) const;
    /// A field of SENTINEL MASTER for the watched name ("num-slaves", "ip", "port", ...).
    QByteArray masterField(const QByteArray &field) const;

private:
    QByteArray name;
    quint16 primaryPort;
    int quorum;
    int downAfterMs;
    QTemporaryDir dir;
    QProcess process;
    quint16 tcpPort = 0;
    QString lastError;
};
