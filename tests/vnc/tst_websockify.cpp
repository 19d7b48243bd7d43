// The Linux stand-in websockify.exe with Debian's websockify: started by VNCWsProxy in front of a
// TCP echo server it carries the agent's WebSocket (origin "localhost") both ways, refuses every
// other origin, and leaves no process behind when its process object is destroyed.
#include "vnc/vncwsproxy.h"

#include "oshelpers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>

#include <memory>

namespace {

// Sends back whatever its clients send.
class EchoServer : public QTcpServer
{
public:
    EchoServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *client = nextPendingConnection()) {
                ++accepted;
                connect(client, &QTcpSocket::readyRead, client,
                        [client] { client->write(client->readAll()); });
                connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            }
        });
    }
    int accepted = 0;
};

bool acceptsConnections(const QString &port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port.toUShort());
    return socket.waitForConnected(1000);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The processes descending from this test that run now and did not run `before`.
QList<qint64> newDescendants(const QList<qint64> &before)
{
    QList<qint64> out = runningDescendants(QCoreApplication::applicationPid());
    for (qint64 pid : before)
        out.removeAll(pid);
    return out;
}

QUrl proxyUrl(const VNCWsProxy &proxy)
{
    return QUrl(QStringLiteral("ws://%1:%2/").arg(proxy.host(), proxy.port()));
}

} // namespace

class TestWebsockify : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void rejectsBadAddresses_data();
    void rejectsBadAddresses();
    void carriesAgentOrigin();
    void refusesOtherOrigins_data();
    void refusesOtherOrigins();
    void destructionLeavesNoProcess();

private:
    // Starts a proxy in front of the echo server and waits until it accepts connections; check
    // QTest::currentTestFailed() after.
    void startProxy(VNCWsProxy &proxy);

    QString standIn;
    EchoServer echo;
    QTemporaryDir workDir;
    QString previousDir;
    std::unique_ptr<VNCWsProxy> sharedProxy;
};

void TestWebsockify::initTestCase()
{
    standIn = QStandardPaths::findExecutable(QStringLiteral("websockify.exe"));
    QVERIFY2(!standIn.isEmpty(), "websockify.exe is not on PATH");
    QCOMPARE(QFileInfo(standIn).canonicalFilePath(),
             QFileInfo(qEnvironmentVariable("VELMORA_SOURCE_DIR") +
                       QStringLiteral("/platform/linux/websockify.exe"))
                 .canonicalFilePath());
    if (!QFile::exists(QStringLiteral("/usr/bin/websockify")))
        QSKIP("/usr/bin/websockify is missing (scripts/install-deps.sh)");
    QVERIFY(workDir.isValid());
    previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workDir.path()));
    QVERIFY(echo.listen(QHostAddress::LocalHost, 0));

    sharedProxy.reset(new VNCWsProxy);
    startProxy(*sharedProxy);
}

void TestWebsockify::cleanupTestCase()
{
    sharedProxy.reset();
    QDir::setCurrent(previousDir);
}

void TestWebsockify::startProxy(VNCWsProxy &proxy)
{
    proxy.setVncHost(QStringLiteral("127.0.0.1"));
    proxy.setVncPort(QString::number(echo.serverPort()));
    QSignalSpy started(&proxy, &VNCWsProxy::started);
    proxy.start();
    QVERIFY(started.wait());
    QTRY_VERIFY_WITH_TIMEOUT(acceptsConnections(proxy.port()), 30000);
}

void TestWebsockify::rejectsBadAddresses_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("no target") << QStringList{"127.0.0.1:6080"};
    QTest::newRow("three addresses") << QStringList{"127.0.0.1:6080", "127.0.0.1:5900", "x:1"};
    // What VNCWsProxy passes when it was started before its target was set.
    QTest::newRow("empty target") << QStringList{"127.0.0.1:6080", ":"};
    QTest::newRow("no port") << QStringList{"127.0.0.1:6080", "127.0.0.1"};
    QTest::newRow("port 0") << QStringList{"127.0.0.1:0", "127.0.0.1:5900"};
    QTest::newRow("port too big") << QStringList{"127.0.0.1:6080", "127.0.0.1:65536"};
    QTest::newRow("option") << QStringList{"--web=/", "127.0.0.1:5900"};
}

