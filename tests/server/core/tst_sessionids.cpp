// Session IDs: form, uniform draws by rejection sampling, avoidance of taken IDs, and a sanity
// check that real draws look uniform.
#include "server/core/securerandom.h"
#include "server/core/sessionids.h"

#include <QtTest>

#include <deque>
#include <set>

using namespace velmora::server;

namespace {

// A random source that plays back 32-bit values (big-endian), for exact control of the draws.
RandomSource scripted(std::deque<std::uint32_t> values)
{
    auto queue = std::make_shared<std::deque<std::uint32_t>>(std::move(values));
    return [queue](unsigned char *buffer, std::size_t size) {
        QVERIFY2(size == 4, "draws are four bytes");
        QVERIFY2(!queue->empty(), "script exhausted");
        const std::uint32_t v = queue->front();
        queue->pop_front();
        buffer[0] = v >> 24;
        buffer[1] = v >> 16;
        buffer[2] = v >> 8;
        buffer[3] = v;
    };
}

bool neverTaken(std::string_view)
{
    return false;
}

} // namespace

class TestSessionIds : public QObject
{
    Q_OBJECT

private slots:
    void form_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("nine digits") << "123456789" << true;
        QTest::newRow("lowest") << "100000000" << true;
        QTest::newRow("highest") << "999999999" << true;
        QTest::newRow("leading zero") << "012345678" << false;
        QTest::newRow("eight digits") << "12345678" << false;
        QTest::newRow("ten digits") << "1234567890" << false;
        QTest::newRow("letter") << "12345678a" << false;
        QTest::newRow("sign") << "+12345678" << false;
        QTest::newRow("space") << "1234 5678" << false;
        QTest::newRow("empty") << "" << false;
    }
    void form()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(isSessionId(text.toStdString()), valid);
    }

    void rejectionSamplingDropsTheBiasedTail()
    {
        // 2^32 = 4 * 900000000 + 694967296: draws from 3600000000 on would favour low IDs.
        SessionIdGenerator ids(scripted({0xFFFFFFFFu, 3600000000u, 3599999999u, 0u, 900000000u}));
        QCOMPARE(QString::fromStdString(ids.next(neverTaken)), QString("999999999"));
        QCOMPARE(QString::fromStdString(ids.next(neverTaken)), QString("100000000"));
        QCOMPARE(QString::fromStdString(ids.next(neverTaken)), QString("100000000"));
    }

    void uniformBelowStaysInRange()
    {
        const RandomSource random = cryptoRandom();
        for (const std::uint32_t bound : {1u, 2u, 7u, 1000u, 0x80000001u}) {
            for (int i = 0; i < 200; ++i)
                QVERIFY(uniformBelow(bound, random) < bound);
        }
    }

    void takenIdsAreSkipped()
    {
        SessionIdGenerator ids(scripted({0u, 0u, 1u, 2u}));
        std::set<std::string> taken{"100000000", "100000001"};
        const auto isTaken = [&](std::string_view id) { return taken.count(std::string(id)) > 0; };
        QCOMPARE(QString::fromStdString(ids.next(isTaken)), QString("100000002"));
    }

    void givesUpWhenEverythingIsTaken()
    {
        SessionIdGenerator ids;
        QVERIFY_EXCEPTION_THROWN(ids.next([](std::string_view) { return true; }),
                                 std::runtime_error);
    }

    void brokenRandomSourceIsFatal()
    {
        SessionIdGenerator ids(
            [](unsigned char *, std::size_t) { throw std::runtime_error("no entropy"); });
        QVERIFY_EXCEPTION_THROWN(ids.next(neverTaken), std::runtime_error);
    }

    // Real draws: nine digits, no repeats when the generator is told what is taken, and every
    // digit position close to uniform (chi-square with a bound that a fair source exceeds with a
    // probability below one in a million per position).
    void realDrawsLookUniform()
    {
        SessionIdGenerator ids;
        std::set<std::string> seen;
        constexpr int kDraws = 90000;
        int counts[9][10] = {};
        for (int i = 0; i < kDraws; ++i) {
            const std::string id = ids.next(
                [&](std::string_view candidate) { return seen.count(std::string(candidate)) > 0; });
            QVERIFY(isSessionId(id));
            QVERIFY(seen.insert(id).second);
            for (int position = 0; position < 9; ++position)
                ++counts[position][id[position] - '0'];
        }
        for (int position = 0; position < 9; ++position) {
            const int first = position == 0 ? 1 : 0;
            const double expected = double(kDraws) / (10 - first);
            double chiSquare = 0;
            for (int digit = first; digit < 10; ++digit) {
                const double d = counts[position][digit] - expected;
                chiSquare += d * d / expected;
            }
            QVERIFY2(
                chiSquare < 50,
                qPrintable(QString("position %1: chi-square %2").arg(position).arg(chiSquare)));
        }
    }
};

QTEST_GUILESS_MAIN(TestSessionIds)
#include "tst_sessionids.moc"
