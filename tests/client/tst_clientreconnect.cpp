// Losing and regaining connections with real sockets: the server down at start-up or restarting,
// dropped without a close handshake, refusing the WebSocket handshake or never answering it; an
// unusable server URL; the proxy unreachable; a server error in the middle of a session; an idle
// connection kept by pings. The reconnect waits are Client's own 4 s.

#include "client/client.h"
#include "configdir.h"
#include "logcapture.h"
#include "protocol/envelope.h"
#include "statuslog.h"
#include "wspeerserver.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QWebSocket>

#include <memory>

namespace {

// Generous: one reconnect interval (4 s) plus slack for a loaded machine.
constexpr int kReconnectWaitMs = 9000;
constexpr int kWaitMs = 10000;

const QString reconnectLine = QStringLiteral("Debug:: reconnectToServer");

QByteArray bytes(const std::string &text)
{
    return QByteArray::fromStdString(text);
}

QByteArray rfb(const QByteArray &frame)
{
    return bytes(velmora::envelope::rfbEnvelope(
        "110", std::string_view(frame.constData(), size_t(frame.size()))));
}

const QByteArray startSession = bytes(velmora::envelope::startSessionEnvelope());

QByteArray connectionInfo(const std::string &id, const std::string &token)
{
    return bytes(velmora::envelope::connectionInfoEnvelope(id, token));
}

// A port that nothing listens on (the system chose it, then it was released).
quint16 closedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

// Answers every HTTP request with fixed bytes instead of a WebSocket handshake.
class RejectingServer
{
public:
    RejectingServer(const QByteArray &answer, bool closeAfter)
    {
        QObject::connect(&server, &QTcpServer::newConnection, [this, answer, closeAfter] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                ++connections;
                socket->setParent(&server);
                QObject::connect(socket, &QTcpSocket::readyRead, socket,
                                 [socket, answer, closeAfter] {
                                     if (!socket->readAll().contains("\r\n\r\n"))
                                         return;
                                     socket->write(answer);
                                     if (closeAfter)
                                         socket->disconnectFromHost();
                                 });
            }
        });
    }
    bool listen() { return server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return server.serverPort(); }

    int connections = 0;

private:
    QTcpServer server;
};

} // namespace

class TestClientReconnect : public QObject
{
    Q_OBJECT

private slots:
    void serverDownAtStartup();
    void unusableServerUrl_data();
    void unusableServerUrl();
    void handshakeNeverAnswered();
    void idleConnectionStaysUp();
    void serverDropsAndRestarts();
    void handshakeRejected_data();
    void handshakeRejected();
    void proxyUnreachable_data();
    void proxyUnreachable();
    void sessionsResumeAfterUnreachableProxy();
    void proxyDropEndsSession();
    void serverErrorDuringSession();

private:
    std::unique_ptr<Client> makeClient(ConfigDir &dir, quint16 serverPort,
                                       const QString &proxyPort);
};

std::unique_ptr<Client> TestClientReconnect::makeClient(ConfigDir &dir, quint16 serverPort,
                                                        const QString &proxyPort)
{
    if (!dir.isValid() || !dir.writeServer(QStringLiteral("127.0.0.1"), serverPort))
        return nullptr;
    auto client = std::make_unique<Client>();
    client->setProxyHost(QStringLiteral("127.0.0.1"));
    client->setProxyPort(proxyPort);
    return client;
}

