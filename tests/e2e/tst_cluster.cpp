// The server as a cluster, end to end with real parts only: scripts/cluster.sh starts Redis,
// three velmora-server nodes and haproxy in front; the real agent (stand-in VNC server and proxy
// on an Xvfb desktop) connects through haproxy, and a supporter through haproxy lands on another
// node and logs in with velmora-connect and a real VNC viewer. Then the agent's node is killed
// (the agent is back elsewhere with its ID), and Redis is stopped (the session in progress goes
// on, new supporters are refused with "unavailable") and started again (everything works).
// The functions run in order, each on what the one before left.
#include "agentpeer.h"
#include "bridgedviewer.h"
#include "clusterprocess.h"
#include "desktopagent.h"
#include "supporterpeer.h"

#include <QElapsedTimer>
#include <QtTest>

#include <memory>

namespace {

const QColor desktopColour(0x33, 0x66, 0xcc);
// What the desktop turns to while Redis is away, so that the viewer proves the stream goes on.
const QColor outageColour(0xcc, 0x66, 0x33);

// Close code and reason of a supporter at `url`, "CODE REASON"; "open" when the server let it in
// (the agent's greeting arrived), "none" when nothing happened in time.
QString supporterOutcome(const QUrl &url)
{
    SupporterPeer supporter;
    supporter.open(url);
    if (!QTest::qWaitFor([&] { return supporter.disconnected || !supporter.messages.isEmpty(); },
                         10000))
        return QStringLiteral("none");
    if (!supporter.disconnected)
        return QStringLiteral("open");
    return QStringLiteral("%1 %2")
        .arg(int(supporter.socket.closeCode()))
        .arg(supporter.socket.closeReason());
}

} // namespace

class TestCluster : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void scriptRefusesBadArguments_data();
    void scriptRefusesBadArguments();
    void everyNodePassesTheHealthCheck();
    void supporterReachesAnAgentOnAnotherNode();
    void agentMovesWhenItsNodeDies();
    void sessionInProgressOutlivesRedis();
    void newSupportersAreRefusedWithoutRedis();
    void everythingWorksAgainAfterRedisIsBack();

private:
    QString publicUrl() const
    {
        return QStringLiteral("ws://127.0.0.1:%1").arg(cluster->publicPort());
    }
    QUrl viewerUrl(quint16 port, const QString &id) const
    {
        return QUrl(QStringLiteral("ws://127.0.0.1:%1/viewer/%2").arg(port).arg(id));
    }
    // The node that holds the agent, once one says so.
    int agentNode(const QString &id);
    // Waits for the agent's next announcement after `before` in all, with its ID.
    bool agentBack(int before, int timeoutMs = 30000);
    // Waits for the agent to come back after the last session (it reconnects after each).
    bool agentBackAfterSession() { return agentBack(announcedAtSession); }
    // A session through haproxy that shows the desktop; the picture saved as `name`.
    bool supporterSeesTheDesktop(const QString &name, bool leaveOpen = false);
    QList<int> runningNodes() const;
    // `ok`; when false, first prints in full what the agent, the viewer and the cluster said (a
    // check's own message is cut short).
    bool explained(bool ok);

    std::unique_ptr<ClusterProcess> cluster;
    std::unique_ptr<DesktopAgent> agent;
    std::unique_ptr<BridgedViewer> viewer;
    std::unique_ptr<AgentPeer> bystander;
    QTemporaryDir pictures;
    QElapsedTimer clock;
    int announcedAtSession = 0;
};

