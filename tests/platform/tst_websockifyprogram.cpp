// websockify.exe, the proxy that the package ships, as the agent runs it: started by VNCWsProxy
// in front of a real TCP target (one that listens late, one that never does), with the agent's
// own kind of WebSocket (origin "localhost"), with the agent's Client, and with a hand-made
// WebSocket that stops reading.
#include "client/client.h"
#include "oshelpers.h"
#include "platform/websockify/proxyconnection.h"
#include "platform/websockify/wsframe.h"
#include "protocol/envelope.h"
#include "vnc/vncwsproxy.h"

#include "logcapture.h"
#include "statuslog.h"
#include "wspeerserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>
#include <QtTest>

#include <memory>

namespace {

const QString program = QStringLiteral(VELMORA_WEBSOCKIFY_PROGRAM);

// The connections that reached the target, in order; each keeps what it received.
class Target : public QTcpServer
{
public:
    Target()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                received.append(QByteArray());
                const int index = sockets.size();
                sockets.append(socket);
                if (!reading) {
                    socket->setReadBufferSize(4096);
                    continue;
                }
                connect(socket, &QTcpSocket::readyRead, this,
                        [this, socket, index] { received[index] += socket->readAll(); });
            }
        });
    }
    // New connections are read at once unless this is false; the test reads the others.
    bool reading = true;
    QList<QTcpSocket *> sockets;
    QList<QByteArray> received;
};

QByteArray pattern(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + seed + i / 251) & 0xFF);
    return bytes;
}

// A port that nothing listens on: the system chose it, then it was released.
quint16 closedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool acceptsConnections(const QString &port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port.toUShort());
    return socket.waitForConnected(1000);
}

QByteArray startSession()
{
    return QByteArray::fromStdString(velmora::envelope::startSessionEnvelope());
}

QByteArray rfb(const QByteArray &frame)
{
    return QByteArray::fromStdString(velmora::envelope::rfbEnvelope(
        velmora::envelope::kApiVersion, std::string_view(frame.constData(), size_t(frame.size()))));
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Waits until `spy` has had no signal for a while: the transfer it watches has stalled (or ended).
void waitUntilQuiet(QSignalSpy &spy)
{
    while (spy.wait(500)) {
    }
}

// The resident memory of process `pid` in KiB, where the system tells it (Linux); else -1.
qint64 residentKiB(qint64 pid)
{
    const QByteArray status = readFile(QStringLiteral("/proc/%1/status").arg(pid));
    const int at = status.indexOf("VmRSS:");
    if (at < 0)
        return -1;
    return status.mid(at + 6, status.indexOf('\n', at) - at - 6)
        .trimmed()
        .split(' ')
        .first()
        .toLongLong();
}

} // namespace

class TestWebsockifyProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void rejectsBadArguments_data();
    void rejectsBadArguments();
    void carriesBytesExactly_data();
    void carriesBytesExactly();
    void oneTargetConnectionPerWebSocket();
    void eitherEndEndsTheOther_data();
    void eitherEndEndsTheOther();
    void refusesOtherOrigins_data();
    void refusesOtherOrigins();
    void targetListeningLate();
    void targetNeverListening();
    void slowTargetHoldsTheClient();
    void slowClientHoldsTheTarget();
    void proxyEnding();

private:
    // Starts a proxy in front of `target` and waits until it accepts connections; check
    // QTest::currentTestFailed() after.
    void startProxy(VNCWsProxy &proxy, quint16 targetPort);
    // The same, towards a port where nothing listens yet; returns that port.
    quint16 startProxyWithoutTarget(VNCWsProxy &proxy);
    // An agent-like WebSocket to the shared proxy, connected, with its target connection.
    std::unique_ptr<QWebSocket> openSession();

    QTemporaryDir workDir;
    QTemporaryDir binDir;
    QString previousDir;
    QByteArray savedPath;
    Target target;
    std::unique_ptr<VNCWsProxy> sharedProxy;
};

void TestWebsockifyProgram::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    QVERIFY(workDir.isValid() && binDir.isValid());
    // The agent finds the program by its name on PATH, as it finds it beside itself on Windows.
    QVERIFY(QFile::copy(program, binDir.filePath(QStringLiteral("websockify.exe"))));
    savedPath = qgetenv("PATH");
#ifdef Q_OS_WIN
    qputenv("PATH", QFile::encodeName(QDir::toNativeSeparators(binDir.path())) + ';' + savedPath);
