// What a client may hold of the server without sockets: bytes of messages in progress against
// its own budget and the server's, connections of each kind against its limits and the
// descriptors the server keeps in reserve, TLS handshakes in progress against their budgets, and a
// trouble logged once per interval (each kind of failed connection on its own, all counted).
#include "server/core/bufferbudget.h"
#include "server/core/connectioncounts.h"
#include "server/core/counters.h"
#include "server/core/failurelog.h"
#include "server/core/handshakebudget.h"

#include <QtTest>

using namespace std::chrono;
using velmora::server::BufferBudget;
using velmora::server::Clock;
using velmora::server::ConnectionCounts;
using velmora::server::Counters;
using velmora::server::FailureLog;
using velmora::server::HandshakeBudget;
using velmora::server::ThrottledLog;

Q_DECLARE_METATYPE(ConnectionCounts::Kind)

class TestResourceLimits : public QObject
{
    Q_OBJECT

private slots:
    void messagesInProgressAreHeldToTwoBudgets()
    {
        BufferBudget budget({100, 250});
        QVERIFY(budget.take("a", 60));
        QVERIFY(budget.take("a", 40));
        // The client's budget is full: nothing more, not even a byte, and nothing is taken.
        QVERIFY(!budget.take("a", 1));
        QCOMPARE(budget.heldBy("a"), std::size_t(100));
        QVERIFY(budget.take("b", 100));
        // The server's budget: 200 held, 50 left in all, though c has 100 of its own.
        QVERIFY(!budget.take("c", 51));
        QVERIFY(budget.take("c", 50));
        QCOMPARE(budget.held(), std::size_t(250));
        budget.give("a", 100);
        QCOMPARE(budget.heldBy("a"), std::size_t(0));
        QCOMPARE(budget.clients(), std::size_t(2));
        QVERIFY(budget.take("c", 50));
        // Giving back more than was taken gives back what was taken.
        budget.give("b", 1000);
        QCOMPARE(budget.held(), std::size_t(100));
        QCOMPARE(budget.clients(), std::size_t(1));
    }

    void hugeRequestsDoNotWrapAround()
    {
        BufferBudget budget({100, 250});
        QVERIFY(budget.take("a", 10));
        QVERIFY(!budget.take("a", std::numeric_limits<std::size_t>::max()));
        QVERIFY(!budget.take("b", std::numeric_limits<std::size_t>::max() - 5));
        QCOMPARE(budget.held(), std::size_t(10));
    }

    void eachKindHasItsOwnLimitPerClient_data()
    {
        QTest::addColumn<ConnectionCounts::Kind>("kind");
        QTest::addColumn<int>("limit");
        QTest::newRow("http") << ConnectionCounts::Kind::Http << 3;
        QTest::newRow("agents") << ConnectionCounts::Kind::Agent << 5;
        QTest::newRow("supporters") << ConnectionCounts::Kind::Supporter << 2;
    }
    void eachKindHasItsOwnLimitPerClient()
    {
        QFETCH(ConnectionCounts::Kind, kind);
        QFETCH(int, limit);
        ConnectionCounts counts({3, 5, 2, 10000, 100});
        for (int i = 0; i < limit; ++i)
            QCOMPARE(counts.admit(kind, "198.51.100.1", 200), ConnectionCounts::Refusal::None);
        QCOMPARE(counts.admit(kind, "198.51.100.1", 200), ConnectionCounts::Refusal::ClientLimit);
        QCOMPARE(counts.count(kind, "198.51.100.1"), std::size_t(limit));
        // Another client, and another kind for the same client, are not affected.
        QCOMPARE(counts.admit(kind, "198.51.100.2", 200), ConnectionCounts::Refusal::None);
        const auto other = kind == ConnectionCounts::Kind::Agent ? ConnectionCounts::Kind::Http
                                                                 : ConnectionCounts::Kind::Agent;
        QCOMPARE(counts.admit(other, "198.51.100.1", 200), ConnectionCounts::Refusal::None);
        counts.release(kind, "198.51.100.1");
        QCOMPARE(counts.admit(kind, "198.51.100.1", 200), ConnectionCounts::Refusal::None);
    }

