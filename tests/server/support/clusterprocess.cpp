#include "clusterprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>

#include <csignal>

namespace {

// Whether process `pid` runs: a zombie (killed, not yet reaped by the script) does not.
bool alive(qint64 pid)
{
    if (pid <= 0)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const int end = line.lastIndexOf(')');
    return end >= 0 && line.mid(end + 2, 1) != "Z";
}

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

} // namespace

ClusterProcess::ClusterProcess(const QString &script, const QString &server)
    : script(script), server(server), process(script)
{
    // For a look at the logs after a run.
    if (qEnvironmentVariableIsSet("VELMORA_KEEP_CLUSTER"))
        dir.setAutoRemove(false);
}

ClusterProcess::~ClusterProcess()
{
    if (process.process.state() != QProcess::NotRunning) {
        process.signal(SIGTERM);
        process.waitForExit(15000);
    }
    redisAgain.reset();
    // Whatever the script could not stop (it was killed, or never got that far).
    if (dir.isValid())
        QProcess::execute(script, {QStringLiteral("stop"), dir.path()});
}

bool ClusterProcess::available()
{
    return !QStandardPaths::findExecutable(QStringLiteral("redis-server")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("haproxy")).isEmpty();
}

const char *ClusterProcess::skipReason()
{
    return "redis-server or haproxy is missing (scripts/install-deps.sh --test)";
}

bool ClusterProcess::start(int nodes, const QStringList &nodeFlags, int timeoutMs,
                           const QStringList &scriptFlags)
{
    if (!dir.isValid())
        return false;
    nodeCount = nodes;
    // --watch-pid: a test that crashes takes its cluster with it.
    QStringList arguments{
        QStringLiteral("--server"),    server,
        QStringLiteral("--dir"),       dir.path(),
        QStringLiteral("--nodes"),     QString::number(nodes),
        QStringLiteral("--watch-pid"), QString::number(QCoreApplication::applicationPid())};
    arguments << scriptFlags;
    if (!nodeFlags.isEmpty())
        arguments << QStringLiteral("--") << nodeFlags;
    process.start(arguments);
    const bool ready = QTest::qWaitFor(
        [&] {
            process.waitForLine(QStringLiteral("ready"), 100);
            return process.lines().contains(QStringLiteral("ready")) ||
                   process.process.state() == QProcess::NotRunning;
        },
        timeoutMs);
    for (const QString &line : process.lines()) {
        const int equals = line.indexOf('=');
        if (equals > 0)
            values.insert(line.left(equals), line.mid(equals + 1));
    }
    return ready && process.lines().contains(QStringLiteral("ready"));
}

quint16 ClusterProcess::port(const QString &key) const
{
    return quint16(values.value(key).section(':', -1).toUInt());
}

qint64 ClusterProcess::pid(const QString &key) const
{
    return values.value(QStringLiteral("pid.") + key).toLongLong();
}

QStringList ClusterProcess::nodeLog(int node) const
{
    return readLines(QDir(workDir()).filePath(QStringLiteral("node%1.log").arg(node)));
}

int ClusterProcess::nodeOfAgent(const QString &id) const
{
    int found = 0;
    QString latest;
    for (int node = 1; node <= nodeCount; ++node) {
        if (!nodeRunning(node))
            continue;
        QString onlineSince;
        for (const QString &line : nodeLog(node)) {
            if (line.contains(QStringLiteral("agent online id=") + id + ' '))
                onlineSince = line.section(' ', 0, 0);
            else if (line.contains(QStringLiteral("agent offline id=") + id + ' '))
                onlineSince.clear();
        }
        // ISO timestamps of one clock: the later one in text order is the later one in time.
        if (!onlineSince.isEmpty() && onlineSince > latest) {
            latest = onlineSince;
            found = node;
        }
    }
    return found;
}

double ClusterProcess::metric(int node, const QByteArray &name) const
{
    const QByteArray answer = httpGet(nodePort(node), "/metrics");
    for (const QByteArray &line : answer.split('\n')) {
        if (line.startsWith(name + ' '))
            return line.mid(name.size() + 1).trimmed().toDouble();
    }
    return -1;
}

bool ClusterProcess::killNode(int node)
{
    return killPid(pid(QStringLiteral("node%1").arg(node)));
}

bool ClusterProcess::killRedis()
{
    return killPid(pid(QStringLiteral("redis")));
}