#else
    qputenv("PATH", QFile::encodeName(binDir.path()) + ':' + savedPath);
#endif
    previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workDir.path()));
    QVERIFY(target.listen(QHostAddress::LocalHost, 0));
    sharedProxy.reset(new VNCWsProxy);
    startProxy(*sharedProxy, target.serverPort());
}

void TestWebsockifyProgram::cleanupTestCase()
{
    sharedProxy.reset();
    QDir::setCurrent(previousDir);
    qputenv("PATH", savedPath);
}

void TestWebsockifyProgram::startProxy(VNCWsProxy &proxy, quint16 targetPort)
{
    proxy.setVncHost(QStringLiteral("127.0.0.1"));
    proxy.setVncPort(QString::number(targetPort));
    QSignalSpy started(&proxy, &VNCWsProxy::started);
    proxy.start();
    QTRY_COMPARE_WITH_TIMEOUT(started.count(), 1, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(acceptsConnections(proxy.port()), 30000);
}

quint16 TestWebsockifyProgram::startProxyWithoutTarget(VNCWsProxy &proxy)
{
    const quint16 port = closedPort();
    if (port == 0)
        QTest::qFail("no free port", __FILE__, __LINE__);
    else
        startProxy(proxy, port);
    return port;
}

std::unique_ptr<QWebSocket> TestWebsockifyProgram::openSession()
{
    // As the agent's proxy socket: origin "localhost", protocol version 13.
    auto socket =
        std::make_unique<QWebSocket>(QStringLiteral("localhost"), QWebSocketProtocol::Version13);
    QSignalSpy connected(socket.get(), &QWebSocket::connected);
    const int before = target.sockets.size();
    socket->open(QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(sharedProxy->port())));
    if (!connected.wait(30000))
        return nullptr;
    if (!QTest::qWaitFor([&] { return target.sockets.size() > before; }, 30000))
        return nullptr;
    return target.sockets.size() == before + 1 ? std::move(socket) : nullptr;
}

void TestWebsockifyProgram::rejectsBadArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("none") << QStringList() << 2;
    QTest::newRow("no target") << QStringList{"127.0.0.1:6080"} << 2;
    QTest::newRow("three addresses") << QStringList{"127.0.0.1:6080", "127.0.0.1:5900", "x:1"} << 2;
    // What VNCWsProxy passes when it was started before its target was set.
    QTest::newRow("empty target") << QStringList{"127.0.0.1:6080", ":"} << 2;
    QTest::newRow("no port") << QStringList{"127.0.0.1:6080", "127.0.0.1"} << 2;
    QTest::newRow("port 0") << QStringList{"127.0.0.1:0", "127.0.0.1:5900"} << 2;
    QTest::newRow("port too big") << QStringList{"127.0.0.1:6080", "127.0.0.1:65536"} << 2;
    QTest::newRow("option") << QStringList{"--web=/", "127.0.0.1:5900"} << 2;
    QTest::newRow("unknown host") << QStringList{"no-such-host.invalid:6080", "127.0.0.1:5900"}
                                  << 1;
}

void TestWebsockifyProgram::rejectsBadArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);

    QProcess run;
    run.start(program, arguments);
    QVERIFY(run.waitForFinished(30000));
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), exitCode);
    const QString error = QString::fromUtf8(run.readAllStandardError());
    QVERIFY2(error.startsWith(QStringLiteral("websockify.exe: ")), qPrintable(error));
    QVERIFY(run.readAllStandardOutput().isEmpty());
}

void TestWebsockifyProgram::carriesBytesExactly_data()
{
    QTest::addColumn<QList<int>>("messages"); // sizes, client to target
    QTest::addColumn<int>("reply");           // bytes, target to client

    QTest::newRow("VNC greeting") << QList<int>{12} << 12;
    QTest::newRow("one byte each way") << QList<int>{1} << 1;
    QTest::newRow("sizes around the frame length forms")
        << QList<int>{125, 126, 127, 65535, 65536, 65537} << 200000;
    // The agent's socket splits a message into frames of 512 KiB.
    QTest::newRow("several frames per message") << QList<int>{3 << 20} << (3 << 20);
}