    // WebSockets leave the reserve alone; plain HTTP may take half of it, so that /metrics
    // answers when agents have taken everything else.
    void theReserveIsKeptForHttpAndTheServer()
    {
        ConnectionCounts counts({1000, 100000, 1000, 1000, 64});
        QCOMPARE(counts.admit(ConnectionCounts::Kind::Agent, "a", 936),
                 ConnectionCounts::Refusal::None);
        QCOMPARE(counts.admit(ConnectionCounts::Kind::Agent, "a", 937),
                 ConnectionCounts::Refusal::ServerFull);
        QCOMPARE(counts.admit(ConnectionCounts::Kind::Supporter, "b", 937),
                 ConnectionCounts::Refusal::ServerFull);
        QCOMPARE(counts.admit(ConnectionCounts::Kind::Http, "c", 968),
                 ConnectionCounts::Refusal::None);
        QCOMPARE(counts.admit(ConnectionCounts::Kind::Http, "c", 969),
                 ConnectionCounts::Refusal::ServerFull);
        // A refusal counts nothing.
        QCOMPARE(counts.count(ConnectionCounts::Kind::Agent, "a"), std::size_t(1));
        QCOMPARE(counts.count(ConnectionCounts::Kind::Supporter, "b"), std::size_t(0));
    }

    void aTroubleIsSaidOncePerInterval()
    {
        ThrottledLog log(seconds(10));
        const auto t0 = Clock::now();
        QVERIFY(log.happened(t0));
        QCOMPARE(log.suppressed(), std::size_t(0));
        for (int i = 1; i <= 99; ++i)
            QVERIFY(!log.happened(t0 + milliseconds(i * 100)));
        QVERIFY(log.happened(t0 + seconds(10)));
        QCOMPARE(log.suppressed(), std::size_t(99));
        QVERIFY(!log.happened(t0 + seconds(11)));
        QVERIFY(log.happened(t0 + seconds(30)));
        QCOMPARE(log.suppressed(), std::size_t(1));
    }

    void handshakesAreHeldToTwoBudgets()
    {
        HandshakeBudget budget({2, 3});
        QCOMPARE(budget.begin("a"), HandshakeBudget::Refusal::None);
        QCOMPARE(budget.begin("a"), HandshakeBudget::Refusal::None);
        QCOMPARE(budget.begin("a"), HandshakeBudget::Refusal::ClientLimit);
        QCOMPARE(budget.begin("b"), HandshakeBudget::Refusal::None);
        // Three in all: c has none of its own, yet waits.
        QCOMPARE(budget.begin("c"), HandshakeBudget::Refusal::ServerBusy);
        QCOMPARE(budget.inProgress(), std::size_t(3));
        QCOMPARE(budget.inProgress("a"), std::size_t(2));
        QCOMPARE(budget.inProgress("c"), std::size_t(0));
        budget.end("a");
        QCOMPARE(budget.begin("c"), HandshakeBudget::Refusal::None);
        // Ending one that was never begun changes nothing.
        budget.end("d");
        QCOMPARE(budget.inProgress(), std::size_t(3));
        budget.end("a");
        budget.end("b");
        budget.end("c");
        QCOMPARE(budget.inProgress(), std::size_t(0));
        QCOMPARE(budget.begin("a"), HandshakeBudget::Refusal::None);
    }

    // Each kind has its own interval, so that a flood of one hides no other; every failure is
    // counted for /metrics all the same.
    void failuresAreSaidOncePerIntervalAndKindAndAllCounted()
    {
        std::vector<std::string> lines;
        const velmora::server::LogSink sink = [&](const std::string &line) {
            lines.push_back(line);
        };
        Counters counters;
        FailureLog failures(sink, counters, seconds(10));
        const auto t0 = Clock::now();
        for (int i = 0; i < 1000; ++i)
            failures.failed(FailureLog::Kind::BadRequest, "bad request " + std::to_string(i),
                            t0 + milliseconds(i));
        failures.failed(FailureLog::Kind::TlsHandshake, "TLS handshake failed", t0 + seconds(1));
        failures.failed(FailureLog::Kind::BadRequest, "bad request late", t0 + seconds(10));
        QCOMPARE(lines, (std::vector<std::string>{"bad request 0 (0 more like it before)",
                                                  "TLS handshake failed (0 more like it before)",
                                                  "bad request late (999 more like it before)"}));
        const auto failed = counters.snapshot().connectionFailures;
        QCOMPARE(failed.at("bad-request"), std::uint64_t(1001));
        QCOMPARE(failed.at("tls-handshake"), std::uint64_t(1));
    }
};

QTEST_GUILESS_MAIN(TestResourceLimits)
#include "tst_resourcelimits.moc"
