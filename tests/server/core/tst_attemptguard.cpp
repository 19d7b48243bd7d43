// The attempt guard without sockets, the time passed in: which supporter may try which ID when,
// what it is told when not, what a refused attempt costs the ID, and the bounds on guessing
// passwords and probing IDs that follow from the guard's own answers.
#include "server/core/attemptguard.h"

#include <QtTest>

using namespace std::chrono;
using velmora::server::AttemptGuard;
using velmora::server::Clock;
using velmora::server::CloseReason;
using velmora::server::LockoutSchedule;
using velmora::server::ProbeLimit;
using velmora::server::RfbHandshake;

Q_DECLARE_METATYPE(RfbHandshake::Refusal)

namespace {

const std::string kId = "123456789";
const std::string kClient = "198.51.100.7";

// "reason;retry-after" as a supporter would see it, or "admitted".
QString told(const std::optional<AttemptGuard::Refusal> &refusal)
{
    if (!refusal)
        return "admitted";
    return QString("%1 %2 ms")
        .arg(QString::fromLatin1(refusal->reason.text.data(), int(refusal->reason.text.size())))
        .arg(refusal->retryAfter.count());
}

} // namespace

class TestAttemptGuard : public QObject
{
    Q_OBJECT

    const Clock::time_point t0 = Clock::now();

private slots:
    void aNewSupporterMayTryAnyWellFormedId()
    {
        AttemptGuard guard;
        QCOMPARE(told(guard.admit(kClient, kId, t0)), QString("admitted"));
        QCOMPARE(told(guard.admit(kClient, "987654321", t0)), QString("admitted"));
        // Being admitted costs nothing.
        QCOMPARE(guard.probes().size(), std::size_t(0));
        QCOMPARE(guard.lockouts().size(), std::size_t(0));
    }

    void malformedIdsAreRefusedAndTakeAProbe_data()
    {
        QTest::addColumn<QString>("id");
        QTest::newRow("short") << "12345";
        QTest::newRow("letters") << "12345678x";
        QTest::newRow("leading zero") << "012345678";
        QTest::newRow("empty") << "";
        QTest::newRow("ten digits") << "1234567890";
    }
    void malformedIdsAreRefusedAndTakeAProbe()
    {
        QFETCH(QString, id);
        AttemptGuard guard({}, ProbeLimit{2, 1000ms});
        QCOMPARE(told(guard.admit(kClient, id.toStdString(), t0)), QString("invalid-id 0 ms"));
        QCOMPARE(told(guard.admit(kClient, id.toStdString(), t0)), QString("invalid-id 0 ms"));
        // Two probes were all the address had.
        QCOMPARE(told(guard.admit(kClient, kId, t0)), QString("too-many-attempts 1000 ms"));
        QCOMPARE(told(guard.admit("198.51.100.8", kId, t0)), QString("admitted"));
    }

    // While an address waits for a probe every answer is the same, whatever it asks for, and
    // asking takes nothing more.
    void anAddressWithoutProbesLearnsNothingAboutAnyId()
    {
        AttemptGuard guard(LockoutSchedule{60s, 60s}, ProbeLimit{2, 10s});
        guard.handshakeEnded("987654321", RfbHandshake::Refusal::WrongPassword, t0);
        guard.ledNowhere(kClient, t0);
        guard.ledNowhere(kClient, t0);
        for (const std::string &id : {kId, std::string("987654321"), std::string("12-34")})
            QCOMPARE(told(guard.admit(kClient, id, t0 + 4s)), QString("too-many-attempts 6000 ms"));
        // A wait of a fraction of a millisecond is told as a whole one.
        QCOMPARE(told(guard.admit(kClient, kId, t0 + 9999500us)),
                 QString("too-many-attempts 1 ms"));
        // One probe back after the interval.
        QCOMPARE(told(guard.admit(kClient, kId, t0 + 10s)), QString("admitted"));
        guard.ledNowhere(kClient, t0 + 10s);
        QCOMPARE(told(guard.admit(kClient, kId, t0 + 10s)), QString("too-many-attempts 10000 ms"));
    }

    // The lock belongs to the ID: every supporter is refused, whichever address, and told how
    // long is left.
    void aLockedIdRefusesEverySupporterUntilTheLockEnds()
    {
        AttemptGuard guard(LockoutSchedule{2s, 1800s});
        const auto verdict = guard.handshakeEnded(kId, RfbHandshake::Refusal::WrongPassword, t0);
        QCOMPARE(verdict.lock.count(), 2000);
        QCOMPARE(told(guard.admit(kClient, kId, t0)), QString("locked 2000 ms"));
        QCOMPARE(told(guard.admit("203.0.113.1", kId, t0 + 500ms)), QString("locked 1500 ms"));
        QCOMPARE(told(guard.admit(kClient, kId, t0 + 500400us)), QString("locked 1500 ms"));
        QCOMPARE(guard.lockedFor(kId, t0 + 1999001us).count(), 1);
        QCOMPARE(told(guard.admit(kClient, "987654321", t0)), QString("admitted"));
        // Refused for a lock, the address keeps its probes.
        QCOMPARE(guard.probes().size(), std::size_t(0));
        QCOMPARE(told(guard.admit(kClient, kId, t0 + 2s)), QString("admitted"));
        QCOMPARE(guard.lockedFor(kId, t0 + 2s).count(), 0);
    }