void TestWebsockifyProgram::carriesBytesExactly()
{
    QFETCH(QList<int>, messages);
    QFETCH(int, reply);

    std::unique_ptr<QWebSocket> socket = openSession();
    QVERIFY(socket);
    const int index = target.sockets.size() - 1;
    QByteArray received;
    connect(socket.get(), &QWebSocket::binaryMessageReceived, this,
            [&received](const QByteArray &message) { received += message; });

    QByteArray sent;
    for (int size : messages) {
        const QByteArray message = pattern(size, sent.size());
        socket->sendBinaryMessage(message);
        sent += message;
    }
    QTRY_COMPARE_WITH_TIMEOUT(target.received[index].size(), sent.size(), 30000);
    QVERIFY(target.received[index] == sent);

    const QByteArray answer = pattern(reply, 99);
    target.sockets[index]->write(answer);
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), answer.size(), 30000);
    QVERIFY(received == answer);
    socket->close();
    QTRY_COMPARE_WITH_TIMEOUT(target.sockets[index]->state(), QAbstractSocket::UnconnectedState,
                              30000);
}

void TestWebsockifyProgram::oneTargetConnectionPerWebSocket()
{
    std::unique_ptr<QWebSocket> first = openSession();
    QVERIFY(first);
    std::unique_ptr<QWebSocket> second = openSession();
    QVERIFY(second);
    const int index = target.sockets.size() - 2;
    QByteArray toFirst, toSecond;
    connect(first.get(), &QWebSocket::binaryMessageReceived, this,
            [&toFirst](const QByteArray &message) { toFirst += message; });
    connect(second.get(), &QWebSocket::binaryMessageReceived, this,
            [&toSecond](const QByteArray &message) { toSecond += message; });

    first->sendBinaryMessage("from the first");
    second->sendBinaryMessage("from the second");
    target.sockets[index]->write("to the first");
    target.sockets[index + 1]->write("to the second");
    QTRY_COMPARE_WITH_TIMEOUT(target.received[index], QByteArray("from the first"), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(target.received[index + 1], QByteArray("from the second"), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(toFirst, QByteArray("to the first"), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(toSecond, QByteArray("to the second"), 30000);

    // One session's end leaves the other working.
    first->close();
    QTRY_COMPARE_WITH_TIMEOUT(target.sockets[index]->state(), QAbstractSocket::UnconnectedState,
                              30000);
    second->sendBinaryMessage(" still");
    QTRY_COMPARE_WITH_TIMEOUT(target.received[index + 1], QByteArray("from the second still"),
                              30000);
    QCOMPARE(second->state(), QAbstractSocket::ConnectedState);
}

void TestWebsockifyProgram::eitherEndEndsTheOther_data()
{
    QTest::addColumn<QString>("ending");

    QTest::newRow("the client closes") << "client closes";
    QTest::newRow("the client's connection drops") << "client aborts";
    QTest::newRow("the target closes") << "target closes";
    QTest::newRow("the target's connection drops") << "target aborts";
}

void TestWebsockifyProgram::eitherEndEndsTheOther()
{
    QFETCH(QString, ending);

    std::unique_ptr<QWebSocket> socket = openSession();
    QVERIFY(socket);
    const int index = target.sockets.size() - 1;
    QTcpSocket *targetSide = target.sockets[index];
    QByteArray received;
    connect(socket.get(), &QWebSocket::binaryMessageReceived, this,
            [&received](const QByteArray &message) { received += message; });
    QSignalSpy clientGone(socket.get(), &QWebSocket::disconnected);

    // What was sent just before the end still arrives, ahead of it.
    const QByteArray last = pattern(300000, 5);
    if (ending.startsWith(QLatin1String("client"))) {
        socket->sendBinaryMessage(last);
        socket->flush();
        if (ending == QLatin1String("client closes"))
            socket->close();
        else
            socket->abort();
        QTRY_COMPARE_WITH_TIMEOUT(targetSide->state(), QAbstractSocket::UnconnectedState, 30000);
        if (ending == QLatin1String("client closes"))
            QVERIFY(target.received[index] == last);
    } else {
        targetSide->write(last);
        if (ending == QLatin1String("target closes")) {
            targetSide->disconnectFromHost();
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(received.size(), last.size(), 30000);
            targetSide->abort();
        }
        QTRY_COMPARE_WITH_TIMEOUT(clientGone.count(), 1, 30000);
        // On Windows QWebSocket may report the end before it has read the last messages.
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), last.size(), 30000);
        QVERIFY(received == last);
    }
}

void TestWebsockifyProgram::refusesOtherOrigins_data()
{
    QTest::addColumn<QString>("origin");

    QTest::newRow("none") << QString();
    QTest::newRow("page on this machine") << "http://localhost";
    QTest::newRow("page on this machine with port") << "http://localhost:8080";
    QTest::newRow("sandboxed page") << "null";
    QTest::newRow("page elsewhere") << "https://evil.example";
    QTest::newRow("localhost as a prefix") << "localhost.evil.example";
    QTest::newRow("other case") << "LOCALHOST";
}

void TestWebsockifyProgram::refusesOtherOrigins()
{
    QFETCH(QString, origin);

    const QString logPath = QStringLiteral("vncwsproxy.log");
    const int refusalsBefore = readFile(logPath).count("Invalid Origin");
    const int connectionsBefore = target.sockets.size();
    QWebSocket socket(origin, QWebSocketProtocol::Version13);
    QSignalSpy connected(&socket, &QWebSocket::connected);
    QSignalSpy failed(&socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error));
    socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(sharedProxy->port())));
    QTRY_VERIFY_WITH_TIMEOUT(failed.count() > 0, 30000);
    QCOMPARE(connected.count(), 0);
    QVERIFY(socket.state() != QAbstractSocket::ConnectedState);
    QTRY_COMPARE_WITH_TIMEOUT(readFile(logPath).count("Invalid Origin"), refusalsBefore + 1, 30000);
    // Refused at the handshake: the target never saw it.
    QCOMPARE(target.sockets.size(), connectionsBefore);
}

