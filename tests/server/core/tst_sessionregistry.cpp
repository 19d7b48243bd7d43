// The session registry: online agents, sessions, refusals, replaced connections and the memory of
// agents that went offline.
#include "server/core/sessionregistry.h"

#include <QtTest>

using namespace velmora::server;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(SessionRegistry::Refusal)

class TestSessionRegistry : public QObject
{
    Q_OBJECT

    const Clock::time_point t0 = Clock::now();

private slots:
    void onlineAgentCanStartOneSession()
    {
        SessionRegistry registry;
        QVERIFY(!registry.isTaken("123456789"));
        QVERIFY(!registry.agentOnline("123456789", "tok", 1, t0));
        QVERIFY(registry.isTaken("123456789"));
        QCOMPARE(registry.onlineCount(), std::size_t(1));
        QCOMPARE(registry.beginSession("123456789", 10, t0), SessionRegistry::Refusal::None);
        QCOMPARE(registry.find("123456789")->supporter, ConnectionId(10));
        QCOMPARE(registry.sessionCount(), std::size_t(1));
        QCOMPARE(registry.beginSession("123456789", 11, t0), SessionRegistry::Refusal::Busy);
        // Only the session's own supporter ends it.
        registry.endSession("123456789", 11);
        QCOMPARE(registry.sessionCount(), std::size_t(1));
        registry.endSession("123456789", 10);
        QCOMPARE(registry.sessionCount(), std::size_t(0));
        QCOMPARE(registry.beginSession("123456789", 11, t0), SessionRegistry::Refusal::None);
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<SessionRegistry::Refusal>("refusal");
        QTest::newRow("never seen") << "111111111" << SessionRegistry::Refusal::UnknownId;
        QTest::newRow("went offline") << "222222222" << SessionRegistry::Refusal::Offline;
        QTest::newRow("in a session") << "333333333" << SessionRegistry::Refusal::Busy;
    }
    void refusals()
    {
        QFETCH(QString, id);
        QFETCH(SessionRegistry::Refusal, refusal);
        SessionRegistry registry;
        registry.agentOnline("222222222", "a", 1, t0);
        registry.agentOffline("222222222", 1, t0);
        registry.agentOnline("333333333", "b", 2, t0);
        registry.beginSession("333333333", 20, t0);
        QCOMPARE(registry.beginSession(id.toStdString(), 21, t0), refusal);
    }

    void offlineIdsAreRememberedForAWhile()
    {
        SessionRegistry registry(10min, 100);
        registry.agentOnline("123456789", "tok", 1, t0);
        registry.agentOffline("123456789", 1, t0);
        QCOMPARE(registry.onlineCount(), std::size_t(0));
        QVERIFY(registry.isTaken("123456789"));
        QCOMPARE(registry.beginSession("123456789", 5, t0 + 9min),
                 SessionRegistry::Refusal::Offline);
        QCOMPARE(registry.beginSession("123456789", 5, t0 + 10min),
                 SessionRegistry::Refusal::UnknownId);
        QVERIFY(!registry.isTaken("123456789"));
    }

    void comingBackEndsTheMemory()
    {
        SessionRegistry registry(10min, 100);
        registry.agentOnline("123456789", "tok", 1, t0);
        registry.agentOffline("123456789", 1, t0);
        registry.agentOnline("123456789", "tok", 2, t0 + 1s);
        QCOMPARE(registry.rememberedCount(), std::size_t(0));
        // Going offline again later restarts the period from then.
        registry.agentOffline("123456789", 2, t0 + 9min);
        QCOMPARE(registry.beginSession("123456789", 5, t0 + 15min),
                 SessionRegistry::Refusal::Offline);
    }

    void oldestMemoriesGoFirstWhenFull()
    {
        SessionRegistry registry(24h, 3);
        for (int i = 0; i < 5; ++i) {
            const std::string id = std::to_string(100000000 + i);
            registry.agentOnline(id, "t", ConnectionId(i + 1), t0 + i * 1s);
            registry.agentOffline(id, ConnectionId(i + 1), t0 + i * 1s);
        }
        QCOMPARE(registry.rememberedCount(), std::size_t(3));
        QVERIFY(!registry.isTaken("100000000"));
        QVERIFY(!registry.isTaken("100000001"));
        QVERIFY(registry.isTaken("100000002"));
        QVERIFY(registry.isTaken("100000004"));
    }

    void agentsThatKeepComingBackDoNotPileUp()
    {
        SessionRegistry registry(1h, 100);
        ConnectionId connection = 1;
        for (int i = 0; i < 20000; ++i) {
            registry.agentOnline("123456789", "tok", connection, t0 + i * 1ms);
            registry.agentOffline("123456789", connection, t0 + i * 1ms);
            ++connection;
        }
        QCOMPARE(registry.rememberedCount(), std::size_t(1));
        QCOMPARE(registry.beginSession("123456789", 5, t0 + 30min),
                 SessionRegistry::Refusal::Offline);
        QCOMPARE(registry.beginSession("123456789", 5, t0 + 61min),
                 SessionRegistry::Refusal::UnknownId);
    }

    void sameIdReplacesTheEarlierConnection()
    {
        SessionRegistry registry;
        registry.agentOnline("123456789", "tok", 1, t0);
        registry.beginSession("123456789", 10, t0);
        const auto replaced = registry.agentOnline("123456789", "tok", 2, t0);
        QVERIFY(replaced);
        QCOMPARE(*replaced, ConnectionId(1));
        QCOMPARE(registry.find("123456789")->connection, ConnectionId(2));
        QCOMPARE(registry.find("123456789")->supporter, ConnectionId(0));
        QCOMPARE(registry.sessionCount(), std::size_t(0));
        // The old connection's departure does not take the new one offline.
        registry.agentOffline("123456789", 1, t0);
        QCOMPARE(registry.onlineCount(), std::size_t(1));
        QCOMPARE(registry.beginSession("123456789", 11, t0), SessionRegistry::Refusal::None);
    }

    void offlineDuringASessionEndsIt()
    {
        SessionRegistry registry;
        registry.agentOnline("123456789", "tok", 1, t0);
        registry.beginSession("123456789", 10, t0);
        registry.agentOffline("123456789", 1, t0);
        QCOMPARE(registry.sessionCount(), std::size_t(0));
        registry.endSession("123456789", 10);
        QCOMPARE(registry.sessionCount(), std::size_t(0));
    }

    void otherTokensForAnOnlineId()
    {
        SessionRegistry registry;
        QVERIFY(!registry.heldByOtherToken("123456789", "a"));
        registry.agentOnline("123456789", "a", 1, t0);
        QVERIFY(!registry.heldByOtherToken("123456789", "a"));
        QVERIFY(registry.heldByOtherToken("123456789", "b"));
    }
};

QTEST_GUILESS_MAIN(TestSessionRegistry)
#include "tst_sessionregistry.moc"