void TestClientReconnect::serverDownAtStartup()
{
    const quint16 port = closedPort();
    QVERIFY(port);
    ConfigDir dir;
    auto client = makeClient(dir, port, QStringLiteral("1"));
    QVERIFY(client);
    StatusLog status(client.get());
    QSignalSpy connected(client.get(), &Client::connectedToServer);
    LogCapture log;

    client->run();
    QTRY_COMPARE_WITH_TIMEOUT(status.a, QList<Client::Status>{Client::Disconnected}, kWaitMs);
    QVERIFY(log.debugLines().contains("Server error:  QAbstractSocket::ConnectionRefusedError"));

    // The first retry fails too and reports Disconnected again.
    QTRY_COMPARE_WITH_TIMEOUT(log.debugLines().count(reconnectLine), 1, kReconnectWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(status.a.size(), 2, kWaitMs);

    WsPeerServer server;
    QVERIFY(server.listen(port));
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, kReconnectWaitMs);
    // One attempt per failure: two failures, two retries, the second one connected.
    QCOMPARE(log.debugLines().count(reconnectLine), 2);
    QCOMPARE(status.a, (QList<Client::Status>{Client::Disconnected, Client::Disconnected,
                                              Client::Connected}));
    QCOMPARE(server.connectionCount(), 1);
    QCOMPARE(server.requests().at(0).rawHeader("Cookie"), QByteArray("VELMORA-SESSION-TOKEN="));
}

void TestClientReconnect::unusableServerUrl_data()
{
    QTest::addColumn<QByteArray>("port");
    QTest::newRow("letter typed into the port") << QByteArray("80a");
    QTest::newRow("port out of range") << QByteArray("99999");
}

void TestClientReconnect::unusableServerUrl()
{
    QFETCH(QByteArray, port);
    ConfigDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.writeConfig("server_host: 127.0.0.1\nserver_port: " + port + "\n"));
    Client client;
    client.setProxyHost(QStringLiteral("127.0.0.1"));
    client.setProxyPort(QStringLiteral("1"));
    StatusLog status(&client);
    LogCapture log;

    // Qt reports only an error, from inside open(); the attempt still ends as a failed one.
    client.run();
    QCOMPARE(status.a, QList<Client::Status>{Client::Disconnected});
    QVERIFY(log.debugLines().contains("Server error:  QAbstractSocket::ConnectionRefusedError"));
    QCOMPARE(log.debugLines().count("Disconnected from server"), 1);

    // Exactly one new attempt per failure, each 4 s after the last.
    QTRY_COMPARE_WITH_TIMEOUT(log.debugLines().count(reconnectLine), 1, kReconnectWaitMs);
    QCOMPARE(status.a, (QList<Client::Status>{Client::Disconnected, Client::Disconnected}));
    QTRY_COMPARE_WITH_TIMEOUT(log.debugLines().count(reconnectLine), 2, kReconnectWaitMs);
    QCOMPARE(status.a.size(), 3);
    QCOMPARE(log.debugLines().count("Disconnected from server"), 3);
}

void TestClientReconnect::handshakeNeverAnswered()
{
    // Accepts the TCP connection, reads the upgrade request and never answers: what an attempt
    // made into a partition sees.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    QList<QTcpSocket *> accepted;
    connect(&silent, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket *socket = silent.nextPendingConnection()) {
            accepted << socket;
            connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
        }
    });
    ConfigDir dir;
    auto client = makeClient(dir, silent.serverPort(), QStringLiteral("1"));
    QVERIFY(client);
    StatusLog status(client.get());
    LogCapture log;
    QElapsedTimer clock;
    clock.start();
    client->run();
    QTRY_COMPARE_WITH_TIMEOUT(accepted.size(), 1, kWaitMs);

    // The attempt is ended after its 10 s deadline and counts as a failed one.
    QTRY_COMPARE_WITH_TIMEOUT(status.a, QList<Client::Status>{Client::Disconnected}, 15000);
    QVERIFY2(clock.elapsed() >= 9500, qPrintable(QString::number(clock.elapsed())));
    const QStringList lines = log.debugLines();
    QCOMPARE(lines.mid(lines.indexOf("Server handshake timed out"), 2),
             (QStringList{"Server handshake timed out", "Disconnected from server"}));
    QTRY_COMPARE_WITH_TIMEOUT(accepted.size(), 2, kReconnectWaitMs);
    QCOMPARE(log.debugLines().count(reconnectLine), 1);
    QTRY_COMPARE_WITH_TIMEOUT(accepted.first()->state(), QAbstractSocket::UnconnectedState,
                              kWaitMs);
}