bool ClusterProcess::killPid(qint64 victim)
{
    if (!alive(victim))
        return false;
    ::kill(pid_t(victim), SIGKILL);
    return QTest::qWaitFor([&] { return !alive(victim); }, 10000);
}

bool ClusterProcess::nodeRunning(int node) const
{
    return alive(pid(QStringLiteral("node%1").arg(node)));
}

bool ClusterProcess::stopRedis()
{
    // The pid file is Redis's own, so it names a Redis that was started again too.
    const QStringList file = readLines(QDir(workDir()).filePath(QStringLiteral("redis.pid")));
    const qint64 redis = file.isEmpty() ? pid(QStringLiteral("redis")) : file.first().toLongLong();
    if (!alive(redis))
        return false;
    ::kill(pid_t(redis), SIGTERM);
    return QTest::qWaitFor([&] { return !alive(redis) && !redisAnswers(); }, 10000);
}

bool ClusterProcess::startRedis(int timeoutMs)
{
    redisAgain = std::make_unique<ServerProcess>(QStringLiteral("redis-server"));
    redisAgain->start({QDir(workDir()).filePath(QStringLiteral("redis.conf"))});
    return QTest::qWaitFor([&] { return redisAnswers(); }, timeoutMs);
}

bool ClusterProcess::redisAnswers() const
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), redisPort());
    if (!socket.waitForConnected(1000))
        return false;
    socket.write("PING\r\n");
    QByteArray reply;
    const bool replied = QTest::qWaitFor(
        [&] {
            reply += socket.readAll();
            return reply.contains("\r\n") || socket.state() != QAbstractSocket::ConnectedState;
        },
        1000);
    return replied && reply.startsWith("+PONG");
}

QMap<QString, ClusterProcess::Backend> ClusterProcess::backends() const
{
    QMap<QString, Backend> found;
    const QByteArray answer = httpGet(port(QStringLiteral("stats")), "/;csv");
    const QList<QByteArray> lines = answer.mid(answer.indexOf("\r\n\r\n") + 4).split('\n');
    if (lines.isEmpty() || !lines.first().startsWith("# "))
        return found;
    const QList<QByteArray> header = lines.first().mid(2).split(',');
    const int proxy = header.indexOf("pxname"), name = header.indexOf("svname"),
              status = header.indexOf("status"), total = header.indexOf("stot"),
              current = header.indexOf("scur");
    if (proxy < 0 || name < 0 || status < 0 || total < 0 || current < 0)
        return found;
    for (const QByteArray &line : lines.mid(1)) {
        const QList<QByteArray> fields = line.split(',');
        if (fields.size() < header.size() || fields[proxy] != "nodes" ||
            !fields[name].startsWith("node"))
            continue;
        Backend backend;
        backend.status = QString::fromLatin1(fields[status]);
        backend.sessions = fields[total].toLongLong();
        backend.current = fields[current].toLongLong();
        found.insert(QString::fromLatin1(fields[name]), backend);
    }
    return found;
}

QString ClusterProcess::output() const
{
    QStringList all = process.lines();
    const QDir folder(workDir());
    for (const QString &log : folder.entryList({QStringLiteral("*.log")}, QDir::Files)) {
        const QStringList lines = readLines(folder.filePath(log));
        all << QStringLiteral("--- %1").arg(log) << lines.mid(qMax(0, lines.size() - 30));
    }
    return all.join('\n');
}

QByteArray ClusterProcess::httpGet(quint16 port, const QByteArray &target, int timeoutMs)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(timeoutMs))
        return {};
    socket.write("GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray answer;
    const bool closed = QTest::qWaitFor(
        [&] {
            answer += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        timeoutMs);
    answer += socket.readAll();
    if (!closed)
        return {};
    // haproxy's statistics come chunked even to an HTTP/1.0 request.
    const int end = answer.indexOf("\r\n\r\n");
    if (end < 0 || !answer.left(end).toLower().contains("\r\ntransfer-encoding: chunked"))
        return answer;
    QByteArray body;
    int at = end + 4;
    for (;;) {
        const int line = answer.indexOf("\r\n", at);
        bool ok = false;
        const int size = answer.mid(at, line - at).split(';').first().toInt(&ok, 16);
        if (line < 0 || !ok || size == 0 || line + 2 + size > answer.size())
            break;
        body += answer.mid(line + 2, size);
        at = line + 2 + size + 2;
    }
    return answer.left(end + 4) + body;
}