void TestWebsockify::rejectsBadAddresses()
{
    QFETCH(QStringList, arguments);

    QProcess program;
    program.start(standIn, arguments);
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 2);
    const QString error = QString::fromUtf8(program.readAllStandardError());
    QVERIFY2(error.startsWith(QStringLiteral("websockify.exe: ")), qPrintable(error));
}

void TestWebsockify::carriesAgentOrigin()
{
    // The agent's proxy socket: origin "localhost", protocol version 13.
    QWebSocket socket(QStringLiteral("localhost"), QWebSocketProtocol::Version13);
    QSignalSpy connected(&socket, &QWebSocket::connected);
    QByteArray received;
    connect(&socket, &QWebSocket::binaryMessageReceived, this,
            [&received](const QByteArray &message) { received += message; });
    socket.open(proxyUrl(*sharedProxy));
    QVERIFY(connected.wait(30000));

    QByteArray payload("RFB 003.008\n");
    for (int i = 0; i < 256; ++i)
        payload += char(i);
    socket.sendBinaryMessage(payload);
    QTRY_COMPARE_WITH_TIMEOUT(received, payload, 30000);
    socket.close();
}

void TestWebsockify::refusesOtherOrigins_data()
{
    QTest::addColumn<QString>("origin");

    QTest::newRow("none") << QString();
    QTest::newRow("page on this machine") << "http://localhost";
    QTest::newRow("page on this machine with port") << "http://localhost:8080";
    QTest::newRow("sandboxed page") << "null";
    QTest::newRow("page elsewhere") << "https://evil.example";
    QTest::newRow("localhost as a prefix") << "localhost.evil.example";
}

void TestWebsockify::refusesOtherOrigins()
{
    QFETCH(QString, origin);

    const QString logPath = QStringLiteral("vncwsproxy.log");
    const int refusalsBefore = readFile(logPath).count("Invalid Origin");
    const int acceptedBefore = echo.accepted;
    QWebSocket socket(origin, QWebSocketProtocol::Version13);
    QSignalSpy connected(&socket, &QWebSocket::connected);
    QSignalSpy failed(&socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error));
    socket.open(proxyUrl(*sharedProxy));
    QVERIFY(failed.wait(30000));
    QCOMPARE(connected.count(), 0);
    QVERIFY(socket.state() != QAbstractSocket::ConnectedState);
    // websockify refused the handshake itself and never reached the target.
    QTRY_COMPARE_WITH_TIMEOUT(readFile(logPath).count("Invalid Origin"), refusalsBefore + 1, 30000);
    QCOMPARE(echo.accepted, acceptedBefore);
}

void TestWebsockify::destructionLeavesNoProcess()
{
    const QList<qint64> before = runningDescendants(QCoreApplication::applicationPid());
    auto proxy = std::make_unique<VNCWsProxy>();
    startProxy(*proxy);
    if (QTest::currentTestFailed())
        return;

    // An open session: websockify serves it from a process of its own.
    QWebSocket socket(QStringLiteral("localhost"), QWebSocketProtocol::Version13);
    QSignalSpy connected(&socket, &QWebSocket::connected);
    socket.open(proxyUrl(*proxy));
    QVERIFY(connected.wait(30000));
    // The handshake was answered by the process that serves the session, so it runs by now,
    // next to the proxy itself.
    const QList<qint64> started = newDescendants(before);
    QVERIFY(started.size() >= 2);

    QSignalSpy disconnected(&socket, &QWebSocket::disconnected);
    proxy.reset();
    for (qint64 pid : qAsConst(started))
        QTRY_VERIFY2_WITH_TIMEOUT(processGone(pid), qPrintable(QString::number(pid)), 30000);
    // The session ended with the proxy.
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.count(), 1, 30000);
}

QTEST_GUILESS_MAIN(TestWebsockify)
#include "tst_websockify.moc"
