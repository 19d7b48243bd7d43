// The numbers of the password protection without sockets: the lock schedule and the bound it puts
// on guessing, locks per ID, the probe budget per address, and which address a client counts as.
#include "server/core/clientaddress.h"
#include "server/core/closereasons.h"
#include "server/core/lockouts.h"
#include "server/core/probelimiter.h"

#include <QtTest>

using namespace std::chrono;
using velmora::server::Clock;
using velmora::server::Lockouts;
using velmora::server::LockoutSchedule;
using velmora::server::ProbeLimit;
using velmora::server::ProbeLimiter;

class TestLimits : public QObject
{
    Q_OBJECT

private slots:
    void realScheduleDoublesFromTwoSecondsToHalfAnHour()
    {
        const LockoutSchedule schedule;
        const std::vector<seconds> expected{2s,   4s,   8s,    16s,   32s,   64s,  128s,
                                            256s, 512s, 1024s, 1800s, 1800s, 1800s};
        for (std::size_t i = 0; i < expected.size(); ++i)
            QCOMPARE(schedule.lockAfter(unsigned(i + 1)).count(),
                     duration_cast<milliseconds>(expected[i]).count());
        QCOMPARE(schedule.lockAfter(1000).count(), milliseconds(30min).count());
    }

    // The figure the README states: attempts at t = 0, 2, 6, 14, ..., 2046 s (11 of them), then
    // one every 1800 s: 46 more within the first 86,400 s.
    void realScheduleAllowsUnderOnePercentIn24Hours()
    {
        const LockoutSchedule schedule;
        const std::uint64_t attempts = schedule.attemptsWithin(24h);
        QCOMPARE(attempts, std::uint64_t(57));
        // Ten thousand passwords, one of them right, the same all day.
        QVERIFY(double(attempts) / 10000 < 0.01);
        QCOMPARE(schedule.attemptsWithin(milliseconds(0)), std::uint64_t(1));
        QCOMPARE(schedule.attemptsWithin(2s), std::uint64_t(2));
        QCOMPARE(schedule.attemptsWithin(2046s), std::uint64_t(11));
        QCOMPARE(schedule.attemptsWithin(2046s + 1799s), std::uint64_t(11));
        QCOMPARE(schedule.attemptsWithin(2046s + 1800s), std::uint64_t(12));
    }

    // TigerVNC blocks an address after five connections without a successful login, for 10 s,
    // doubling on each further one (rfb/Blacklist.cxx, BlacklistThreshold=5,
    // BlacklistTimeout=10). All relayed connections come from 127.0.0.1, so its block must never
    // be longer than ours while our lock is below the cap, or an honest supporter who waited
    // out our lock would be turned away by it.
    void ourLockOutlastsTigerVncsBlockUntilTheCap()
    {
        const LockoutSchedule schedule;
        for (unsigned connections = 6; connections <= 13; ++connections) {
            const milliseconds tiger = 10s * (1 << (connections - 6));
            QVERIFY2(schedule.lockAfter(connections) > tiger,
                     qPrintable(QString("after %1 refusals").arg(connections)));
        }
        // From the 14th refusal in a row TigerVNC's own block (2560 s) outgrows our cap.
        QVERIFY(schedule.lockAfter(14) < 10s * (1 << 8));
    }

    void locksFollowTheScheduleAndSuccessForgives()
    {
        Lockouts lockouts(LockoutSchedule{100ms, 400ms});
        const auto t0 = Clock::now();
        QCOMPARE(lockouts.lockedFor("123456789", t0), Clock::duration::zero());
        QCOMPARE(lockouts.refused("123456789", t0), Clock::duration(100ms));
        QCOMPARE(lockouts.lockedFor("123456789", t0 + 40ms), Clock::duration(60ms));
        QCOMPARE(lockouts.lockedFor("123456789", t0 + 100ms), Clock::duration::zero());
        // Another ID is not touched.
        QCOMPARE(lockouts.lockedFor("987654321", t0), Clock::duration::zero());
        QCOMPARE(lockouts.refused("123456789", t0 + 100ms), Clock::duration(200ms));
        QCOMPARE(lockouts.refused("123456789", t0 + 300ms), Clock::duration(400ms));
        QCOMPARE(lockouts.refused("123456789", t0 + 700ms), Clock::duration(400ms));
        QCOMPARE(lockouts.refusals("123456789"), 4u);
        lockouts.succeeded("123456789");
        QCOMPARE(lockouts.refusals("123456789"), 0u);
        QCOMPARE(lockouts.lockedFor("123456789", t0 + 700ms), Clock::duration::zero());
        QCOMPARE(lockouts.refused("123456789", t0 + 800ms), Clock::duration(100ms));
    }

