// A link that goes silent: the real Client and the real rendezvous server with a relay between
// them that, for a while, forwards nothing and closes nothing. The agent must notice within 30 s,
// end attempts that hang in the partition, and be back with its ID once the network heals.

#include "client/client.h"
#include "configdir.h"
#include "logcapture.h"
#include "partitionrelay.h"
#include "serverthread.h"
#include "statuslog.h"
#include "supporterpeer.h"
#include "wspeerserver.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QWebSocket>

namespace {

constexpr int kWaitMs = 10000;
const QByteArray greeting = QByteArrayLiteral("RFB 003.008\n");

} // namespace

class TestClientPartition : public QObject
{
    Q_OBJECT

private slots:
    void silentLinkThenHeal();
};

void TestClientPartition::silentLinkThenHeal()
{
    ServerThread server;
    PartitionRelay relay(QHostAddress::LocalHost, server.port());
    QVERIFY(relay.listen());
    // The local proxy: a VNC server speaks first.
    WsPeerServer proxy;
    QVERIFY(proxy.listen());
    connect(&proxy, &WsPeerServer::peerConnected, this, [&] { proxy.sendBinary(greeting); });

    ConfigDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.writeServer(QStringLiteral("127.0.0.1"), relay.port()));
    Client client;
    client.setProxyHost(QStringLiteral("127.0.0.1"));
    client.setProxyPort(QString::number(proxy.port()));
    StatusLog status(&client);
    QSignalSpy ids(&client, &Client::sessionIdChanged);
    QSignalSpy connected(&client, &Client::connectedToServer);
    LogCapture log;
    client.run();
    QVERIFY(ids.wait(kWaitMs));
    const QString id = ids.last().at(0).toString();
    QVERIFY(!id.isEmpty());

    // The link goes silent.
    QElapsedTimer clock;
    clock.start();
    relay.partition();
    QTRY_COMPARE_WITH_TIMEOUT(status.a.size(), 2, 40000);
    QCOMPARE(status.a.last(), Client::Disconnected);
    QVERIFY2(clock.elapsed() <= 30000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(log.debugLines().contains("Server silent, connection dropped"));

    // The retry 4 s later hangs in the partition and is ended by its deadline; and so on.
    QTRY_COMPARE_WITH_TIMEOUT(relay.acceptedCount(), 2, kWaitMs);
    clock.restart();
    QTRY_COMPARE_WITH_TIMEOUT(status.a.size(), 3, 15000);
    QCOMPARE(status.a.last(), Client::Disconnected);
    QVERIFY2(clock.elapsed() >= 9000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(log.debugLines().count("Server handshake timed out"), 1);

    // The network heals while the next attempt hangs: the worst moment for it.
    QTRY_COMPARE_WITH_TIMEOUT(relay.acceptedCount(), 3, kWaitMs);
    relay.heal();
    clock.restart();
    const int idsBefore = ids.count();
    QTRY_COMPARE_WITH_TIMEOUT(ids.count(), idsBefore + 1, 20000);
    // One reconnect interval plus the hanging attempt's deadline, plus the handshake itself.
    QVERIFY2(clock.elapsed() <= 4000 + 10000 + 3000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(ids.last().at(0).toString(), id);
    QCOMPARE(status.a.last(), Client::Connected);
    QCOMPARE(connected.count(), 2);

    // An ordinary session relays both ways again.
    SupporterPeer supporter;
    supporter.open(server.viewerUrl(id));
    QVERIFY(supporter.waitForMessages(1));
    QCOMPARE(supporter.messages.first(), greeting);
    supporter.socket.sendBinaryMessage(greeting);
    QTRY_COMPARE_WITH_TIMEOUT(proxy.binaryMessages(), QList<QByteArray>{greeting}, kWaitMs);
}

QTEST_GUILESS_MAIN(TestClientPartition)
#include "tst_clientpartition.moc"