void TestCluster::initTestCase()
{
    clock.start();
    if (!ClusterProcess::available())
        QSKIP(ClusterProcess::skipReason());
    for (const QString &missing : {DesktopAgent::missingTool(), BridgedViewer::missingTool()}) {
        if (!missing.isEmpty())
            QSKIP(qPrintable(
                QStringLiteral("%1 is missing (scripts/install-deps.sh --test)").arg(missing)));
    }
    agent = std::make_unique<DesktopAgent>(desktopColour);
    QVERIFY2(agent->startDesktop(), qPrintable(agent->error()));
    viewer = std::make_unique<BridgedViewer>(QStringLiteral(VELMORA_CONNECT_BIN));
    QVERIFY2(viewer->isUsable(), "the viewer's X server did not start");

    cluster = std::make_unique<ClusterProcess>(QStringLiteral(VELMORA_CLUSTER_SCRIPT),
                                               QStringLiteral(VELMORA_SERVER_BIN));
    QElapsedTimer started;
    started.start();
    QVERIFY2(cluster->start(3), qPrintable(cluster->output()));
    qInfo("cluster up in %lld ms", started.elapsed());

    // The agent knows only haproxy's address, as behind a real load balancer.
    QVERIFY2(agent->start(QStringLiteral(VELMORA_AGENT_BIN), cluster->publicPort()),
             qPrintable(agent->error() + '\n' + cluster->output()));
}

void TestCluster::cleanupTestCase()
{
    viewer.reset();
    bystander.reset();
    agent.reset();
    cluster.reset();
    qInfo("whole test: %lld ms", clock.elapsed());
}

int TestCluster::agentNode(const QString &id)
{
    int node = 0;
    return QTest::qWaitFor([&] { return (node = cluster->nodeOfAgent(id)) != 0; }, 10000) ? node
                                                                                          : 0;
}

bool TestCluster::agentBack(int before, int timeoutMs)
{
    return agent->waitForAnnouncement(before + 1, timeoutMs) == agent->id();
}

bool TestCluster::supporterSeesTheDesktop(const QString &name, bool leaveOpen)
{
    announcedAtSession = agent->announcements();
    const bool shown =
        viewer->showsDesktop(publicUrl(), agent->id(), agent->passwordFile(), agent->colour());
    viewer->savePicture(name, pictures.path());
    if (!leaveOpen)
        viewer->close();
    return shown;
}

bool TestCluster::explained(bool ok)
{
    if (!ok) {
        qWarning().noquote() << "agent:\n"
                             << agent->process.output() << "\nviewer:\n"
                             << viewer->viewer.output() << "\ncluster:\n"
                             << cluster->output();
    }
    return ok;
}

QList<int> TestCluster::runningNodes() const
{
    QList<int> running;
    for (int node = 1; node <= cluster->nodes(); ++node) {
        if (cluster->nodeRunning(node))
            running << node;
    }
    return running;
}

void TestCluster::scriptRefusesBadArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("unknown flag") << QStringList{"--frobnicate"};
    QTest::newRow("flag without its value") << QStringList{"--nodes"};
    QTest::newRow("nodes not a number") << QStringList{"--nodes", "three"};
    QTest::newRow("no nodes") << QStringList{"--nodes", "0"};
    QTest::newRow("port out of range") << QStringList{"--port", "70000"};
    QTest::newRow("no process to watch") << QStringList{"--watch-pid", "none"};
    QTest::newRow("stop without a folder") << QStringList{"stop"};
    QTest::newRow("stop with a folder that is not there")
        << QStringList{"stop", "/nonexistent/velmora-cluster"};
}

void TestCluster::scriptRefusesBadArguments()
{
    QFETCH(QStringList, arguments);
    QProcess script;
    script.start(QStringLiteral(VELMORA_CLUSTER_SCRIPT), arguments);
    QVERIFY(script.waitForFinished(10000));
    QCOMPARE(script.exitStatus(), QProcess::NormalExit);
    QCOMPARE(script.exitCode(), 2);
    const QString said = QString::fromUtf8(script.readAllStandardError());
    QVERIFY2(said.contains(QStringLiteral("usage: scripts/cluster.sh")), qPrintable(said));
    QVERIFY(script.readAllStandardOutput().isEmpty());
}

