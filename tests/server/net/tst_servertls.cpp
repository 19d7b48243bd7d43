// The server with TLS on its port and a plain listener beside it, in-process against real Qt
// clients and certificates made for the test: an agent on the plain listener relayed to a
// supporter over wss, the same routes on both listeners, plain clients refused by the TLS
// handshake, the handshake bounded by the request timeout, and the closing handshake over TLS.
#include "agentpeer.h"
#include "serverthread.h"
#include "supporterpeer.h"
#include "testcertificates.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// Sends `request` on `socket` (connected, or encrypted) and reads until the server closes (10 s
// at most).
QByteArray exchange(QTcpSocket &socket, const QByteArray &request)
{
    socket.write(request);
    QByteArray answer;
    const bool closed = QTest::qWaitFor(
        [&] {
            answer += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        10000);
    // Callers that care whether it closed look at the socket's state.
    Q_UNUSED(closed);
    return answer + socket.readAll();
}

QByteArray get(const QByteArray &target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
}

// One HTTPS request to 127.0.0.1:`port`, trusting `certificates`' CA; empty when the TLS
// connection failed.
QByteArray httpsExchange(const TestCertificates &certificates, quint16 port,
                         const QByteArray &request)
{
    QSslSocket socket;
    socket.setSslConfiguration(certificates.clientConfiguration());
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForEncrypted(10000))
        return {};
    return exchange(socket, request);
}

} // namespace

class TestServerTls : public QObject
{
    Q_OBJECT

private:
    TestCertificates certificates;

    // A server with TLS on its port and a plain listener, a page in a folder of its own, and a
    // short request timeout.
    std::unique_ptr<ServerThread> tlsServer(QTemporaryDir &web)
    {
        QFile page(web.filePath("index.html"));
        if (page.open(QIODevice::WriteOnly))
            page.write("<!doctype html><title>Velmora</title>\n");
        velmora::server::ServerConfig config = ServerThread::defaultConfig();
        config.options.webDir = web.path().toStdString();
        config.options.idleTimeout = std::chrono::milliseconds(1000);
        // The peers here send arbitrary bytes, not RFB: nothing to follow.
        config.followSecurityHandshake = false;
        certificates.serveTls(config);
        return std::make_unique<ServerThread>(config);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(certificates.ok(), qPrintable(certificates.error()));
        QVERIFY2(QSslSocket::supportsSsl(), "Qt finds no OpenSSL");
    }

    void listenersAreLogged()
    {
        QTemporaryDir web;
        const auto server = tlsServer(web);
        QVERIFY(server->port() != 0);
        QVERIFY(server->plainPort() != 0);
        QVERIFY(server->port() != server->plainPort());
        QCOMPARE(server->logMatching(QString("listening on 127.0.0.1:%1 (TLS)").arg(server->port()))
                     .size(),
                 1);
        QCOMPARE(
            server
                ->logMatching(QString("listening on 127.0.0.1:%1 (plain)").arg(server->plainPort()))
                .size(),
            1);
    }

    void agentOnThePlainListenerSupporterOverWss()
    {
        QTemporaryDir web;
        const auto server = tlsServer(web);
        AgentPeer agent(AgentPeer::Mode::Echo);
        agent.open(server->agentUrl());
        QCOMPARE(agent.url.scheme(), QString("ws"));
        QCOMPARE(agent.url.port(), int(server->plainPort()));
        QVERIFY(agent.waitForId());

        SupporterPeer supporter;
        supporter.socket.setSslConfiguration(certificates.clientConfiguration());
        const QUrl viewer = server->viewerUrl(agent.id);
        QCOMPARE(viewer.scheme(), QString("wss"));
        supporter.open(viewer);
        QVERIFY(supporter.waitForConnected());
        QVERIFY(supporter.waitForMessages(1));
        QCOMPARE(supporter.messages.first(), agent.greeting);
        QVERIFY(server->waitForLog("session start id=" + agent.id));

        QRandomGenerator random(7);
        QByteArray sent;
        for (int i = 0; i < 16; ++i) {
            QByteArray chunk(int(random.bounded(1, 200000)), '\0');
            for (char &c : chunk)
                c = char(random.bounded(256));
            sent += chunk;
            supporter.socket.sendBinaryMessage(chunk);
        }
        QVERIFY(QTest::qWaitFor(
            [&] { return supporter.bytes >= agent.greeting.size() + sent.size(); }, 20000));
        QCOMPARE(supporter.messages.mid(1).join(), sent);

        // The supporter's orderly close over TLS ends the session and releases the agent.
        supporter.socket.close();
        QVERIFY(supporter.waitForDisconnected());
        QVERIFY(server->waitForLog("session end id=" + agent.id));
        QVERIFY(agent.waitForDisconnected());
        QVERIFY(server->logMatching("TLS handshake").isEmpty());
    }

