// Two nodes of a cluster in-process, sharing a real Redis: a supporter reaches an agent through
// the node that does not hold it, byte for byte and with the same close reasons; an agent keeps
// its ID on another node; IDs stay unique across nodes; a node that goes away hands its agents
// over; Redis out of reach keeps sessions in progress and refuses what needs it, until it is back;
// a token presented again beside a live agent on another node does not take its ID.
#include "agentpeer.h"
#include "clusterprocess.h"
#include "rawwebsocket.h"
#include "redisprocess.h"
#include "serverthread.h"
#include "silentagent.h"
#include "supporterpeer.h"

#include "server/cluster/nodeauth.h"
#include "server/core/redisurl.h"
#include "server/core/sessiontokens.h"
#include "server/net/agentadmission.h"

#include <QDateTime>
#include <QNetworkRequest>
#include <QtTest>

#include <memory>

using namespace std::chrono_literals;
using velmora::server::AgentAdmission;
using velmora::server::ServerConfig;

namespace {

// Directory entries refreshed every 4 s, and a silent connection pinged after 4 s and dropped
// after 8: an agent check's wait is over well before.
constexpr std::chrono::milliseconds kSlowRefresh = 8000ms;

// Directory entries refreshed every second by default, so that the tests see refreshes happen.
ServerConfig nodeConfig(const RedisProcess &redis, std::chrono::milliseconds idleTimeout = 2000ms)
{
    ServerConfig config = ServerThread::defaultConfig();
    // The peers here speak no RFB: the bare relay.
    config.followSecurityHandshake = false;
    config.options.redis = std::get<velmora::server::RedisEndpoint>(
        velmora::server::parseRedisUrl(redis.unixUrl().toStdString()));
    config.options.idleTimeout = idleTimeout;
    return config;
}

QString closeReason(const SupporterPeer &peer)
{
    return peer.socket.closeReason();
}

// Opens a supporter to `url` and waits for it to end; returns "CODE REASON".
QString refusalAt(const QUrl &url)
{
    SupporterPeer supporter;
    supporter.open(url);
    if (!supporter.waitForDisconnected())
        return "still open";
    return QString::number(int(supporter.socket.closeCode())) + " " + closeReason(supporter);
}

// A figure of the node's /metrics, or -1 when it has none.
double metric(const ServerThread &node, const QByteArray &name)
{
    const QByteArray answer = ClusterProcess::httpGet(node.port(), "/metrics");
    for (const QByteArray &line : answer.split('\n')) {
        if (line.startsWith(name + ' '))
            return line.mid(name.size() + 1).trimmed().toDouble();
    }
    return -1;
}

// The agent's connection is gone (whether or not its disconnection was counted already).
bool gone(const AgentPeer &agent)
{
    return QTest::qWaitFor(
        [&] { return agent.socket.state() == QAbstractSocket::UnconnectedState; }, 10000);
}

} // namespace

class TestClusterNodes : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<RedisProcess> redis;

