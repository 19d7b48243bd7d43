// A token presented while the connection that holds its ID is alive: the holder keeps the ID and
// the newcomer gets a fresh one (whoever copied a token cannot take a connected agent's ID). A
// holder that does not answer within the wait (its link went half-open) gives the ID up to the
// newcomer, as before. Each race around the check ends with one holder per ID.
#include "agentpeer.h"
#include "serverthread.h"
#include "silentagent.h"
#include "supporterpeer.h"

#include "server/net/agentadmission.h"

#include <QElapsedTimer>
#include <QtTest>

using velmora::server::AgentAdmission;
using velmora::server::ServerConfig;

namespace {

ServerConfig relayOnly()
{
    ServerConfig config = ServerThread::defaultConfig();
    config.followSecurityHandshake = false;
    return config;
}

const QString kWait = QString::number(AgentAdmission::kAnswerWait.count());

} // namespace

class TestAgentReplay : public QObject
{
    Q_OBJECT

private slots:
    void liveAgentKeepsItsId()
    {
        ServerThread server(relayOnly());
        AgentPeer holder(AgentPeer::Mode::Echo);
        holder.open(server.agentUrl());
        QVERIFY(holder.waitForId());
        SupporterPeer supporter;
        supporter.open(server.viewerUrl(holder.id));
        QVERIFY(supporter.waitForMessages(1));

        AgentPeer replay(AgentPeer::Mode::Echo);
        replay.open(server.agentUrl(), holder.token);
        QVERIFY(replay.waitForId());
        QVERIFY(replay.id != holder.id);
        QVERIFY(!replay.token.startsWith(holder.id + "-"));
        QVERIFY(server.waitForLog("agent online id=" + replay.id + " from 127.0.0.1:"));
        QVERIFY(server.logMatching("agent online id=" + replay.id)
                    .first()
                    .endsWith("(" + QString(AgentAdmission::kHeldByLiveAgent) + ")"));

        // The holder and its session go on untouched.
        supporter.socket.sendBinaryMessage("still here");
        QVERIFY(supporter.waitForMessages(2));
        QCOMPARE(supporter.messages.last(), QByteArray("still here"));
        QCOMPARE(holder.disconnections, 0);
        QCOMPARE(holder.connectionInfos, 1);
        QVERIFY(server.logMatching("replaced").isEmpty());
        QCOMPARE(server.stats().agentsOnline, std::uint64_t(2));
    }

    // Its link went half-open: the holder answers nothing, and the agent that comes back with
    // its token takes the ID once the wait is over; a session on the old link ends as replaced.
    void silentHolderGivesItsIdUp()
    {
        ServerThread server(relayOnly());
        SilentAgent holder;
        QVERIFY(holder.open(server.port()));
        SupporterPeer supporter;
        supporter.open(server.viewerUrl(holder.id));
        QVERIFY(server.waitForLog("session start id=" + holder.id));
        holder.goSilent();

        QElapsedTimer clock;
        clock.start();
        AgentPeer back(AgentPeer::Mode::Echo);
        back.open(server.agentUrl(), holder.token);
        QVERIFY(back.waitForId());
        const qint64 took = clock.elapsed();
        QCOMPARE(back.id, holder.id);
        QVERIFY2(took >= AgentAdmission::kAnswerWait.count() - 100,
                 qPrintable(QString::number(took)));
        QVERIFY(server.waitForLog("agent id=" + holder.id + " did not answer within " + kWait +
                                  " ms; its token came back from 127.0.0.1:"));
        // Logged once the old connection is closed: it does not answer the close either.
        QVERIFY(server.waitForLog("(replaced by a new connection)", 15000));
        QVERIFY(supporter.waitForDisconnected());
        QCOMPARE(int(supporter.socket.closeCode()), 4001);
        QCOMPARE(supporter.socket.closeReason(), QString("replaced"));

        // The ID leads to the new connection.
        SupporterPeer next;
        next.open(server.viewerUrl(back.id));
        QVERIFY(next.waitForMessages(1));
        QCOMPARE(next.messages.first(), back.greeting);
        QTRY_COMPARE(server.stats().agentsOnline, std::uint64_t(1));
    }

    // Two connections with the token while the silent holder is asked: one takes the ID, and the
    // other then finds it held by a connection that answers.
    void twoComeBackDuringTheCheck()
    {
        ServerThread server(relayOnly());
        SilentAgent holder;
        QVERIFY(holder.open(server.port()));
        holder.goSilent();
        AgentPeer first(AgentPeer::Mode::Echo);
        AgentPeer second(AgentPeer::Mode::Echo);
        first.open(server.agentUrl(), holder.token);
        second.open(server.agentUrl(), holder.token);
        QVERIFY(first.waitForId());
        QVERIFY(second.waitForId());
        QCOMPARE(QStringList({first.id, second.id}).count(holder.id), 1);
        // Logged once the old connection is closed: it does not answer the close either.
        QVERIFY(server.waitForLog("(replaced by a new connection)", 15000));
        QTRY_COMPARE(server.stats().agentsOnline, std::uint64_t(2));
        QCOMPARE(server.logMatching("(" + QString(AgentAdmission::kHeldByLiveAgent) + ")").size(),
                 1);
        QCOMPARE(first.disconnections + second.disconnections, 0);
    }

    // The holder's connection ends while it is asked: the newcomer takes the ID without waiting
    // out the check.
    void holderLeavesDuringTheCheck()
    {
        ServerThread server(relayOnly());
        SilentAgent holder;
        QVERIFY(holder.open(server.port()));
        holder.goSilent();
        AgentPeer back(AgentPeer::Mode::Echo);
        back.open(server.agentUrl(), holder.token);
        QVERIFY(server.waitForLog("asking the connection that holds the ID"));
        holder.raw.socket.abort();
        QVERIFY(back.waitForId());
        QCOMPARE(back.id, holder.id);
        QVERIFY(server.logMatching("did not answer").isEmpty());
        QTRY_COMPARE(server.stats().agentsOnline, std::uint64_t(1));
    }

    // The newcomer leaves while the holder is asked: nothing changes for the holder, which keeps
    // its ID and still has it once it is heard again.
    void newcomerLeavesDuringTheCheck()
    {
        ServerThread server(relayOnly());
        SilentAgent holder;
        QVERIFY(holder.open(server.port()));
        holder.goSilent();
        {
            AgentPeer gone;
            gone.open(server.agentUrl(), holder.token);
            QVERIFY(server.waitForLog("asking the connection that holds the ID"));
            gone.socket.abort();
        }
        // Heard again, the holder answers the next one's check.
        holder.raw.resumeReading();
        AgentPeer replay(AgentPeer::Mode::Echo);
        replay.open(server.agentUrl(), holder.token);
        QVERIFY(replay.waitForId());
        QVERIFY(replay.id != holder.id);
        QVERIFY(holder.raw.isConnected());
        QVERIFY(server.logMatching("replaced").isEmpty());
        QTRY_COMPARE(server.stats().agentsOnline, std::uint64_t(2));
    }
};

QTEST_GUILESS_MAIN(TestAgentReplay)
#include "tst_agentreplay.moc"