    void bothListenersServeTheSameRoutes()
    {
        QTemporaryDir web;
        const auto server = tlsServer(web);
        for (const QByteArray &target :
             {QByteArray("/"), QByteArray("/metrics"), QByteArray("/health")}) {
            const QByteArray secure = httpsExchange(certificates, server->port(), get(target));
            QVERIFY2(secure.startsWith("HTTP/1.1 200"), secure.left(200).constData());
            QTcpSocket plain;
            plain.connectToHost(QStringLiteral("127.0.0.1"), server->plainPort());
            QVERIFY(plain.waitForConnected());
            const QByteArray answer = exchange(plain, get(target));
            QVERIFY2(answer.startsWith("HTTP/1.1 200"), answer.left(200).constData());
            QCOMPARE(secure.mid(secure.indexOf("\r\n\r\n")).contains("<title>Velmora"),
                     target == "/");
            if (target == "/health") {
                QVERIFY(secure.endsWith("\r\n\r\nok\n"));
                QVERIFY(answer.endsWith("\r\n\r\nok\n"));
            }
        }
        // The page's policy lets it open its WebSocket to this server, wss included.
        const QByteArray page = httpsExchange(certificates, server->port(), get("/"));
        QVERIFY(page.contains("\r\nContent-Security-Policy: "));
        QVERIFY(page.contains("connect-src 'self'"));
    }

    void aKeepAliveConnectionOverTlsServesSeveralRequests()
    {
        QTemporaryDir web;
        const auto server = tlsServer(web);
        QSslSocket socket;
        socket.setSslConfiguration(certificates.clientConfiguration());
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), server->port());
        QVERIFY(socket.waitForEncrypted(10000));
        socket.write("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        QByteArray first;
        QVERIFY(QTest::qWaitFor([&] { return (first += socket.readAll()).contains("# TYPE"); }));
        QVERIFY(first.startsWith("HTTP/1.1 200"));
        const QByteArray second = exchange(socket, get("/"));
        QVERIFY2(second.startsWith("HTTP/1.1 200"), second.left(200).constData());
        QVERIFY(second.contains("<title>Velmora"));
    }

    void plainClientsFailTheTlsHandshake()
    {
        QTemporaryDir web;
        const auto server = tlsServer(web);
        QTcpSocket http;
        http.connectToHost(QStringLiteral("127.0.0.1"), server->port());
        QVERIFY(http.waitForConnected());
        const QByteArray answer = exchange(http, get("/"));
        QCOMPARE(http.state(), QAbstractSocket::UnconnectedState);
        QVERIFY2(!answer.contains("HTTP/"), answer.constData());
        QVERIFY(server->waitForLog("TLS handshake with 127.0.0.1:"));

        QTcpSocket ws;
        ws.connectToHost(QStringLiteral("127.0.0.1"), server->port());
        QVERIFY(ws.waitForConnected());
        const QByteArray refused =
            exchange(ws, "GET /viewer/123456789 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                         "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                         "Sec-WebSocket-Version: 13\r\n"
                         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
        QCOMPARE(ws.state(), QAbstractSocket::UnconnectedState);
        QVERIFY2(!refused.contains("HTTP/"), refused.constData());
        // Both counted; the second, within the interval, not logged.
        QTRY_COMPARE(server->stats().connectionFailures["tls-handshake"], std::uint64_t(2));
        QCOMPARE(server->logMatching("TLS handshake with").size(), 1);
        QVERIFY(server->logMatching("refused supporter").isEmpty());
    }

    void aSilentClientIsDroppedAfterTheRequestTimeout()
    {
        QTemporaryDir web;
        const auto server = tlsServer(web);
        QTcpSocket silent;
        silent.connectToHost(QStringLiteral("127.0.0.1"), server->port());
        QVERIFY(silent.waitForConnected());
        QVERIFY(QTest::qWaitFor([&] { return silent.state() == QAbstractSocket::UnconnectedState; },
                                10000));
        QVERIFY(server->waitForLog("TLS handshake with 127.0.0.1:"));
        QVERIFY(!server->logMatching("failed: timed out").isEmpty());
    }

    void tls12ClientsAreServed()
    {
        QTemporaryDir web;
        const auto server = tlsServer(web);
        QSslSocket socket;
        QSslConfiguration configuration = certificates.clientConfiguration();
        configuration.setProtocol(QSsl::TlsV1_2);
        socket.setSslConfiguration(configuration);
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), server->port());
        QVERIFY2(socket.waitForEncrypted(10000), qPrintable(socket.errorString()));
        QCOMPARE(socket.sessionProtocol(), QSsl::TlsV1_2);
        QVERIFY(exchange(socket, get("/metrics")).startsWith("HTTP/1.1 200"));
    }

    void shutdownClosesWssConnectionsInOrder()
    {
        QTemporaryDir web;
        const auto server = tlsServer(web);
        AgentPeer agent(AgentPeer::Mode::Echo);
        agent.open(server->agentUrl());
        QVERIFY(agent.waitForId());
        SupporterPeer supporter;
        supporter.socket.setSslConfiguration(certificates.clientConfiguration());
        supporter.open(server->viewerUrl(agent.id));
        QVERIFY(supporter.waitForConnected());
        QVERIFY(supporter.waitForMessages(1));
        server->stop();
        QVERIFY(supporter.waitForDisconnected());
        QCOMPARE(int(supporter.socket.closeCode()), 1001);
        QCOMPARE(supporter.socket.closeReason(), QString("server-shutdown"));
    }
};

QTEST_GUILESS_MAIN(TestServerTls)
#include "tst_servertls.moc"
