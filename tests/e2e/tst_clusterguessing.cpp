// Password guessing against a cluster (scripts/cluster.sh: Redis, three nodes, haproxy) with
// short locks: wrong passwords for one ID sent to different nodes, each reached directly, count
// in one lock schedule, so that spreading guesses over the nodes gives no more tries than one
// node does. Once with the agent staying on one node (the supporters' nodes carry the sessions
// to it), once with the agent moving to the next node after every session, as it may when it
// reconnects through the load balancer.
#include "clusterprocess.h"
#include "vncagentpeer.h"
#include "vncviewerpeer.h"

#include <QElapsedTimer>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {

// Locks of 2, 4 and 8 s after the 1st to 3rd refusal in a row: one attempt through each node,
// each lock long enough to be seen from every node before it passes.
const QStringList kNodeFlags{QStringLiteral("--lockout-base"), QStringLiteral("2"),
                             QStringLiteral("--lockout-cap"), QStringLiteral("8")};
const QList<int> kLocks{2, 4, 8};

QUrl agentUrl(quint16 port)
{
    return QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(port));
}

QUrl viewerUrl(quint16 port, const QString &id)
{
    return QUrl(QStringLiteral("ws://127.0.0.1:%1/viewer/%2").arg(port).arg(id));
}

// "locked;retry-after=N" → N; -1 for any other reason.
int lockedFor(const QString &reason)
{
    if (!reason.startsWith(QStringLiteral("locked;retry-after=")))
        return -1;
    return reason.section('=', 1).toInt();
}

} // namespace

class TestClusterGuessing : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { cluster.reset(); }
    void guessesThroughEveryNodeCountInOneSchedule_data();
    void guessesThroughEveryNodeCountInOneSchedule();

private:
    // Opens a viewer with `password` for `id` at `node` once the ID's lock (if any) has passed,
    // waiting out each "locked" refusal's retry-after; the viewer after it logged in or was
    // closed otherwise, or null.
    std::unique_ptr<VncViewerPeer> guess(int node, const QString &id, const QByteArray &password);

    std::unique_ptr<ClusterProcess> cluster;
};

void TestClusterGuessing::initTestCase()
{
    if (!ClusterProcess::available())
        QSKIP(ClusterProcess::skipReason());
    cluster = std::make_unique<ClusterProcess>(QStringLiteral(VELMORA_CLUSTER_SCRIPT),
                                               QStringLiteral(VELMORA_SERVER_BIN));
    QVERIFY2(cluster->start(3, kNodeFlags), qPrintable(cluster->output()));
}

std::unique_ptr<VncViewerPeer> TestClusterGuessing::guess(int node, const QString &id,
                                                          const QByteArray &password)
{
    for (int tries = 0; tries < 20; ++tries) {
        auto viewer = std::make_unique<VncViewerPeer>(password);
        viewer->open(viewerUrl(cluster->nodePort(node), id));
        if (!viewer->waitForOutcome())
            return nullptr;
        const int wait = lockedFor(viewer->closeReason());
        if (viewer->loggedIn || wait < 0)
            return viewer;
        // The server says when the lock ends; asking again before then would only be refused.
        QElapsedTimer locked;
        locked.start();
        if (!QTest::qWaitFor([&] { return locked.elapsed() >= wait * 1000; }, wait * 1000 + 1000))
            return nullptr;
    }
    return nullptr;
}

void TestClusterGuessing::guessesThroughEveryNodeCountInOneSchedule_data()
{
    QTest::addColumn<bool>("agentMoves");
    QTest::newRow("agent on one node") << false;
    QTest::newRow("agent on the next node after each session") << true;
}

void TestClusterGuessing::guessesThroughEveryNodeCountInOneSchedule()
{
    QFETCH(bool, agentMoves);
    VncAgentPeer agent;
    QVERIFY(agent.online(agentUrl(cluster->nodePort(1))));
    const QString id = agent.peer.id;
    int agentNode = 1;

    for (int attempt = 1; attempt <= kLocks.size(); ++attempt) {
        // Attempts go to node 1, 2, 3; with a moving agent, that is the agent's node.
        const int node = (attempt - 1) % cluster->nodes() + 1;
        QVERIFY(!agentMoves || node == agentNode);
        const auto viewer = guess(node, id, "0000");
        QVERIFY2(viewer, qPrintable(cluster->output()));
        QVERIFY2(!viewer->loggedIn && viewer->closeCode() == 4401,
                 qPrintable(QStringLiteral("attempt %1 at node %2: %3 %4")
                                .arg(attempt)
                                .arg(node)
                                .arg(viewer->closeCode())
                                .arg(viewer->closeReason())));
        // The lock grows as on one node: the n-th refusal in a row, wherever it was made.
        QCOMPARE(viewer->closeReason(),
                 QStringLiteral("wrong-password;retry-after=%1").arg(kLocks[attempt - 1]));
        // The node that followed the handshake (the agent's) logged the count of the whole ID.
        const QString counted = QStringLiteral("; %1 refused in a row, id locked for %2 s")
                                    .arg(attempt)
                                    .arg(kLocks[attempt - 1]);
        QVERIFY2(QTest::qWaitFor(
                     [&] { return !cluster->nodeLog(agentNode).filter(counted).isEmpty(); }, 5000),
                 qPrintable(cluster->output()));

        // The agent comes back after the session, on the next node when it moves.
        if (agentMoves)
            agentNode = agentNode % cluster->nodes() + 1;
        QVERIFY(agent.returnAfterSession(agentUrl(cluster->nodePort(agentNode))));
        QCOMPARE(agent.peer.id, id);

        // Meanwhile every node refuses the ID, the right password included, and says for how
        // long; those refusals are no attempts.
        for (int other = 1; other <= cluster->nodes(); ++other) {
            VncViewerPeer early(VncAgentPeer::kPassword);
            early.open(viewerUrl(cluster->nodePort(other), id));
            QVERIFY(early.waitForEnd());
            QCOMPARE(early.closeCode(), 4423);
            const int wait = lockedFor(early.closeReason());
            QVERIFY2(wait >= 1 && wait <= kLocks[attempt - 1],
                     qPrintable(QStringLiteral("node %1: %2").arg(other).arg(early.closeReason())));
        }
    }
    QCOMPARE(agent.logins, 0);

    // Once the lock has passed, the right password logs in through any node.
    const int node = agentNode % cluster->nodes() + 1;
    const auto right = guess(node, id, VncAgentPeer::kPassword);
    QVERIFY(right);
    QVERIFY2(right->loggedIn, qPrintable(right->closeReason()));
    QCOMPARE(agent.logins, 1);
}

QTEST_GUILESS_MAIN(TestClusterGuessing)
#include "tst_clusterguessing.moc"
