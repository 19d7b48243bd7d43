// A token presented on one node of a cluster while its ID is held on another: the node that holds
// it asks its agent, and only a silent one gives the ID up. Two nodes in-process, sharing a real
// Redis.
#include "agentpeer.h"
#include "redisprocess.h"
#include "serverthread.h"
#include "silentagent.h"
#include "supporterpeer.h"

#include "server/core/redisurl.h"
#include "server/net/agentadmission.h"

#include <QtTest>

#include <memory>

using namespace std::chrono_literals;
using velmora::server::AgentAdmission;
using velmora::server::ServerConfig;

namespace {

ServerConfig nodeConfig(const RedisProcess &redis)
{
    ServerConfig config = ServerThread::defaultConfig();
    config.followSecurityHandshake = false;
    config.options.redis = std::get<velmora::server::RedisEndpoint>(
        velmora::server::parseRedisUrl(redis.unixUrl().toStdString()));
    // Directory entries refreshed every 4 s, and a silent connection pinged after 4 s and
    // dropped after 8: the check's wait is over well before.
    config.options.idleTimeout = 8000ms;
    return config;
}

} // namespace

class TestClusterReplay : public QObject
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

    void liveAgentOnAnotherNodeKeepsItsId()
    {
        ServerThread a(nodeConfig(*redis));
        ServerThread b(nodeConfig(*redis));
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
        ServerThread a(nodeConfig(*redis));
        ServerThread b(nodeConfig(*redis));
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
        ServerThread a(nodeConfig(*redis));
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

QTEST_GUILESS_MAIN(TestClusterReplay)
#include "tst_clusterreplay.moc"