void TestClientReconnect::idleConnectionStaysUp()
{
    // The server sends nothing at all for longer than the silence limit; the Client's own pings
    // get their pongs, so the connection stays.
    WsPeerServer server;
    QVERIFY(server.listen());
    ConfigDir dir;
    auto client = makeClient(dir, server.port(), QStringLiteral("1"));
    QVERIFY(client);
    StatusLog status(client.get());
    QSignalSpy connected(client.get(), &Client::connectedToServer);
    QSignalSpy dropped(client.get(), &Client::disconnectedFromServer);
    client->run();
    QVERIFY(connected.wait(kWaitMs));
    QVERIFY(!dropped.wait(32000));
    QCOMPARE(status.a, QList<Client::Status>{Client::Connected});
    QCOMPARE(server.disconnectionCount(), 0);
    QCOMPARE(server.connectionCount(), 1);
}

void TestClientReconnect::serverDropsAndRestarts()
{
    auto server = std::make_unique<WsPeerServer>();
    QVERIFY(server->listen());
    const quint16 port = server->port();
    ConfigDir dir;
    auto client = makeClient(dir, port, QStringLiteral("1"));
    QVERIFY(client);
    StatusLog status(client.get());
    QSignalSpy connected(client.get(), &Client::connectedToServer);
    QSignalSpy ids(client.get(), &Client::sessionIdChanged);
    client->run();
    QVERIFY(connected.wait(kWaitMs));
    server->sendBinary(connectionInfo("ID-1", "TOKEN-1"));
    QVERIFY(ids.wait(kWaitMs));

    // The server goes away without a close handshake, and is back before the retry.
    LogCapture log;
    server->abortPeer();
    server.reset();
    QTRY_COMPARE_WITH_TIMEOUT(
        status.a, (QList<Client::Status>{Client::Connected, Client::Disconnected}), kWaitMs);
    QCOMPARE(log.debugLines(), (QStringList{"Server error:  QAbstractSocket::RemoteHostClosedError",
                                            "Disconnected from server"}));
    server = std::make_unique<WsPeerServer>();
    QVERIFY(server->listen(port));

    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 2, kReconnectWaitMs);
    QCOMPARE(log.debugLines().count(reconnectLine), 1);
    QCOMPARE(server->connectionCount(), 1);
    QCOMPARE(server->requests().at(0).rawHeader("Cookie"),
             QByteArray("VELMORA-SESSION-TOKEN=TOKEN-1"));
    // The new connection is in handshake mode and takes envelopes again.
    server->sendBinary(connectionInfo("ID-2", "TOKEN-2"));
    QTRY_COMPARE_WITH_TIMEOUT(ids.count(), 2, kWaitMs);
    QCOMPARE(ids.last().at(0).toString(), QStringLiteral("ID-2"));
}

void TestClientReconnect::handshakeRejected_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("closeAfter");
    // Qt reports the refusal but keeps connecting for as long as the server keeps the connection.
    QTest::newRow("403, connection kept") << QByteArray("HTTP/1.1 403 Forbidden\r\n"
                                                        "Content-Length: 0\r\n\r\n")
                                          << false;
    // Qt reports two errors and one disconnection.
    QTest::newRow("403, connection closed") << QByteArray("HTTP/1.1 403 Forbidden\r\n"
                                                          "Connection: close\r\n\r\n")
                                            << true;
}