    void idleIdsAreForgottenOnlyAfterTheirLock()
    {
        Lockouts lockouts(LockoutSchedule{1s, 1h}, 10s);
        const auto t0 = Clock::now();
        for (int i = 0; i < 13; ++i)
            lockouts.refused("123456789", t0); // locked for an hour
        lockouts.refused("987654321", t0);
        lockouts.forgetIdle(t0 + 9s);
        QCOMPARE(lockouts.size(), std::size_t(2));
        lockouts.forgetIdle(t0 + 11s);
        QCOMPARE(lockouts.size(), std::size_t(1));
        QCOMPARE(lockouts.refusals("987654321"), 0u);
        lockouts.forgetIdle(t0 + 1h);
        QCOMPARE(lockouts.size(), std::size_t(0));
    }

    void probeBudgetIsABurstThenOnePerInterval()
    {
        const ProbeLimit defaults;
        // 5 at once, then one every 10 s: 8,645 IDs a day from one address.
        QCOMPARE(defaults.allowedWithin(24h), std::uint64_t(8645));

        ProbeLimiter limiter(ProbeLimit{3, 1000ms});
        const auto t0 = Clock::now();
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(limiter.waitFor("198.51.100.7", t0), Clock::duration::zero());
            limiter.probed("198.51.100.7", t0);
        }
        QCOMPARE(limiter.waitFor("198.51.100.7", t0), Clock::duration(1000ms));
        QCOMPARE(limiter.waitFor("198.51.100.7", t0 + 400ms), Clock::duration(600ms));
        QCOMPARE(limiter.waitFor("198.51.100.8", t0), Clock::duration::zero());
        // One token back per interval.
        QCOMPARE(limiter.waitFor("198.51.100.7", t0 + 1000ms), Clock::duration::zero());
        limiter.probed("198.51.100.7", t0 + 1000ms);
        QCOMPARE(limiter.waitFor("198.51.100.7", t0 + 1000ms), Clock::duration(1000ms));
        // Full again after burst intervals of quiet, and then forgotten.
        limiter.forgetIdle(t0 + 3999ms);
        QCOMPARE(limiter.size(), std::size_t(1));
        limiter.forgetIdle(t0 + 4000ms);
        QCOMPARE(limiter.size(), std::size_t(0));
    }

    void clientKeys_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("key");
        QTest::newRow("IPv4") << "203.0.113.9"
                              << "203.0.113.9";
        QTest::newRow("IPv4-mapped IPv6") << "::ffff:203.0.113.9"
                                          << "203.0.113.9";
        QTest::newRow("IPv6 by its /64") << "2001:db8:1:2:aaaa:bbbb:cccc:dddd"
                                         << "2001:db8:1:2::/64";
        QTest::newRow("same /64, other host") << "2001:db8:1:2::1"
                                              << "2001:db8:1:2::/64";
        QTest::newRow("loopback v6") << "::1"
                                     << "::/64";
        QTest::newRow("not an address") << "example.org"
                                        << "";
        QTest::newRow("with a port") << "203.0.113.9:5000"
                                     << "";
        QTest::newRow("empty") << ""
                               << "";
    }
    void clientKeys()
    {
        QFETCH(QString, address);
        QFETCH(QString, key);
        const auto got = velmora::server::clientKey(address.toStdString());
        QCOMPARE(got ? QString::fromStdString(*got) : QString(), key);
    }

    void forwardedFor_data()
    {
        QTest::addColumn<QString>("header");
        QTest::addColumn<QString>("address");
        QTest::newRow("one") << "203.0.113.9"
                             << "203.0.113.9";
        QTest::newRow("the proxy's entry is the last") << "10.1.1.1, 198.51.100.2,203.0.113.9 "
                                                       << "203.0.113.9";
        QTest::newRow("bracketed IPv6") << "[2001:db8::5]"
                                        << "2001:db8::5";
        QTest::newRow("last is not an address") << "203.0.113.9, unknown"
                                                << "";
        QTest::newRow("empty") << ""
                               << "";
    }
    void forwardedFor()
    {
        QFETCH(QString, header);
        QFETCH(QString, address);
        const auto got = velmora::server::lastForwardedFor(header.toStdString());
        QCOMPARE(got ? QString::fromStdString(*got) : QString(), address);
    }

    void retryAfterRoundsUp()
    {
        using velmora::server::kLocked;
        using velmora::server::withRetryAfter;
        QCOMPARE(QString::fromStdString(withRetryAfter(kLocked, 8000ms)),
                 QString("locked;retry-after=8"));
        QCOMPARE(QString::fromStdString(withRetryAfter(kLocked, 8001ms)),
                 QString("locked;retry-after=9"));
        QCOMPARE(QString::fromStdString(withRetryAfter(kLocked, 1ms)),
                 QString("locked;retry-after=1"));
        QCOMPARE(QString::fromStdString(withRetryAfter(kLocked, 0ms)),
                 QString("locked;retry-after=1"));
    }
};

QTEST_GUILESS_MAIN(TestLimits)
#include "tst_limits.moc"