void TestWebsockifyProgram::targetListeningLate()
{
    // The VNC server may listen seconds after its process started; a session opened before then
    // waits for it and loses nothing of what it sent meanwhile.
    VNCWsProxy proxy;
    const quint16 port = startProxyWithoutTarget(proxy);
    if (QTest::currentTestFailed())
        return;

    QWebSocket socket(QStringLiteral("localhost"), QWebSocketProtocol::Version13);
    QSignalSpy connected(&socket, &QWebSocket::connected);
    QSignalSpy gone(&socket, &QWebSocket::disconnected);
    QByteArray received;
    connect(&socket, &QWebSocket::binaryMessageReceived, this,
            [&received](const QByteArray &message) { received += message; });
    socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(proxy.port())));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, 30000);
    const QByteArray early = pattern(100000, 11);
    socket.sendBinaryMessage(early);

    Target late;
    bool listening = false;
    QTimer::singleShot(2000, &late,
                       [&] { listening = late.listen(QHostAddress::LocalHost, port); });
    QTRY_VERIFY_WITH_TIMEOUT(listening, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(late.sockets.size(), 1, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(late.received[0].size(), early.size(), 30000);
    QVERIFY(late.received[0] == early);

    late.sockets[0]->write("RFB 003.008\n");
    QTRY_COMPARE_WITH_TIMEOUT(received, QByteArray("RFB 003.008\n"), 30000);
    socket.sendBinaryMessage("after");
    QTRY_COMPARE_WITH_TIMEOUT(late.received[0].size(), early.size() + 5, 30000);
    QVERIFY(late.received[0].endsWith("after"));
    QCOMPARE(gone.count(), 0);
    QCOMPARE(late.sockets.size(), 1);
    // The refusals before it listened are not errors.
    QVERIFY(!readFile(QStringLiteral("vncwsproxy.log"))
                 .contains(QStringLiteral("127.0.0.1:%1: ").arg(port).toUtf8()));
}

void TestWebsockifyProgram::targetNeverListening()
{
    VNCWsProxy proxy;
    const quint16 port = startProxyWithoutTarget(proxy);
    if (QTest::currentTestFailed())
        return;

    const QByteArray failure = QStringLiteral("127.0.0.1:%1: ").arg(port).toUtf8();
    const int failuresBefore = readFile(QStringLiteral("vncwsproxy.log")).count(failure);
    QWebSocket socket(QStringLiteral("localhost"), QWebSocketProtocol::Version13);
    QSignalSpy connected(&socket, &QWebSocket::connected);
    QSignalSpy gone(&socket, &QWebSocket::disconnected);
    QElapsedTimer clock;
    clock.start();
    socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(proxy.port())));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, 30000);
    socket.sendBinaryMessage("never delivered");
    QTRY_COMPARE_WITH_TIMEOUT(gone.count(), 1, ProxyConnection::targetWaitMs + 30000);
    // Held open for the whole wait, then ended as for any unreachable target.
    QVERIFY2(clock.elapsed() >= ProxyConnection::targetWaitMs - ProxyConnection::targetRetryMs,
             qPrintable(QString::number(clock.elapsed())));
    // On Windows the close frame is read after the end is reported.
    QTRY_COMPARE_WITH_TIMEOUT(socket.closeCode(), QWebSocketProtocol::CloseCodeBadOperation, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(readFile(QStringLiteral("vncwsproxy.log")).count(failure),
                              failuresBefore + 1, 30000);
}

