// The real Client and the real rendezvous server over TLS: the server in-process on its TLS
// listener, with certificates made by the openssl CLI for this run. The agent gets its ID over
// the encrypted link, a session relays both ways, and after a reset the agent comes back with its
// ID (its token) over TLS. A certificate for another name is refused and retried, and the server
// never admits the agent.

#include "certificaterefusal.h"
#include "client/client.h"
#include "configdir.h"
#include "logcapture.h"
#include "partitionrelay.h"
#include "serverthread.h"
#include "statuslog.h"
#include "supporterpeer.h"
#include "testcertificates.h"
#include "wspeerserver.h"

#include <QSignalSpy>
#include <QSslSocket>
#include <QTest>

#include <cstdint>
#include <memory>

namespace {

constexpr int kWaitMs = 10000;
// One reconnect interval (4 s) plus slack for a loaded machine.
constexpr int kRetryWaitMs = 9000;
const QByteArray greeting = QByteArrayLiteral("RFB 003.008\n");

} // namespace

class TestClientTlsServer : public QObject
{
    Q_OBJECT

private:
    TestCertificates certificates;

    // The server with `name`.crt on its TLS listener, behind a relay that can reset the link.
    std::unique_ptr<ServerThread> tlsServer(const QString &name) const
    {
        velmora::server::ServerConfig config = ServerThread::defaultConfig();
        certificates.serveTls(config, name);
        return std::make_unique<ServerThread>(config);
    }
    QByteArray configFor(quint16 port) const
    {
        return "server_host: 127.0.0.1\nserver_port: " + QByteArray::number(port) +
               "\nserver_tls: 1\nserver_ca_file: " + certificates.path("ca.crt").toUtf8() + "\n";
    }

private slots:
    void initTestCase();
    void idRelayAndReturnOverTls();
    void certificateForAnotherNameRefused();
};

void TestClientTlsServer::initTestCase()
{
    QVERIFY2(QSslSocket::supportsSsl(), "Qt finds no TLS library");
    QVERIFY2(certificates.ok(), qPrintable(certificates.error()));
}

void TestClientTlsServer::idRelayAndReturnOverTls()
{
    const std::unique_ptr<ServerThread> server = tlsServer(QStringLiteral("server"));
    PartitionRelay relay(QHostAddress::LocalHost, server->port());
    QVERIFY(relay.listen());
    // The local proxy: a VNC server speaks first.
    WsPeerServer proxy;
    QVERIFY(proxy.listen());
    connect(&proxy, &WsPeerServer::peerConnected, this, [&] { proxy.sendBinary(greeting); });
    ConfigDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.writeConfig(configFor(relay.port())));
    Client client;
    client.setProxyHost(QStringLiteral("127.0.0.1"));
    client.setProxyPort(QString::number(proxy.port()));
    StatusLog status(&client);
    QSignalSpy ids(&client, &Client::sessionIdChanged);
    client.run();
    QVERIFY(ids.wait(kWaitMs));
    const QString id = ids.last().at(0).toString();
    QVERIFY(!id.isEmpty());
    QCOMPARE(status.a, QList<Client::Status>{Client::Connected});
    QVERIFY(server->waitForLog("agent online id=" + id));

    // A supporter over wss: the session relays both ways.
    SupporterPeer supporter;
    supporter.socket.setSslConfiguration(certificates.clientConfiguration());
    supporter.open(server->viewerUrl(id));
    QVERIFY(supporter.waitForMessages(1));
    QCOMPARE(supporter.messages.first(), greeting);
    supporter.socket.sendBinaryMessage(greeting);
    QTRY_COMPARE_WITH_TIMEOUT(proxy.binaryMessages(), QList<QByteArray>{greeting}, kWaitMs);
    supporter.socket.close();
    QVERIFY(supporter.waitForDisconnected());

    // The link is reset: the agent comes back over TLS, and its token gives it its ID again.
    relay.cut();
    QTRY_COMPARE_WITH_TIMEOUT(status.a.size(), 2, kWaitMs);
    QCOMPARE(status.a.last(), Client::Disconnected);
    QTRY_COMPARE_WITH_TIMEOUT(ids.count(), 2, kRetryWaitMs + kWaitMs);
    QCOMPARE(ids.last().at(0).toString(), id);
    QCOMPARE(status.a.last(), Client::Connected);
    QCOMPARE(relay.acceptedCount(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(server->logMatching("agent online id=" + id).size(), 2, kWaitMs);
    QVERIFY2(server->logMatching("agent online id=" + id).last().contains("(returning"),
             qPrintable(server->log().join('\n')));
}

void TestClientTlsServer::certificateForAnotherNameRefused()
{
    const std::unique_ptr<ServerThread> server = tlsServer(QStringLiteral("elsewhere"));
    PartitionRelay relay(QHostAddress::LocalHost, server->port());
    QVERIFY(relay.listen());
    ConfigDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.writeConfig(configFor(relay.port())));
    checkCertificateRefused(QStringLiteral("host name"));
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(relay.acceptedCount(), 2);
    QVERIFY2(server->logMatching(QStringLiteral("agent online")).isEmpty(),
             qPrintable(server->log().join('\n')));
    QCOMPARE(server->stats().agentsOnline, std::uint64_t(0));
}

QTEST_GUILESS_MAIN(TestClientTlsServer)
#include "tst_clienttlsserver.moc"