    void refusedHandshakesAreToldTheirReason_data()
    {
        QTest::addColumn<RfbHandshake::Refusal>("how");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("reason");
        using R = RfbHandshake::Refusal;
        QTest::newRow("wrong password") << R::WrongPassword << 4401 << "wrong-password";
        QTest::newRow("server failure") << R::ServerFailure << 4403 << "desktop-refused";
        QTest::newRow("no VNC auth") << R::NoVncAuth << 4415 << "unsupported-security";
        QTest::newRow("other type") << R::UnsupportedType << 4415 << "unsupported-security";
        QTest::newRow("other version") << R::UnsupportedVersion << 4415 << "unsupported-security";
        QTest::newRow("malformed") << R::Malformed << 4415 << "unsupported-security";
        QTest::newRow("closed early") << R::Closed << 4415 << "unsupported-security";
    }
    void refusedHandshakesAreToldTheirReason()
    {
        QFETCH(RfbHandshake::Refusal, how);
        QFETCH(int, code);
        QFETCH(QString, reason);
        AttemptGuard guard(LockoutSchedule{500ms, 4s});
        const AttemptGuard::Verdict verdict = guard.handshakeEnded(kId, how, t0);
        QVERIFY(!verdict.accepted);
        QCOMPARE(int(verdict.reason.code), code);
        QCOMPARE(QString::fromLatin1(verdict.reason.text.data(), int(verdict.reason.text.size())),
                 reason);
        // Every kind of refusal is an attempt that locks the ID.
        QCOMPARE(verdict.lock.count(), 500);
        QCOMPARE(verdict.refusalsInARow, 1u);
        QCOMPARE(guard.lockedFor(kId, t0).count(), 500);
    }

    void refusalsLockLongerEachTimeAndASuccessForgives()
    {
        AttemptGuard guard(LockoutSchedule{100ms, 400ms});
        const std::vector<int> locks{100, 200, 400, 400};
        auto now = t0;
        for (std::size_t i = 0; i < locks.size(); ++i) {
            QCOMPARE(told(guard.admit(kClient, kId, now)), QString("admitted"));
            const auto verdict =
                guard.handshakeEnded(kId, RfbHandshake::Refusal::WrongPassword, now);
            QCOMPARE(verdict.lock.count(), locks[i]);
            QCOMPARE(verdict.refusalsInARow, unsigned(i + 1));
            now += milliseconds(locks[i]);
        }
        const auto success = guard.handshakeEnded(kId, RfbHandshake::Refusal::None, now);
        QVERIFY(success.accepted);
        QCOMPARE(success.refusalsInARow, 0u);
        QCOMPARE(guard.lockouts().refusals(kId), 0u);
        const auto again = guard.handshakeEnded(kId, RfbHandshake::Refusal::Closed, now);
        QCOMPARE(again.lock.count(), 100);
        QCOMPARE(again.refusalsInARow, 1u);
    }

    void endingsBeforeTheResponseAreNoGuess_data()
    {
        QTest::addColumn<RfbHandshake::Refusal>("how");
        QTest::addColumn<bool>("supporterEnded");
        QTest::newRow("the supporter left") << RfbHandshake::Refusal::Closed << true;
        QTest::newRow("its password deadline passed") << RfbHandshake::Refusal::Closed << true;
        QTest::newRow("it picked another type") << RfbHandshake::Refusal::UnsupportedType << true;
        QTest::newRow("the agent left or timed out") << RfbHandshake::Refusal::Closed << false;
        QTest::newRow("the VNC server refused") << RfbHandshake::Refusal::ServerFailure << false;
    }
    // Before the password response nothing was guessed: the ID is not locked, and when the
    // supporter's side ended it, its address pays a probe.
    void endingsBeforeTheResponseAreNoGuess()
    {
        QFETCH(RfbHandshake::Refusal, how);
        QFETCH(bool, supporterEnded);
        AttemptGuard guard(LockoutSchedule{100ms, 400ms}, ProbeLimit{5, 10s});
        AttemptGuard::Ending ending;
        ending.how = how;
        ending.responseSent = false;
        ending.supporterEnded = supporterEnded;
        ending.client = kClient;
        const auto verdict = guard.handshakeEnded(kId, ending, t0);
        QVERIFY(!verdict.accepted);
        QVERIFY(!verdict.guess);
        QCOMPARE(verdict.probeTaken, supporterEnded);
        QCOMPARE(verdict.lock.count(), 0);
        QCOMPARE(guard.lockouts().refusals(kId), 0u);
        QCOMPARE(guard.probes().size(), std::size_t(supporterEnded ? 1 : 0));
        QCOMPARE(told(guard.admit(kClient, kId, t0)), QString("admitted"));
    }

