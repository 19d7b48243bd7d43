#include "sentinelprocess.h"

#include "redisprocess.h"

#include <QFile>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>

namespace {

const char *const program = "redis-sentinel";

} // namespace

SentinelProcess::SentinelProcess(QByteArray name, quint16 primaryPort, int quorum, int downAfterMs)
    : name(std::move(name)), primaryPort(primaryPort), quorum(quorum), downAfterMs(downAfterMs)
{
    process.setProgram(QStandardPaths::findExecutable(program));
    process.setProcessChannelMode(QProcess::MergedChannels);
}

SentinelProcess::~SentinelProcess()
{
    stop();
}

bool SentinelProcess::available()
{
    return !QStandardPaths::findExecutable(program).isEmpty();
}

const char *SentinelProcess::skipReason()
{
    return "redis-sentinel is not installed (scripts/install-deps.sh --test installs it)";
}

bool SentinelProcess::start(int timeoutMs)
{
    if (!dir.isValid()) {
        lastError = "no temporary folder";
        return false;
    }
    // Another process may take the port between the probe and the Sentinel's bind: try others.
    for (int attempt = 0; attempt < 5; ++attempt) {
        tcpPort = RedisProcess::freePort();
        QFile config(dir.filePath("sentinel.conf"));
        if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            lastError = "cannot write " + config.fileName();
            return false;
        }
        config.write("bind 127.0.0.1\nport " + QByteArray::number(tcpPort) +
                     "\ndaemonize no\nloglevel warning\ndir " + dir.path().toUtf8() +
                     "\nsentinel monitor " + name + " 127.0.0.1 " +
                     QByteArray::number(primaryPort) + " " + QByteArray::number(quorum) +
                     "\nsentinel down-after-milliseconds " + name + " " +
                     QByteArray::number(downAfterMs) + "\nsentinel failover-timeout " + name +
                     " 5000\nsentinel parallel-syncs " + name + " 1\n");
        config.close();
        process.setArguments({config.fileName()});
        process.start();
        if (!process.waitForStarted(timeoutMs)) {
            lastError = "cannot start redis-sentinel: " + process.errorString();
            return false;
        }
        if (QTest::qWaitFor(
                [this] {
                    return process.state() == QProcess::NotRunning ||
                           call({"PING"}, 500) == "+PONG\r\n";
                },
                timeoutMs) &&
            process.state() != QProcess::NotRunning)
            return true;
        lastError =
            "redis-sentinel did not answer PING: " + QString::fromLocal8Bit(process.readAll());
        stop();
    }
    return false;
}

void SentinelProcess::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.kill();
    process.waitForFinished(5000);
}

QByteArray SentinelProcess::call(const QList<QByteArray> &arguments, int timeoutMs) const
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, tcpPort);
    if (!socket.waitForConnected(timeoutMs))
        return {};
    return RedisProcess::exchange(socket, RedisProcess::encode(arguments), 0, timeoutMs);
}

QByteArray SentinelProcess::masterField(const QByteArray &field) const
{
    // A flat array of names and values, each a bulk string: "$N\r\nNAME\r\n$M\r\nVALUE\r\n".
    const QList<QByteArray> lines = call({"SENTINEL", "MASTER", name}).split('\n');
    for (int i = 2; i + 2 < lines.size(); i += 4) {
        if (lines[i].trimmed() == field)
            return lines[i + 2].trimmed();
    }
    return {};
}