void TestClientReconnect::handshakeRejected()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, closeAfter);

    RejectingServer server(answer, closeAfter);
    QVERIFY(server.listen());
    ConfigDir dir;
    auto client = makeClient(dir, server.port(), QStringLiteral("1"));
    QVERIFY(client);
    StatusLog status(client.get());
    LogCapture log;
    client->run();
    QTRY_COMPARE_WITH_TIMEOUT(status.a, QList<Client::Status>{Client::Disconnected}, kWaitMs);
    // Which error: Linux reads the refusal first; Windows may see the server's close first.
    QVERIFY2(log.debugLines().contains("Server error:  QAbstractSocket::ConnectionRefusedError") ||
                 log.debugLines().contains("Server error:  QAbstractSocket::RemoteHostClosedError"),
             qPrintable(log.debugLines().join(" | ")));

    // Exactly one new attempt follows.
    QTRY_COMPARE_WITH_TIMEOUT(server.connections, 2, kReconnectWaitMs);
    QCOMPARE(log.debugLines().count(reconnectLine), 1);
    QVERIFY(!status.a.contains(Client::Connected));
}

void TestClientReconnect::proxyUnreachable_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("nothing listening") << QStringLiteral("refused");
    QTest::newRow("handshake refused, connection kept") << QStringLiteral("rejected");
    QTest::newRow("unusable proxy URL") << QStringLiteral("url");
}

void TestClientReconnect::proxyUnreachable()
{
    QFETCH(QString, kind);

    RejectingServer rejecting("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", false);
    QVERIFY(rejecting.listen());
    QString proxyPort = QString::number(closedPort());
    if (kind == QLatin1String("rejected"))
        proxyPort = QString::number(rejecting.port());
    else if (kind == QLatin1String("url"))
        proxyPort = QStringLiteral("59x");

    WsPeerServer server;
    QVERIFY(server.listen());
    ConfigDir dir;
    auto client = makeClient(dir, server.port(), proxyPort);
    QVERIFY(client);
    StatusLog status(client.get());
    QSignalSpy connected(client.get(), &Client::connectedToServer);
    QSignalSpy ids(client.get(), &Client::sessionIdChanged);
    client->run();
    QVERIFY(connected.wait(kWaitMs));

    LogCapture log;
    server.sendBinary(startSession);
    // The failed attempt ends the session at once: the next envelope is a handshake one again.
    QTRY_COMPARE_WITH_TIMEOUT(status.b, QList<Client::Status>{Client::Disconnected}, kWaitMs);
    server.sendBinary(connectionInfo("AFTER", "T"));
    QVERIFY(ids.wait(kWaitMs));
    QCOMPARE(ids.last().at(0).toString(), QStringLiteral("AFTER"));
    QVERIFY(log.debugLines().contains("Disconnected from proxy"));
    QCOMPARE(log.debugLines().filter("Proxy error:  QAbstractSocket::").size(), 1);
    QCOMPARE(log.debugLines().filter("T1").size(), 0);
    QCOMPARE(server.disconnectionCount(), 0);
}

void TestClientReconnect::sessionsResumeAfterUnreachableProxy()
{
    const quint16 proxyPort = closedPort();
    QVERIFY(proxyPort);
    WsPeerServer server;
    QVERIFY(server.listen());
    ConfigDir dir;
    auto client = makeClient(dir, server.port(), QString::number(proxyPort));
    QVERIFY(client);
    QSignalSpy connected(client.get(), &Client::connectedToServer);
    QSignalSpy proxyGone(client.get(), &Client::disconnectedFromProxy);
    QSignalSpy proxyUp(client.get(), &Client::connectedToProxy);
    QSignalSpy ids(client.get(), &Client::sessionIdChanged);
    client->run();
    QVERIFY(connected.wait(kWaitMs));
    server.sendBinary(startSession);
    QVERIFY(proxyGone.wait(kWaitMs));

    // The server gives up on this session and ends the connection; the agent reconnects, and
    // the proxy is up by now.
    WsPeerServer proxy;
    QVERIFY(proxy.listen(proxyPort));
    server.closePeer();
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 2, kReconnectWaitMs);
    server.sendBinary(connectionInfo("AGAIN", "T2"));
    QVERIFY(ids.wait(kWaitMs));
    server.sendBinary(startSession);
    QVERIFY(proxyUp.wait(kWaitMs));
    server.sendBinary(rfb("to proxy"));
    QTRY_COMPARE_WITH_TIMEOUT(proxy.binaryMessages(), QList<QByteArray>{"to proxy"}, kWaitMs);
}