void TestCluster::everyNodePassesTheHealthCheck()
{
    for (int node = 1; node <= cluster->nodes(); ++node) {
        const QByteArray answer = ClusterProcess::httpGet(cluster->nodePort(node), "/health");
        QVERIFY2(answer.startsWith("HTTP/1.0 200 ") || answer.startsWith("HTTP/1.1 200 "),
                 answer.constData());
        QVERIFY(answer.endsWith("\r\n\r\nok\n"));
    }
    // haproxy's own check agrees, and says which node answered a request through it.
    const auto backends = cluster->backends();
    QCOMPARE(backends.size(), cluster->nodes());
    for (const auto &backend : backends)
        QCOMPARE(backend.status, QStringLiteral("UP"));
    const QByteArray through = ClusterProcess::httpGet(cluster->publicPort(), "/health");
    QVERIFY2(through.toLower().contains("\r\nx-velmora-node: node"), through.constData());
    QVERIFY(through.endsWith("\r\n\r\nok\n"));
}

void TestCluster::supporterReachesAnAgentOnAnotherNode()
{
    const int holder = agentNode(agent->id());
    QVERIFY2(holder != 0, qPrintable(cluster->output()));
    // The cluster's figures are in /metrics from the node's first sweep on.
    const QByteArray forwardedIn = "velmora_cluster_forwarded_sessions_total{direction=\"in\"}";
    QTRY_VERIFY_WITH_TIMEOUT(cluster->metric(holder, forwardedIn) >= 0, 10000);
    const double forwardedBefore = cluster->metric(holder, forwardedIn);

    const bool shown = supporterSeesTheDesktop(QStringLiteral("cluster-1-other-node.png"), true);
    // While the session is in progress: haproxy sent the supporter where the fewest connections
    // were, not to the agent's node.
    const auto backends = cluster->backends();
    // The supporter leaves: the session ends on the agent's node too, and the agent comes back
    // as after any session.
    viewer->close();
    QVERIFY(explained(shown));
    QVERIFY(explained(agentBackAfterSession()));

    // The supporter's connection was open on another node, the agent's alone on its own.
    qint64 open = 0;
    for (const auto &backend : backends)
        open += backend.current;
    QCOMPARE(open, qint64(2));
    QCOMPARE(backends.value(QStringLiteral("node%1").arg(holder)).current, qint64(1));
    // The agent's node took the session from another node.
    QCOMPARE(cluster->metric(holder, forwardedIn), forwardedBefore + 1);
}

void TestCluster::agentMovesWhenItsNodeDies()
{
    const int holder = agentNode(agent->id());
    QVERIFY(holder != 0);
    const int announced = agent->announcements();
    QElapsedTimer moved;
    moved.start();
    QVERIFY(cluster->killNode(holder));

    // haproxy's checks take the node out of the rotation.
    QTRY_VERIFY_WITH_TIMEOUT(cluster->backends()
                                 .value(QStringLiteral("node%1").arg(holder))
                                 .status.startsWith(QStringLiteral("DOWN")),
                             5000);
    qInfo("haproxy marked the node down %lld ms after it was killed", moved.elapsed());
    // The agent lost its connection with the node; it comes back through haproxy to another
    // node with its ID, within 10 s of the node's death.
    QVERIFY2(agentBack(announced, int(10000 - moved.elapsed())),
             qPrintable(QStringLiteral("not back within 10 s:\n") + agent->process.output()));
    qInfo("agent back with its ID %lld ms after its node was killed", moved.elapsed());
    const int now = agentNode(agent->id());
    QVERIFY(now != 0 && now != holder);

    QElapsedTimer session;
    session.start();
    QVERIFY(explained(supporterSeesTheDesktop(QStringLiteral("cluster-2-after-node-death.png"))));
    qInfo("a new session showed the desktop %lld ms after the agent was back", session.elapsed());
}

