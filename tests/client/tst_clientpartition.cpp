// A link that goes silent: the real Client and the real rendezvous server with a relay between
// them that, for a while, forwards nothing and closes nothing. The agent must notice within 30 s,
// end attempts that hang in the partition, and be back with its ID once the network heals. And a
// link that went half-open on the server's side only: the server asks the old connection, hears
// nothing within its wait, and gives the ID back to the returning Client.

#include "client/client.h"
#include "configdir.h"
#include "logcapture.h"
#include "partitionrelay.h"
#include "serverthread.h"
#include "statuslog.h"
#include "supporterpeer.h"
#include "wspeerserver.h"

#include "server/net/agentadmission.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QWebSocket>

namespace {

constexpr int kWaitMs = 10000;
constexpr int kReconnectIntervalMs = 4000;
const QByteArray greeting = QByteArrayLiteral("RFB 003.008\n");

// The real server, a relay that can be partitioned between it and the real Client, and the
// Client's local proxy (a VNC server speaks first). The Client reads its velmora.conf when it is
// made, so everything before it is ready first; start() runs it until it has its ID.
struct RelayedClient
{
    bool start()
    {
        if (!ready)
            return false;
        QObject::connect(&proxy, &WsPeerServer::peerConnected, &proxy,
                         [this] { proxy.sendBinary(greeting); });
        client.setProxyHost(QStringLiteral("127.0.0.1"));
        client.setProxyPort(QString::number(proxy.port()));
        client.run();
        if (!ids.wait(kWaitMs))
            return false;
        id = ids.last().at(0).toString();
        return !id.isEmpty();
    }

    // A supporter reaches the Client through its ID, and a session relays both ways.
    bool reachable()
    {
        SupporterPeer supporter;
        supporter.open(server.viewerUrl(id));
        if (!supporter.waitForMessages(1) || supporter.messages.first() != greeting)
            return false;
        supporter.socket.sendBinaryMessage(greeting);
        return QTest::qWaitFor(
            [&] { return proxy.binaryMessages() == QList<QByteArray>{greeting}; }, kWaitMs);
    }

    ServerThread server;
    PartitionRelay relay{QHostAddress::LocalHost, server.port()};
    WsPeerServer proxy;
    ConfigDir dir;
    const bool ready = relay.listen() && proxy.listen() && dir.isValid() &&
                       dir.writeServer(QStringLiteral("127.0.0.1"), relay.port());
    Client client;
    StatusLog status{&client};
    QSignalSpy ids{&client, &Client::sessionIdChanged};
    QSignalSpy connected{&client, &Client::connectedToServer};
    QString id;
};

} // namespace

class TestClientPartition : public QObject
{
    Q_OBJECT

private slots:
    void silentLinkThenHeal();
    void backWithItsIdBesideAHalfOpenConnection();
};

void TestClientPartition::silentLinkThenHeal()
{
    RelayedClient agent;
    LogCapture log;
    QVERIFY(agent.start());
    PartitionRelay &relay = agent.relay;
    StatusLog &status = agent.status;
    QSignalSpy &ids = agent.ids;

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
    QCOMPARE(ids.last().at(0).toString(), agent.id);
    QCOMPARE(status.a.last(), Client::Connected);
    QCOMPARE(agent.connected.count(), 2);

    // An ordinary session relays both ways again.
    QVERIFY(agent.reachable());
}

void TestClientPartition::backWithItsIdBesideAHalfOpenConnection()
{
    RelayedClient agent;
    QVERIFY(agent.start());

    // The Client's side is reset; the server's stays open and silent.
    QElapsedTimer clock;
    clock.start();
    agent.relay.cutClients();
    QTRY_COMPARE_WITH_TIMEOUT(agent.status.a.last(), Client::Disconnected, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(agent.ids.count(), 2, 20000);
    const qint64 took = clock.elapsed();
    QCOMPARE(agent.ids.last().at(0).toString(), agent.id);
    const qint64 bound =
        kReconnectIntervalMs + velmora::server::AgentAdmission::kAnswerWait.count() + 1500;
    qInfo("back with its ID %lld ms after the cut (bound %lld ms)", took, bound);
    QVERIFY2(took <= bound, qPrintable(QString::number(took)));
    QVERIFY(agent.server.waitForLog("agent id=" + agent.id + " did not answer within"));
    QVERIFY(agent.server.waitForLog("(returning; replaces its previous connection)"));
    QCOMPARE(agent.status.a.last(), Client::Connected);
    QVERIFY(agent.reachable());
}

QTEST_GUILESS_MAIN(TestClientPartition)
#include "tst_clientpartition.moc"
