// The TLS library under the Client on each platform (OpenSSL on Linux, Schannel on Windows, also
// under Wine): present, and a server that does not speak TLS gets nothing of the agent's.

#include "client/client.h"
#include "configdir.h"
#include "logcapture.h"
#include "statuslog.h"

#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

class TestClientTlsBackend : public QObject
{
    Q_OBJECT

private slots:
    void backendAvailable();
    void plainServerGetsNothing();
};

void TestClientTlsBackend::backendAvailable()
{
    QVERIFY2(QSslSocket::supportsSsl(), qPrintable(QStringLiteral("no TLS; built with ") +
                                                   QSslSocket::sslLibraryBuildVersionString()));
    qInfo() << "TLS library:" << QSslSocket::sslLibraryVersionString();
}

void TestClientTlsBackend::plainServerGetsNothing()
{
    // A plain TCP server that records what arrives: with TLS on, only a TLS handshake may.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QByteArray received;
    std::unique_ptr<QTcpSocket> peer;
    connect(&server, &QTcpServer::newConnection, this, [&] {
        peer.reset(server.nextPendingConnection());
        connect(peer.get(), &QTcpSocket::readyRead, this, [&] {
            received += peer->readAll();
            // Not a TLS server: the handshake cannot go on.
            peer->abort();
        });
    });
    ConfigDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.writeConfig("server_host: 127.0.0.1\nserver_port: " +
                            QByteArray::number(server.serverPort()) + "\nserver_tls: 1\n"));
    Client client;
    client.setProxyHost(QStringLiteral("127.0.0.1"));
    client.setProxyPort(QStringLiteral("1"));
    StatusLog status(&client);
    LogCapture log;
    client.run();
    QTRY_COMPARE_WITH_TIMEOUT(status.a.size(), 1, 10000);
    QCOMPARE(status.a.first(), Client::Disconnected);
    QVERIFY(!received.isEmpty());
    // A TLS record (a handshake), never the upgrade request or its cookie.
    QCOMPARE(received.at(0), char(0x16));
    QVERIFY(!received.contains("GET "));
    QVERIFY(!received.contains("VELMORA-SESSION-TOKEN"));
    // Retried 4 s later.
    QTRY_COMPARE_WITH_TIMEOUT(log.debugLines().count(QStringLiteral("Debug:: reconnectToServer")),
                              1, 9000);
}

QTEST_GUILESS_MAIN(TestClientTlsBackend)
#include "tst_clienttlsbackend.moc"