    // What used to lock an ID for 30 minutes, eleven connections that leave at the password
    // prompt, now locks nothing; the address runs out of probes instead, and while it waits it is
    // refused whatever the ID. A guess after the response still counts, however it ends.
    void connectingAndLeavingCannotLockAnId()
    {
        AttemptGuard guard(LockoutSchedule{}, ProbeLimit{5, 10s});
        AttemptGuard::Ending leaving;
        leaving.how = RfbHandshake::Refusal::Closed;
        leaving.responseSent = false;
        leaving.supporterEnded = true;
        leaving.client = kClient;
        int admitted = 0;
        for (int i = 0; i < 11; ++i) {
            if (guard.admit(kClient, kId, t0))
                continue;
            ++admitted;
            guard.handshakeEnded(kId, leaving, t0);
        }
        QCOMPARE(admitted, 5);
        QCOMPARE(guard.lockedFor(kId, t0).count(), 0);
        QCOMPARE(told(guard.admit(kClient, kId, t0)), QString("too-many-attempts 10000 ms"));
        QCOMPARE(told(guard.admit("203.0.113.1", kId, t0)), QString("admitted"));

        AttemptGuard::Ending guessedThenLeft = leaving;
        guessedThenLeft.responseSent = true;
        const auto verdict = guard.handshakeEnded(kId, guessedThenLeft, t0);
        QVERIFY(verdict.guess);
        QCOMPARE(verdict.refusalsInARow, 1u);
        QCOMPARE(verdict.lock.count(), 2000);
    }

    // The README's bound, from the guard's own answers: a guesser who asks again the moment it
    // is told it may gets 57 attempts at a password within 24 hours.
    void aGuesserGetsFiftySevenAttemptsADay()
    {
        AttemptGuard guard;
        int attempts = 0;
        for (auto now = t0; now <= t0 + 24h;) {
            if (const auto refusal = guard.admit(kClient, kId, now)) {
                QCOMPARE(int(refusal->reason.code), 4423);
                QVERIFY(refusal->retryAfter.count() > 0);
                now += refusal->retryAfter;
                continue;
            }
            ++attempts;
            guard.handshakeEnded(kId, RfbHandshake::Refusal::WrongPassword, now);
        }
        QCOMPARE(attempts, 57);
        QCOMPARE(std::uint64_t(attempts), LockoutSchedule{}.attemptsWithin(24h));
    }

    // The same for walking the ID space: 8,645 IDs a day from one address.
    void aProberGetsEightThousandSixHundredFortyFiveIdsADay()
    {
        AttemptGuard guard;
        int probes = 0;
        for (auto now = t0; now <= t0 + 24h;) {
            const std::string id = std::to_string(100000000 + probes);
            if (const auto refusal = guard.admit(kClient, id, now)) {
                QCOMPARE(int(refusal->reason.code), 4429);
                QVERIFY(refusal->retryAfter.count() > 0);
                now += refusal->retryAfter;
                continue;
            }
            ++probes;
            guard.ledNowhere(kClient, now);
        }
        QCOMPARE(probes, 8645);
        QCOMPARE(std::uint64_t(probes), ProbeLimit{}.allowedWithin(24h));
    }

    void idleEntriesAreForgotten()
    {
        AttemptGuard guard(LockoutSchedule{1s, 1h}, ProbeLimit{5, 10s});
        guard.handshakeEnded(kId, RfbHandshake::Refusal::WrongPassword, t0);
        guard.ledNowhere(kClient, t0);
        guard.forgetIdle(t0 + 9s);
        QCOMPARE(guard.lockouts().size(), std::size_t(1));
        QCOMPARE(guard.probes().size(), std::size_t(1));
        // The address's bucket is full again; the ID is remembered for a day.
        guard.forgetIdle(t0 + 10s);
        QCOMPARE(guard.probes().size(), std::size_t(0));
        QCOMPARE(guard.lockouts().size(), std::size_t(1));
        guard.forgetIdle(t0 + 24h);
        QCOMPARE(guard.lockouts().size(), std::size_t(0));
    }
};

QTEST_GUILESS_MAIN(TestAttemptGuard)
#include "tst_attemptguard.moc"