private slots:
    void init()
    {
        if (!RedisProcess::available())
            QSKIP(RedisProcess::skipReason());
        redis = std::make_unique<RedisProcess>();
        QVERIFY2(redis->start(), qPrintable(redis->error()));
    }

    void cleanup() { redis.reset(); }

    void supporterReachesAnAgentOnAnotherNode()
    {
        ServerThread a(nodeConfig(*redis));
        ServerThread b(nodeConfig(*redis));
        AgentPeer agent(AgentPeer::Mode::Echo);
        agent.open(a.agentUrl());
        QVERIFY(agent.waitForId());

        SupporterPeer supporter;
        supporter.open(b.viewerUrl(agent.id));
        QVERIFY(supporter.waitForConnected());
        QVERIFY(supporter.waitForMessages(1));
        QCOMPARE(supporter.messages.first(), agent.greeting);
        QVERIFY(b.waitForLog("session forwarded id=" + agent.id + " supporter 127.0.0.1:"));
        QVERIFY(a.waitForLog("session start id=" + agent.id));

        // Both ways, byte for byte, in order.
        QByteArray sent;
        for (int i = 0; i < 40; ++i) {
            QByteArray chunk(1 + i * 997, '\0');
            for (int j = 0; j < chunk.size(); ++j)
                chunk[j] = char((i * 31 + j * 7) & 0xFF);
            sent += chunk;
            supporter.socket.sendBinaryMessage(chunk);
        }
        QTRY_COMPARE_WITH_TIMEOUT(supporter.bytes, qint64(agent.greeting.size() + sent.size()),
                                  20000);
        QByteArray received;
        for (const QByteArray &message : supporter.messages)
            received += message;
        QCOMPARE(received, agent.greeting + sent);

        // The figures of each side.
        QTRY_COMPARE(b.stats().cluster.forwardedOut, std::uint64_t(1));
        QCOMPARE(b.stats().cluster.forwardedIn, std::uint64_t(0));
        QCOMPARE(a.stats().cluster.forwardedIn, std::uint64_t(1));
        QCOMPARE(a.stats().sessionsStarted, std::uint64_t(1));
        QCOMPARE(b.stats().sessionsStarted, std::uint64_t(0));
        QTRY_VERIFY(b.stats().cluster.redisConnected);
        QTRY_COMPARE(b.stats().cluster.directorySize, std::uint64_t(1));

        // The supporter leaves: the session ends on the agent's node too, which releases it.
        supporter.socket.close();
        QVERIFY(agent.waitForDisconnected());
        QVERIFY(a.waitForLog("session end id=" + agent.id));
        QVERIFY(b.waitForLog("forwarded session end id=" + agent.id));
    }

    void closeReasonsAreTheAgentNodes()
    {
        ServerThread a(nodeConfig(*redis));
        ServerThread b(nodeConfig(*redis));
        AgentPeer agent(AgentPeer::Mode::Echo);
        agent.open(a.agentUrl());
        QVERIFY(agent.waitForId());

        // Busy: the first supporter came through the agent's node, the second through the other.
        SupporterPeer first;
        first.open(a.viewerUrl(agent.id));
        QVERIFY(first.waitForMessages(1));
        QCOMPARE(refusalAt(b.viewerUrl(agent.id)), QString("4409 busy"));

        // The agent leaves during the session: the supporter sees it whichever node it is on.
        SupporterPeer second;
        first.socket.close();
        QVERIFY(agent.waitForDisconnected());
        agent.reconnect();
        QVERIFY(agent.waitForId());
        second.open(b.viewerUrl(agent.id));
        QVERIFY(second.waitForMessages(1));
        agent.socket.abort();
        QVERIFY(second.waitForDisconnected());
        QCOMPARE(int(second.socket.closeCode()), 4000);
        QCOMPARE(closeReason(second), QString("agent-gone"));

        // Offline (remembered) and unknown IDs, from either node.
        QCOMPARE(refusalAt(b.viewerUrl(agent.id)), QString("4410 offline;retry-after=5"));
        QCOMPARE(refusalAt(a.viewerUrl(agent.id)), QString("4410 offline;retry-after=5"));
        QCOMPARE(refusalAt(b.viewerUrl("123456789")), QString("4404 unknown-id"));
        QCOMPARE(refusalAt(b.viewerUrl("12345")), QString("4400 invalid-id"));
    }

    void agentKeepsItsIdOnAnotherNode()
    {
        ServerThread a(nodeConfig(*redis));
        ServerThread b(nodeConfig(*redis));
        AgentPeer agent(AgentPeer::Mode::Echo);
        agent.open(a.agentUrl());
        QVERIFY(agent.waitForId());
        const QString id = agent.id;
        agent.socket.close();
        QVERIFY(gone(agent));

        agent.open(b.agentUrl(), agent.token);
        QVERIFY(agent.waitForId());
        QCOMPARE(agent.id, id);
        QVERIFY(b.waitForLog("agent online id=" + id + " from 127.0.0.1:"));
        QVERIFY(b.logMatching("agent online id=" + id).first().endsWith("(returning)"));

        // Now reached through the node it left.
        SupporterPeer supporter;
        supporter.open(a.viewerUrl(id));
        QVERIFY(supporter.waitForMessages(1));
        QCOMPARE(supporter.messages.first(), agent.greeting);
    }

    void idsStayUniqueAcrossNodes()
    {
        ServerThread a(nodeConfig(*redis));
        ServerThread b(nodeConfig(*redis));
        AgentPeer first(AgentPeer::Mode::Echo);
        first.open(a.agentUrl());
        QVERIFY(first.waitForId());

        // A valid token for the same ID, but another agent's (as after a restart that forgot
        // the ID): on the other node it gets an ID of its own.
        const velmora::server::SessionTokens tokens(testSecret().toStdString());
        const QString other = QString::fromStdString(tokens.issue(first.id.toStdString()));
        AgentPeer second(AgentPeer::Mode::Echo);
        second.open(b.agentUrl(), other);
        QVERIFY(second.waitForId());
        QVERIFY(second.id != first.id);
        QVERIFY(b.waitForLog("(new; the ID of its token is held by another agent)"));

        // Many new agents on both nodes: all IDs differ.
        std::vector<std::unique_ptr<AgentPeer>> agents;
        QSet<QString> ids{first.id, second.id};
        for (int i = 0; i < 20; ++i) {
            agents.push_back(std::make_unique<AgentPeer>());
            agents.back()->open(i % 2 ? a.agentUrl() : b.agentUrl());
        }
        for (const auto &agent : agents) {
            QVERIFY(agent->waitForId());
            ids.insert(agent->id);
        }
        QCOMPARE(ids.size(), 22);
        QTRY_COMPARE_WITH_TIMEOUT(a.stats().cluster.directorySize, std::uint64_t(22), 5000);
    }

    void agentsOfANodeThatGoesAwayComeBackElsewhere()
    {
        auto a = std::make_unique<ServerThread>(nodeConfig(*redis));
        ServerThread b(nodeConfig(*redis));
        AgentPeer agent(AgentPeer::Mode::Echo);
        agent.open(a->agentUrl());
        QVERIFY(agent.waitForId());
        const QString id = agent.id;
        a.reset();
        QVERIFY(gone(agent));

        // Its directory entry still names the node that is gone, until the agent is back.
        QCOMPARE(refusalAt(b.viewerUrl(id)), QString("4410 offline;retry-after=5"));

        agent.open(b.agentUrl(), agent.token);
        QVERIFY(agent.waitForId());
        QCOMPARE(agent.id, id);
        SupporterPeer supporter;
        supporter.open(b.viewerUrl(id));
        QVERIFY(supporter.waitForMessages(1));
        QCOMPARE(supporter.messages.first(), agent.greeting);
    }

    void withoutRedisSessionsGoOnAndNewAttemptsAreRefused()
    {
        ServerThread a(nodeConfig(*redis));
        ServerThread b(nodeConfig(*redis));
        AgentPeer agent(AgentPeer::Mode::Echo);
        agent.open(a.agentUrl());
        QVERIFY(agent.waitForId());
        AgentPeer idle(AgentPeer::Mode::Echo);
        idle.open(a.agentUrl());
        QVERIFY(idle.waitForId());
        SupporterPeer supporter;
        supporter.open(b.viewerUrl(agent.id));
        QVERIFY(supporter.waitForMessages(1));

        redis->stop();
        QVERIFY(a.waitForLog("Redis connection lost"));
        QVERIFY(b.waitForLog("Redis connection lost"));

        // The session in progress goes on.
        supporter.socket.sendBinaryMessage("still here");
        QVERIFY(supporter.waitForMessages(2));
        QCOMPARE(supporter.messages.last(), QByteArray("still here"));

        // New supporters, on the agent's node or not, are refused: nothing is allowed on a lock
        // state that cannot be read.
        QCOMPARE(refusalAt(a.viewerUrl(idle.id)), QString("4503 unavailable;retry-after=5"));
        QCOMPARE(refusalAt(b.viewerUrl(idle.id)), QString("4503 unavailable;retry-after=5"));
        QVERIFY(a.waitForLog("Redis unavailable for supporter 127.0.0.1:"));
        QCOMPARE(a.stats().refusals.at("unavailable"), std::uint64_t(1));
        // Said once per interval, however many come; each one counted.
        QCOMPARE(refusalAt(a.viewerUrl(idle.id)), QString("4503 unavailable;retry-after=5"));
        QCOMPARE(a.stats().connectionFailures.at("redis-unavailable"), std::uint64_t(2));
        QCOMPARE(a.logMatching("Redis unavailable").size(), 1);
        QVERIFY(a.logMatching("refused supporter").isEmpty());

        // A new agent cannot get an ID that is sure to be unique: it comes back later.
        AgentPeer newcomer;
        newcomer.open(b.agentUrl());
        QVERIFY(newcomer.waitForDisconnected());
        QCOMPARE(int(newcomer.socket.closeCode()), 4503);
        QCOMPARE(newcomer.id, QString());
        // One with its own ID keeps it.
        idle.socket.close();
        QVERIFY(gone(idle));
        const QString idleId = idle.id;
        idle.open(b.agentUrl(), idle.token);
        QVERIFY(idle.waitForId());
        QCOMPARE(idle.id, idleId);

        // Redis is back, empty: the nodes find it by themselves and publish their agents again.
        QVERIFY(redis->restart());
        QVERIFY(a.waitForLog("Redis connection back"));
        QVERIFY(b.waitForLog("Redis connection back"));
        // Each node publishes its agents as soon as it is back; a supporter may come a moment
        // before the other node did.
        QString outcome;
        QDeadlineTimer deadline(10000);
        do {
            SupporterPeer probe;
            probe.open(a.viewerUrl(idleId));
            if (probe.waitForMessages(1, 3000)) {
                outcome = "session";
                break;
            }
            outcome = QString::number(int(probe.socket.closeCode())) + " " + closeReason(probe);
        } while (!deadline.hasExpired());
        QCOMPARE(outcome, QString("session"));
        newcomer.open(a.agentUrl());
        QVERIFY(newcomer.waitForId());
        QVERIFY(supporter.socket.state() == QAbstractSocket::ConnectedState);
    }

    // The agent's node counts a carried supporter as the supporter's own address, which the
    // other node signed: not as that node, which carries everyone's supporters.
    void carriedSupportersCountAsThemselves()
    {
        ServerConfig agentsNode = nodeConfig(*redis);
        agentsNode.options.maxSupportersPerAddress = 1;
        ServerThread a(agentsNode);
        ServerConfig entryNode = nodeConfig(*redis);
        entryNode.options.trustForwardedFor = true;
        ServerThread b(entryNode);
        std::vector<std::unique_ptr<AgentPeer>> agents;
        std::vector<std::unique_ptr<SupporterPeer>> supporters;
        for (int i = 0; i < 3; ++i) {
            agents.push_back(std::make_unique<AgentPeer>(AgentPeer::Mode::Echo));
            agents.back()->open(a.agentUrl());
            QVERIFY(agents.back()->waitForId());
            QNetworkRequest request(b.viewerUrl(agents.back()->id));
            request.setRawHeader("X-Forwarded-For", "192.0.2." + QByteArray::number(i + 1));
            supporters.push_back(std::make_unique<SupporterPeer>());
            supporters.back()->socket.open(request);
        }
        for (const auto &supporter : supporters) {
            QVERIFY(supporter->waitForMessages(1));
            QCOMPARE(supporter->messages.first(), AgentPeer().greeting);
        }
        // A signature for another address, or none, is the sending node's address.
        QNetworkRequest forged(a.viewerUrl(agents.front()->id));
        forged.setRawHeader("X-Velmora-Client", "192.0.2.9");
        forged.setRawHeader("X-Velmora-Node-Signature", "1796000000:00");
        SupporterPeer stranger;
        stranger.socket.open(forged);
        QVERIFY(stranger.waitForDisconnected());
        // Taken for a supporter of its own, which finds the agent busy.
        QCOMPARE(closeReason(stranger), QString("busy"));
        QCOMPARE(a.stats().cluster.forwardedIn, std::uint64_t(3));
    }

    // A node's signature passes once, on whichever node: the same headers sent again, to the
    // same node or another one, are refused, while a fresh signature for the same supporter
    // passes.
    void aNodeSignaturePassesOnce()
    {
        const ServerConfig config = nodeConfig(*redis);
        ServerThread a(config);
        ServerThread b(config);
        AgentPeer agent(AgentPeer::Mode::Echo);
        agent.open(a.agentUrl());
        QVERIFY(agent.waitForId());
        const velmora::server::NodeAuth auth(config.secret);
        const auto now = QDateTime::currentSecsSinceEpoch();
        const QByteArray signature =
            QByteArray::fromStdString(auth.sign(agent.id.toStdString(), "192.0.2.9", now));
        auto carried = [&](const ServerThread &node, const QByteArray &signed_) {
            QNetworkRequest request(node.viewerUrl(agent.id));
            request.setRawHeader("X-Velmora-Client", "192.0.2.9");
            request.setRawHeader("X-Velmora-Node-Signature", signed_);
            return request;
        };
        {
            SupporterPeer first;
            first.socket.open(carried(a, signature));
            QVERIFY(first.waitForMessages(1));
            QCOMPARE(first.messages.first(), agent.greeting);
            first.socket.close();
            QVERIFY(first.waitForDisconnected());
        }
        QTRY_COMPARE(a.stats().sessionsActive, std::uint64_t(0));
        for (const ServerThread *node : {&a, &b}) {
            SupporterPeer replay;
            replay.socket.open(carried(*node, signature));
            QVERIFY(replay.waitForDisconnected());
            QCOMPARE(int(replay.socket.closeCode()), 1008);
            QVERIFY(node->waitForLog("refused supporter 127.0.0.1:"));
            QVERIFY(node->waitForLog(": a node signature used before"));
        }
        // The agent comes back after its session, as the real one does.
        QVERIFY(gone(agent));
        agent.reconnect();
        QVERIFY(agent.waitForId());
        SupporterPeer fresh;
        fresh.socket.open(
            carried(a, QByteArray::fromStdString(auth.sign(agent.id.toStdString(), "192.0.2.9",
                                                           QDateTime::currentSecsSinceEpoch()))));
        QVERIFY(fresh.waitForMessages(1));
        QCOMPARE(a.stats().cluster.forwardedIn, std::uint64_t(2));
    }

    // velmora_cluster_redis_up follows the connection: 0 from the moment the node takes Redis as
    // lost, whether Redis went away or a command got no answer, not at the node's next sweep
    // (every 5 s with the default idle timeout used here); 1 again once Redis is back.
    void redisUpFollowsTheConnection()
    {
        ServerConfig config = nodeConfig(*redis);
        config.options.idleTimeout = ServerConfig().options.idleTimeout;
        ServerThread a(config);
        QTRY_VERIFY(a.stats().cluster.redisConnected);
        QCOMPARE(metric(a, "velmora_cluster_redis_up"), 1.0);

        redis->stop();
        // The figure goes down before the log says the connection is lost.
        QVERIFY(a.waitForLog("Redis connection lost"));
        QVERIFY(!a.stats().cluster.redisConnected);
        QCOMPARE(metric(a, "velmora_cluster_redis_up"), 0.0);
        QVERIFY2(redis->restart(), qPrintable(redis->error()));
        QVERIFY(a.waitForLog("Redis connection back"));
        QTRY_COMPARE(metric(a, "velmora_cluster_redis_up"), 1.0);

        // Redis stops answering: the supporter's admission is the command that finds it out.
        redis->freeze(true);
        QCOMPARE(refusalAt(a.viewerUrl("123456789")), QString("4503 unavailable;retry-after=5"));
        QVERIFY(!a.stats().cluster.redisConnected);
        QCOMPARE(metric(a, "velmora_cluster_redis_up"), 0.0);
        redis->freeze(false);
        QTRY_COMPARE(metric(a, "velmora_cluster_redis_up"), 1.0);
    }

    // A Redis that stops answering without closing anything (a stopped process, a network that
    // drops everything) is found out by its silence: supporters are refused, not left waiting.
    void silentRedisIsTakenAsUnreachable()
    {
        ServerThread a(nodeConfig(*redis));
        AgentPeer agent(AgentPeer::Mode::Echo);
        agent.open(a.agentUrl());
        QVERIFY(agent.waitForId());
        redis->freeze(true);
        SupporterPeer supporter;
        supporter.open(a.viewerUrl(agent.id));
        QVERIFY(supporter.waitForDisconnected(8000));
        QCOMPARE(closeReason(supporter), QString("unavailable;retry-after=5"));
        QVERIFY(a.waitForLog("Redis connection lost: no reply within 2000 ms"));
        redis->freeze(false);
        QVERIFY(a.waitForLog("Redis connection back"));
        SupporterPeer later;
        later.open(a.viewerUrl(agent.id));
        QVERIFY(later.waitForMessages(1));
    }

    // A token presented on one node while another holds its ID: the node that holds it asks its
    // agent, and only a silent one gives the ID up.
    void liveAgentOnAnotherNodeKeepsItsId()
    {
        ServerThread a(nodeConfig(*redis, kSlowRefresh));
        ServerThread b(nodeConfig(*redis, kSlowRefresh));
        AgentPeer holder(AgentPeer::Mode::Echo);
        holder.open(a.agentUrl());
        QVERIFY(holder.waitForId());

        AgentPeer replay(AgentPeer::Mode::Echo);
        replay.open(b.agentUrl(), holder.token);
        QVERIFY(replay.waitForId());
        QVERIFY(replay.id != holder.id);
        QVERIFY(a.waitForLog("agent check id=" + holder.id +
                             " from node 127.0.0.1:" + QString::number(b.port()) + ": alive"));
        QVERIFY(b.logMatching("agent online id=" + replay.id)
                    .first()
                    .endsWith("(" + QString(AgentAdmission::kHeldByLiveAgent) + ")"));

        // Several refreshes later, the holder is still there and reached through either node.
        for (ServerThread *node : {&a, &b}) {
            SupporterPeer supporter;
            supporter.open(node->viewerUrl(holder.id));
            QVERIFY(supporter.waitForMessages(1));
            QCOMPARE(supporter.messages.first(), holder.greeting);
            supporter.socket.close();
            QVERIFY(holder.waitForDisconnected());
            holder.reconnect();
            QVERIFY(holder.waitForId());
        }
        QVERIFY(a.logMatching("replaced").isEmpty());
    }

    // The holder's link went half-open: its node says so, and the agent that came back through
    // the other node takes the ID; the holder's node lets its connection go.
    void silentAgentOnAnotherNodeGivesItsIdUp()
    {
        ServerThread a(nodeConfig(*redis, kSlowRefresh));
        ServerThread b(nodeConfig(*redis, kSlowRefresh));
        SilentAgent holder;
        QVERIFY(holder.open(a.port()));
        holder.goSilent();

        AgentPeer back(AgentPeer::Mode::Echo);
        back.open(b.agentUrl(), holder.token);
        QVERIFY(back.waitForId());
        QCOMPARE(back.id, holder.id);
        QVERIFY(a.waitForLog("agent check id=" + holder.id +
                             " from node 127.0.0.1:" + QString::number(b.port()) + ": silent"));
        QVERIFY(b.waitForLog("agent id=" + holder.id + " on node 127.0.0.1:" +
                             QString::number(a.port()) + " did not answer"));
        // Its node lets the old connection go at its next refresh (it answers no close either).
        QVERIFY(a.waitForLog("agent offline id=" + holder.id, 20000));

        SupporterPeer supporter;
        supporter.open(a.viewerUrl(back.id));
        QVERIFY(supporter.waitForMessages(1));
        QCOMPARE(supporter.messages.first(), back.greeting);
    }

    // Only a node can ask: the check's path without a node's signature is not found.
    void unsignedCheckIsRefused()
    {
        ServerThread a(nodeConfig(*redis, kSlowRefresh));
        AgentPeer holder(AgentPeer::Mode::Echo);
        holder.open(a.agentUrl());
        QVERIFY(holder.waitForId());
        RawWebSocket forged;
        QVERIFY(forged.handshake(a.port(), "/agent-check/" + holder.id.toLatin1(),
                                 "X-Velmora-Client: 127.0.0.1:1\r\n"
                                 "X-Velmora-Node-Signature: 1:00\r\n"));
        QVERIFY(forged.responseHead.startsWith("HTTP/1.1 404"));
        QVERIFY(a.logMatching("agent check").isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestClusterNodes)
#include "tst_clusternodes.moc"