void TestCluster::sessionInProgressOutlivesRedis()
{
    QVERIFY(explained(agentBackAfterSession()));
    // An idle agent beside it, to be asked for while Redis is away.
    bystander = std::make_unique<AgentPeer>(AgentPeer::Mode::Echo);
    bystander->open(QUrl(publicUrl() + '/'));
    QVERIFY(bystander->waitForId());

    QVERIFY(explained(
        supporterSeesTheDesktop(QStringLiteral("cluster-3-before-redis-stops.png"), true)));
    QVERIFY(cluster->stopRedis());
    for (const int node : runningNodes())
        QTRY_COMPARE_WITH_TIMEOUT(cluster->metric(node, "velmora_cluster_redis_up"), 0.0, 10000);

    // The desktop changes and the viewer shows it: the stream goes on.
    QVERIFY2(agent->paint(outageColour), qPrintable(agent->error()));
    QVERIFY2(viewer->showsColour(outageColour), qPrintable(viewer->viewer.output()));
    viewer->savePicture(QStringLiteral("cluster-4-without-redis.png"), pictures.path());
    QCOMPARE(bystander->socket.state(), QAbstractSocket::ConnectedState);
}

void TestCluster::newSupportersAreRefusedWithoutRedis()
{
    QVERIFY2(bystander, "no bystander: the outage did not start");
    QVERIFY(!cluster->redisAnswers());
    const QString unknown = bystander->id == "123456789" ? "987654321" : "123456789";
    // Every node, the bystander's own included, and haproxy: none can check the ID's lock (or
    // find its node) without Redis, so none lets a supporter try.
    QList<QPair<QString, QUrl>> attempts;
    for (const int node : runningNodes()) {
        attempts.append({QStringLiteral("node%1").arg(node),
                         viewerUrl(cluster->nodePort(node), bystander->id)});
    }
    attempts.append({QStringLiteral("haproxy"), viewerUrl(cluster->publicPort(), bystander->id)});
    attempts.append(
        {QStringLiteral("haproxy, unknown ID"), viewerUrl(cluster->publicPort(), unknown)});
    for (const auto &[where, url] : attempts) {
        const QString outcome = supporterOutcome(url);
        QVERIFY2(outcome.startsWith(QStringLiteral("4503 unavailable")),
                 qPrintable(where + ": " + outcome));
    }
    QCOMPARE(bystander->sessionStarts, 0);
    double refused = 0;
    for (const int node : runningNodes())
        refused +=
            cluster->metric(node, "velmora_supporter_refusals_total{reason=\"unavailable\"}");
    QCOMPARE(refused, double(attempts.size()));

    // Still the same session, still live.
    QVERIFY2(agent->paint(desktopColour), qPrintable(agent->error()));
    QVERIFY2(viewer->showsColour(agent->colour()), qPrintable(viewer->viewer.output()));
    QCOMPARE(bystander->socket.state(), QAbstractSocket::ConnectedState);
}

void TestCluster::everythingWorksAgainAfterRedisIsBack()
{
    QVERIFY2(bystander, "no bystander: the outage did not start");
    QElapsedTimer back;
    back.start();
    QVERIFY(cluster->startRedis());
    for (const int node : runningNodes())
        QTRY_COMPARE_WITH_TIMEOUT(cluster->metric(node, "velmora_cluster_redis_up"), 1.0, 15000);
    qInfo("every node connected to Redis again %lld ms after it started", back.elapsed());

    // The bystander, which stayed connected throughout, can be reached again through haproxy.
    QString outcome;
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     outcome = supporterOutcome(viewerUrl(cluster->publicPort(), bystander->id));
                     return outcome == QStringLiteral("open");
                 },
                 30000),
             qPrintable(outcome));
    qInfo("the bystander reachable %lld ms after Redis started", back.elapsed());

    // The session of the outage ends; the agent comes back and a new session works.
    viewer->close();
    QVERIFY(explained(agentBackAfterSession()));
    QVERIFY(
        explained(supporterSeesTheDesktop(QStringLiteral("cluster-5-after-redis-is-back.png"))));
    qInfo("a new session showed the desktop %lld ms after Redis started", back.elapsed());
}

QTEST_GUILESS_MAIN(TestCluster)
#include "tst_cluster.moc"