void TestClientReconnect::proxyDropEndsSession()
{
    WsPeerServer server;
    WsPeerServer proxy;
    QVERIFY(server.listen());
    QVERIFY(proxy.listen());
    ConfigDir dir;
    auto client = makeClient(dir, server.port(), QString::number(proxy.port()));
    QVERIFY(client);
    QSignalSpy connected(client.get(), &Client::connectedToServer);
    QSignalSpy proxyUp(client.get(), &Client::connectedToProxy);
    QSignalSpy ids(client.get(), &Client::sessionIdChanged);
    client->run();
    QVERIFY(connected.wait(kWaitMs));
    server.sendBinary(startSession);
    QVERIFY(proxyUp.wait(kWaitMs));

    LogCapture log;
    QSignalSpy proxyGone(client.get(), &Client::disconnectedFromProxy);
    proxy.abortPeer();
    QVERIFY(proxyGone.wait(kWaitMs));
    QCOMPARE(log.debugLines(), (QStringList{"Proxy error:  QAbstractSocket::RemoteHostClosedError",
                                            "Disconnected from proxy"}));
    // The server is not told; the next envelope is a handshake one.
    server.sendBinary(connectionInfo("NEXT", "T"));
    QVERIFY(ids.wait(kWaitMs));
    QCOMPARE(server.disconnectionCount(), 0);
}

void TestClientReconnect::serverErrorDuringSession()
{
    auto server = std::make_unique<WsPeerServer>();
    WsPeerServer proxy;
    QVERIFY(server->listen());
    QVERIFY(proxy.listen());
    const quint16 port = server->port();
    ConfigDir dir;
    auto client = makeClient(dir, port, QString::number(proxy.port()));
    QVERIFY(client);
    StatusLog status(client.get());
    QSignalSpy connected(client.get(), &Client::connectedToServer);
    QSignalSpy proxyUp(client.get(), &Client::connectedToProxy);
    client->run();
    QVERIFY(connected.wait(kWaitMs));
    server->sendBinary(startSession);
    QVERIFY(proxyUp.wait(kWaitMs));

    // The server connection fails in mid-session (dropped without a close handshake).
    QWebSocket *proxyPeer = proxy.peer();
    QWebSocketProtocol::CloseCode proxyCloseCode =
        QWebSocketProtocol::CloseCodeAbnormalDisconnection;
    connect(proxyPeer, &QWebSocket::disconnected, this,
            [&] { proxyCloseCode = proxyPeer->closeCode(); });
    LogCapture log;
    server->abortPeer();
    QTRY_COMPARE_WITH_TIMEOUT(proxy.disconnectionCount(), 1, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(
        status.b, (QList<Client::Status>{Client::Connected, Client::Disconnected}), kWaitMs);
    QCOMPARE(proxyCloseCode, QWebSocketProtocol::CloseCodeNormal);
    QCOMPARE(log.debugLines(), (QStringList{"Server error:  QAbstractSocket::RemoteHostClosedError",
                                            "Disconnected to proxy.", "Disconnected from proxy",
                                            "Disconnected from server"}));

    // The next session relays in both directions.
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 2, kReconnectWaitMs);
    server->sendBinary(startSession);
    QVERIFY(proxyUp.wait(kWaitMs));
    QCOMPARE(proxy.connectionCount(), 2);
    server->sendBinary(rfb("down"));
    QTRY_COMPARE_WITH_TIMEOUT(proxy.binaryMessages(), QList<QByteArray>{"down"}, kWaitMs);
    proxy.sendBinary("up");
    QTRY_COMPARE_WITH_TIMEOUT(server->binaryMessages(), QList<QByteArray>{rfb("up")}, kWaitMs);
}

QTEST_GUILESS_MAIN(TestClientReconnect)
#include "tst_clientreconnect.moc"
