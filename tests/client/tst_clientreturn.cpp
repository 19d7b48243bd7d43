// The real Client comes back while the server still holds its old connection, which went
// half-open (the server's side stays up and answers nothing): the server asks the old connection,
// hears nothing within its wait, and gives the ID back to the Client, within that wait plus the
// Client's reconnect interval.

#include "client/client.h"
#include "configdir.h"
#include "partitionrelay.h"
#include "serverthread.h"
#include "statuslog.h"
#include "supporterpeer.h"
#include "wspeerserver.h"

#include "server/net/agentadmission.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

namespace {

constexpr int kWaitMs = 10000;
constexpr int kReconnectIntervalMs = 4000;
const QByteArray greeting = QByteArrayLiteral("RFB 003.008\n");

} // namespace

class TestClientReturn : public QObject
{
    Q_OBJECT

private slots:
    void backWithItsIdBesideAHalfOpenConnection();
};

void TestClientReturn::backWithItsIdBesideAHalfOpenConnection()
{
    ServerThread server;
    PartitionRelay relay(QHostAddress::LocalHost, server.port());
    QVERIFY(relay.listen());
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
    client.run();
    QVERIFY(ids.wait(kWaitMs));
    const QString id = ids.last().at(0).toString();
    QVERIFY(!id.isEmpty());

    // The Client's side is reset; the server's stays open and silent.
    QElapsedTimer clock;
    clock.start();
    relay.cutClients();
    QTRY_COMPARE_WITH_TIMEOUT(status.a.last(), Client::Disconnected, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(ids.count(), 2, 20000);
    const qint64 took = clock.elapsed();
    QCOMPARE(ids.last().at(0).toString(), id);
    const qint64 bound =
        kReconnectIntervalMs + velmora::server::AgentAdmission::kAnswerWait.count() + 1500;
    qInfo("back with its ID %lld ms after the cut (bound %lld ms)", took, bound);
    QVERIFY2(took <= bound, qPrintable(QString::number(took)));
    QVERIFY(server.waitForLog("agent id=" + id + " did not answer within"));
    QVERIFY(server.waitForLog("(returning; replaces its previous connection)"));
    QCOMPARE(status.a.last(), Client::Connected);

    // The ID leads to the Client again.
    SupporterPeer supporter;
    supporter.open(server.viewerUrl(id));
    QVERIFY(supporter.waitForMessages(1));
    QCOMPARE(supporter.messages.first(), greeting);
}

QTEST_GUILESS_MAIN(TestClientReturn)
#include "tst_clientreturn.moc"
