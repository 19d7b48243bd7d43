// A cluster whose Redis has a replica and three Sentinels (scripts/cluster.sh --sentinel), its
// primary killed during live sessions: the sessions go on; new supporters are refused with 4503
// only until the Sentinels have promoted the replica and the nodes have followed, then served;
// agents keep their IDs; a lock in force before the failover is in force after it. Prints the
// time from the primary's death to the first new session served.
#include "clusterprocess.h"
#include "livesession.h"
#include "sentinelprocess.h"
#include "vncagentpeer.h"
#include "vncviewerpeer.h"

#include <QElapsedTimer>
#include <QtTest>

#include <memory>

namespace {

// A wrong password locks its ID for 60 s: far beyond the failover.
const QStringList kNodeFlags{QStringLiteral("--lockout-base"), QStringLiteral("60"),
                             QStringLiteral("--lockout-cap"), QStringLiteral("60")};

QUrl agentUrl(quint16 port)
{
    return QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(port));
}

QUrl viewerUrl(quint16 port, const QString &id)
{
    return QUrl(QStringLiteral("ws://127.0.0.1:%1/viewer/%2").arg(port).arg(id));
}

} // namespace

class TestClusterFailover : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { cluster.reset(); }
    void primaryDiesDuringSessions();

private:
    std::unique_ptr<ClusterProcess> cluster;
};

void TestClusterFailover::initTestCase()
{
    if (!ClusterProcess::available())
        QSKIP(ClusterProcess::skipReason());
    if (!SentinelProcess::available())
        QSKIP(SentinelProcess::skipReason());
    cluster = std::make_unique<ClusterProcess>(QStringLiteral(VELMORA_CLUSTER_SCRIPT),
                                               QStringLiteral(VELMORA_SERVER_BIN));
    QVERIFY2(cluster->start(3, kNodeFlags, 60000, {QStringLiteral("--sentinel")}),
             qPrintable(cluster->output()));
}

void TestClusterFailover::primaryDiesDuringSessions()
{
    // Sessions in progress on node 2 and on node 3.
    LiveSession second;
    QVERIFY2(second.open(cluster->nodePort(2)), qPrintable(cluster->output()));
    LiveSession third;
    QVERIFY(third.open(cluster->nodePort(3)));

    // An ID locked by a wrong password, and an agent waiting for its supporter.
    VncAgentPeer locked;
    QVERIFY(locked.online(agentUrl(cluster->nodePort(1))));
    {
        VncViewerPeer guesser("0000");
        guesser.open(viewerUrl(cluster->nodePort(2), locked.peer.id));
        QVERIFY(guesser.waitForOutcome());
        QCOMPARE(guesser.closeReason(), QStringLiteral("wrong-password;retry-after=60"));
    }
    QVERIFY(locked.returnAfterSession());
    VncAgentPeer waiting;
    QVERIFY(waiting.online(agentUrl(cluster->nodePort(3))));
    const QString lockedId = locked.peer.id;
    const QString waitingId = waiting.peer.id;

    QElapsedTimer sinceDeath;
    QVERIFY(cluster->killRedis());
    sinceDeath.start();

    // New supporters through node 1: refused with 4503 until the nodes follow the new primary,
    // then served; nothing else in between.
    int refusals = 0;
    qint64 served = -1;
    while (served < 0 && sinceDeath.elapsed() < 60000) {
        VncViewerPeer supporter(VncAgentPeer::kPassword);
        supporter.open(viewerUrl(cluster->nodePort(1), waitingId));
        QVERIFY(supporter.waitForOutcome());
        if (supporter.loggedIn) {
            served = sinceDeath.elapsed();
            break;
        }
        QVERIFY2(supporter.closeReason() == QStringLiteral("unavailable;retry-after=5"),
                 qPrintable(QStringLiteral("%1 %2 after %3 ms")
                                .arg(supporter.closeCode())
                                .arg(supporter.closeReason())
                                .arg(sinceDeath.elapsed())));
        ++refusals;
        // The sessions in progress go on meanwhile.
        QVERIFY(!second.roundTrips(5).empty());
        QVERIFY(!third.roundTrips(5).empty());
    }
    QVERIFY2(served >= 0, qPrintable(cluster->output()));
    qInfo("primary killed: %d supporters refused with 4503, the first new session served after "
          "%lld ms (down-after-milliseconds 1000)",
          refusals, served);
    QCOMPARE(waiting.logins, 1);

    // Every node followed, with one line for the move.
    const QString moved = QStringLiteral("Redis primary 'velmora' moved from ") +
                          cluster->value(QStringLiteral("redis")) + " to " +
                          cluster->value(QStringLiteral("replica"));
    for (int node = 1; node <= cluster->nodes(); ++node)
        QTRY_COMPARE_WITH_TIMEOUT(cluster->nodeLog(node).filter(moved).size(), 1, 10000);

    // The sessions still relay; the agents keep their IDs, also coming back with their tokens.
    QVERIFY(!second.roundTrips(20).empty());
    QVERIFY(!third.roundTrips(20).empty());
    QVERIFY(waiting.returnAfterSession(agentUrl(cluster->nodePort(2))));
    QCOMPARE(waiting.peer.id, waitingId);
    QVERIFY(locked.reconnect(agentUrl(cluster->nodePort(3))));
    QCOMPARE(locked.peer.id, lockedId);

    // The lock made before the failover still refuses, on every node, the right password too.
    for (int node = 1; node <= cluster->nodes(); ++node) {
        VncViewerPeer early(VncAgentPeer::kPassword);
        early.open(viewerUrl(cluster->nodePort(node), lockedId));
        QVERIFY(early.waitForEnd());
        QVERIFY2(early.closeReason().startsWith(QStringLiteral("locked;retry-after=")),
                 qPrintable(QStringLiteral("node %1: %2 %3")
                                .arg(node)
                                .arg(early.closeCode())
                                .arg(early.closeReason())));
    }
    QCOMPARE(locked.logins, 0);
}

QTEST_GUILESS_MAIN(TestClusterFailover)
#include "tst_clusterfailover.moc"