void TestWebsockifyProgram::slowTargetHoldsTheClient()
{
    target.reading = false;
    std::unique_ptr<QWebSocket> socket = openSession();
    target.reading = true;
    QVERIFY(socket);
    const int index = target.sockets.size() - 1;

    const int messageSize = 256 * 1024;
    const int count = 192; // 48 MiB
    QByteArray sent;
    for (int i = 0; i < count; ++i) {
        const QByteArray message = pattern(messageSize, i);
        socket->sendBinaryMessage(message);
        sent += message;
    }
    QSignalSpy progress(socket.get(), &QWebSocket::bytesWritten);
    waitUntilQuiet(progress);
    // The proxy stopped taking bytes: most of them still wait in the client. What is in flight
    // is the proxy's bound and the kernel's socket buffers on either side of it.
    const qint64 inFlight = sent.size() - socket->bytesToWrite();
    qInfo("target not reading: %lld KiB left the client, proxy resident %lld KiB", inFlight / 1024,
          residentKiB(runningDescendants(QCoreApplication::applicationPid()).value(0)));
    QVERIFY2(socket->bytesToWrite() > sent.size() / 2, qPrintable(QString::number(inFlight)));

    // Once the target reads, everything arrives, in order.
    QTcpSocket *targetSide = target.sockets[index];
    targetSide->setReadBufferSize(0);
    connect(targetSide, &QTcpSocket::readyRead, this,
            [this, targetSide, index] { target.received[index] += targetSide->readAll(); });
    target.received[index] += targetSide->readAll();
    QTRY_COMPARE_WITH_TIMEOUT(target.received[index].size(), sent.size(), 60000);
    QVERIFY(target.received[index] == sent);
}

void TestWebsockifyProgram::slowClientHoldsTheTarget()
{
    // A client that does its handshake and then reads nothing.
    QTcpSocket client;
    client.setReadBufferSize(4096);
    client.connectToHost(QHostAddress::LocalHost, sharedProxy->port().toUShort());
    QVERIFY(client.waitForConnected(30000));
    const QByteArray key = QByteArray("0123456789abcdef").toBase64();
    client.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                 "Connection: Upgrade\r\nSec-WebSocket-Key: " +
                 key + "\r\nSec-WebSocket-Version: 13\r\nOrigin: localhost\r\n\r\n");
    const int before = target.sockets.size();
    QTRY_COMPARE_WITH_TIMEOUT(target.sockets.size(), before + 1, 30000);
    QTcpSocket *targetSide = target.sockets.last();

    const QByteArray sent = pattern(48 << 20, 3);
    targetSide->write(sent);
    QSignalSpy progress(targetSide, &QTcpSocket::bytesWritten);
    waitUntilQuiet(progress);
    const qint64 inFlight = sent.size() - targetSide->bytesToWrite();
    qInfo("client not reading: %lld KiB left the target", inFlight / 1024);
    QVERIFY2(targetSide->bytesToWrite() > sent.size() / 2, qPrintable(QString::number(inFlight)));

    // Once the client reads: the handshake's answer, then the bytes in binary messages.
    client.setReadBufferSize(0);
    QByteArray stream;
    QByteArray payload;
    QTRY_VERIFY_WITH_TIMEOUT((stream += client.readAll()).contains("\r\n\r\n"), 30000);
    const int responseEnd = stream.indexOf("\r\n\r\n") + 4;
    QVERIFY(stream.startsWith("HTTP/1.1 101 "));
    QVERIFY(stream.left(responseEnd).contains("Sec-WebSocket-Accept: " + wsframe::acceptKey(key)));
    stream.remove(0, responseEnd);
    const auto takeFrames = [&] {
        stream += client.readAll();
        while (const std::optional<wsframe::Header> header = wsframe::parseHeader(stream)) {
            if (stream.size() < header->size + qint64(header->length))
                break;
            if (header->opcode != wsframe::Binary || header->masked || !header->final)
                return false;
            payload += stream.mid(header->size, int(header->length));
            stream.remove(0, header->size + int(header->length));
        }
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(takeFrames() && payload.size() >= sent.size(), 60000);
    QVERIFY(payload == sent);
}

