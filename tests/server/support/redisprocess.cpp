#include "redisprocess.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

#include <csignal>

namespace {

const char *const program = "redis-server";

// The length of one complete RESP reply at the start of `data`, or 0 when it is not complete.
int replyLength(const QByteArray &data, int from = 0)
{
    const int end = data.indexOf("\r\n", from);
    if (end < 0 || from >= data.size())
        return 0;
    const char type = data.at(from);
    const long long number = data.mid(from + 1, end - from - 1).toLongLong();
    int at = end + 2;
    if (type == '$') {
        if (number < 0)
            return at - from;
        at += int(number) + 2;
        return at <= data.size() ? at - from : 0;
    }
    if (type == '*') {
        for (long long i = 0; i < number; ++i) {
            const int length = replyLength(data, at);
            if (length == 0)
                return 0;
            at += length;
        }
    }
    return at - from;
}

} // namespace

quint16 RedisProcess::freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

QByteArray RedisProcess::encode(const QList<QByteArray> &arguments)
{
    QByteArray out = "*" + QByteArray::number(arguments.size()) + "\r\n";
    for (const QByteArray &argument : arguments)
        out += "$" + QByteArray::number(argument.size()) + "\r\n" + argument + "\r\n";
    return out;
}

QByteArray RedisProcess::exchange(QIODevice &socket, const QByteArray &request, int skip,
                                  int timeoutMs)
{
    socket.write(request);
    QByteArray received;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        int at = 0;
        int complete = 0;
        while (complete <= skip) {
            const int length = replyLength(received, at);
            if (length == 0)
                break;
            if (complete == skip)
                return received.mid(at, length);
            at += length;
            ++complete;
        }
        const int left = timeoutMs - int(clock.elapsed());
        if (left <= 0 || !socket.waitForReadyRead(left))
            return {};
        received += socket.readAll();
    }
}

RedisProcess::RedisProcess() : RedisProcess(Options{}) {}

RedisProcess::RedisProcess(Options options) : options(std::move(options))
{
    process.setProgram(QStandardPaths::findExecutable(program));
    process.setProcessChannelMode(QProcess::MergedChannels);
}

RedisProcess::~RedisProcess()
{
    stop();
}

bool RedisProcess::available()
{
    return !QStandardPaths::findExecutable(program).isEmpty();
}

const char *RedisProcess::skipReason()
{
    return "redis-server is not installed (scripts/install-deps.sh --test installs it)";
}

QString RedisProcess::socketPath() const
{
    return dir.filePath("redis.sock");
}

QString RedisProcess::unixUrl(int database) const
{
    QString url = "unix://";
    if (!options.password.isEmpty())
        url += ":" + QString::fromUtf8(options.password.toPercentEncoding()) + "@";
    url += socketPath();
    if (database != 0)
        url += "?db=" + QString::number(database);
    return url;
}

QString RedisProcess::tcpUrl(int database) const
{
    QString url = "redis://";
    if (!options.password.isEmpty())
        url += ":" + QString::fromUtf8(options.password.toPercentEncoding()) + "@";
    url += "127.0.0.1:" + QString::number(tcpPort);
    if (database != 0)
        url += "/" + QString::number(database);
    return url;
}

bool RedisProcess::running() const
{
    return process.state() != QProcess::NotRunning;
}

bool RedisProcess::start(int timeoutMs)
{
    if (!dir.isValid()) {
        lastError = "no temporary folder";
        return false;
    }
    if (!options.tcp)
        return launch(timeoutMs);
    // Another process may take the port between the probe and redis-server's bind: try others.
    for (int attempt = 0; attempt < 5; ++attempt) {
        tcpPort = freePort();
        if (tcpPort != 0 && launch(timeoutMs))
            return true;
    }
    tcpPort = 0;
    return false;
}

bool RedisProcess::restart(int timeoutMs)
{
    stop();
    return launch(timeoutMs);
}

void RedisProcess::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.kill();
    process.waitForFinished(5000);
}

void RedisProcess::freeze(bool frozen)
{
    if (process.state() != QProcess::NotRunning)
        ::kill(pid_t(process.processId()), frozen ? SIGSTOP : SIGCONT);
}

bool RedisProcess::launch(int timeoutMs)
{
    QStringList arguments;
    // Nothing on disk, and nothing but the test's own addresses.
    arguments << "--save"
              << ""
              << "--appendonly"
              << "no"
              << "--dir" << dir.path();
    arguments << "--unixsocket" << socketPath() << "--unixsocketperm"
              << "700";
    // "localhost" may resolve to either address; "-" lets a machine without IPv6 skip ::1.
    arguments << "--bind"
              << "127.0.0.1 -::1"
              << "--port" << QString::number(tcpPort);
    arguments << "--daemonize"
              << "no"
              << "--loglevel"
              << "warning";
    if (!options.password.isEmpty())
        arguments << "--requirepass" << QString::fromUtf8(options.password);
    if (options.replicaOf != 0)
        arguments << "--replicaof"
                  << "127.0.0.1" << QString::number(options.replicaOf);
    process.setArguments(arguments);
    process.start();
    if (!process.waitForStarted(timeoutMs)) {
        lastError = "cannot start redis-server: " + process.errorString();
        return false;
    }
    // An exit ends the wait early: the port was taken, or the arguments were refused.
    if (QTest::qWaitFor([this] { return !running() || answersPing(); }, timeoutMs) && running())
        return true;
    stop();
    lastError = "redis-server did not answer PING: " + QString::fromLocal8Bit(process.readAll());
    return false;
}

bool RedisProcess::answersPing() const
{
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(500))
        return false;
    socket.write(encode({"PING"}));
    if (!socket.waitForBytesWritten(500) || !socket.waitForReadyRead(500))
        return false;
    // "-NOAUTH" counts: the server is up, it wants a password.
    const QByteArray reply = socket.readAll();
    return reply.startsWith('+') || reply.startsWith('-');
}

QByteArray RedisProcess::call(const QList<QByteArray> &arguments, int database, int timeoutMs) const
{
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(timeoutMs))
        return {};
    int skip = 0;
    QByteArray request;
    if (!options.password.isEmpty()) {
        request += encode({"AUTH", options.password});
        ++skip;
    }
    if (database != 0) {
        request += encode({"SELECT", QByteArray::number(database)});
        ++skip;
    }
    request += encode(arguments);
    return exchange(socket, request, skip, timeoutMs);
}