void TestWebsockifyProgram::proxyEnding()
{
    // The program ends under a running session of the agent's own Client: the launcher reports
    // it and starts nothing again; the session ends, the Client stays online and is told of the
    // next session, which fails, as every later one does, without the server being told.
    const QList<qint64> before = runningDescendants(QCoreApplication::applicationPid());
    auto proxy = std::make_unique<VNCWsProxy>();
    startProxy(*proxy, target.serverPort());
    if (QTest::currentTestFailed())
        return;
    QList<qint64> started = runningDescendants(QCoreApplication::applicationPid());
    for (qint64 pid : before)
        started.removeAll(pid);
    // The program, and under Wine the console host that it starts.
    QVERIFY(!started.isEmpty());

    WsPeerServer server;
    QVERIFY(server.listen());
    QFile config(QStringLiteral("velmora.conf"));
    QVERIFY(config.open(QIODevice::WriteOnly | QIODevice::Truncate));
    config.write("server_host: 127.0.0.1\nserver_port: " + QByteArray::number(server.port()) +
                 "\n");
    config.close();
    Client client;
    client.setProxyHost(proxy->host());
    client.setProxyPort(proxy->port());
    StatusLog status(&client);
    QSignalSpy online(&client, &Client::connectedToServer);
    QSignalSpy ids(&client, &Client::sessionIdChanged);
    client.run();
    QTRY_COMPARE_WITH_TIMEOUT(online.count(), 1, 30000);
    const int connections = target.sockets.size();
    server.sendBinary(startSession());
    QTRY_COMPARE_WITH_TIMEOUT(status.b, QList<Client::Status>{Client::Connected}, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(target.sockets.size(), connections + 1, 30000);
    target.sockets.last()->write("RFB 003.008\n");
    QTRY_COMPARE_WITH_TIMEOUT(server.binaryMessages(), QList<QByteArray>{rfb("RFB 003.008\n")},
                              30000);

    LogCapture log;
    QSignalSpy finished(proxy.get(), &VNCWsProxy::finished);
    QSignalSpy startedAgain(proxy.get(), &VNCWsProxy::started);
    for (qint64 pid : qAsConst(started))
        QVERIFY(killProcess(pid));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
    const int exitCode = finished.first().at(0).toInt();
    QStringList expected{QStringLiteral("VNCWsProxy finished %1").arg(exitCode)};
#ifndef Q_OS_WIN // there a terminated program has only the exit code it was given
    QCOMPARE(finished.first().at(1).value<QProcess::ExitStatus>(), QProcess::CrashExit);
    expected.prepend(QStringLiteral("VNCWsProxy errorOccurred QProcess::Crashed"));
#endif
    // The launcher's lines for the end; the one for "finished" has the exit code only.
    QCOMPARE(log.debugLines().filter(QStringLiteral("VNCWsProxy")), expected);
    QTRY_COMPARE_WITH_TIMEOUT(
        status.b, (QList<Client::Status>{Client::Connected, Client::Disconnected}), 30000);
    QVERIFY(log.debugLines().contains(QStringLiteral("Disconnected from proxy")));
    QTRY_COMPARE_WITH_TIMEOUT(target.sockets.last()->state(), QAbstractSocket::UnconnectedState,
                              30000);
    QVERIFY(!acceptsConnections(proxy->port()));

    // Back in handshake mode, online with its ID; the next session finds no proxy.
    log.clear();
    server.sendBinary(startSession());
    QTRY_COMPARE_WITH_TIMEOUT(status.b.size(), 3, 30000);
    QCOMPARE(status.b.last(), Client::Disconnected);
    // Qt reports the disconnection before the error; only the two lines matter.
    QStringList proxyLines = log.debugLines().filter(QStringLiteral("proxy"), Qt::CaseInsensitive);
    proxyLines.sort();
    QCOMPARE(
        proxyLines,
        (QStringList{QStringLiteral("Disconnected from proxy"),
                     QStringLiteral("Proxy error:  QAbstractSocket::ConnectionRefusedError")}));
    server.sendBinary(
        QByteArray::fromStdString(velmora::envelope::connectionInfoEnvelope("AFTER", "T")));
    QTRY_COMPARE_WITH_TIMEOUT(ids.count(), 1, 30000);
    QCOMPARE(ids.first().at(0).toString(), QStringLiteral("AFTER"));
    QCOMPARE(status.a, QList<Client::Status>{Client::Connected});
    QCOMPARE(server.disconnectionCount(), 0);
    QCOMPARE(startedAgain.count(), 0);
}

QTEST_GUILESS_MAIN(TestWebsockifyProgram)
#include "tst_websockifyprogram.moc"
