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

    // A refused guess locks the ID for its address only, which is told how long is left and
    // pays a probe for it; supporters from elsewhere may go on trying it.
    void aRefusedGuessLocksTheIdForItsAddressOnly()
    {
        AttemptGuard guard(LockoutSchedule{2s, 1800s});
        const auto verdict =
            guard.handshakeEnded(kId, RfbHandshake::Refusal::WrongPassword, t0, kClient);
        QCOMPARE(verdict.lock.count(), 2000);
        QCOMPARE(told(guard.admit(kClient, kId, t0)), QString("locked 2000 ms"));
        QCOMPARE(told(guard.admit(kClient, kId, t0 + 500ms)), QString("locked 1500 ms"));
        QCOMPARE(told(guard.admit(kClient, kId, t0 + 500400us)), QString("locked 1500 ms"));
        QCOMPARE(told(guard.admit("203.0.113.1", kId, t0 + 500ms)), QString("admitted"));
        QCOMPARE(guard.lockedFor(kId, t0).count(), 0);
        QCOMPARE(told(guard.admit(kClient, "987654321", t0)), QString("admitted"));
        QCOMPARE(guard.probes().size(), std::size_t(1));
        QCOMPARE(told(guard.admit(kClient, kId, t0 + 2s)), QString("admitted"));
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
        // Every kind of refusal is an attempt that locks the ID for its address.
        QCOMPARE(verdict.lock.count(), 500);
        QCOMPARE(verdict.refusalsInARow, 1u);
        QCOMPARE(told(guard.admit({}, kId, t0)), QString("locked 500 ms"));
    }

    void refusalsLockLongerEachTimeAndASuccessForgives()
    {
        // An address's own locks double up to twice the cap.
        AttemptGuard guard(LockoutSchedule{100ms, 200ms}, ProbeLimit{8, 10s});
        const std::vector<int> locks{100, 200, 400, 400};
        auto now = t0;
        for (std::size_t i = 0; i < locks.size(); ++i) {
            QCOMPARE(told(guard.admit(kClient, kId, now)), QString("admitted"));
            const auto verdict =
                guard.handshakeEnded(kId, RfbHandshake::Refusal::WrongPassword, now, kClient);
            QCOMPARE(verdict.lock.count(), locks[i]);
            QCOMPARE(verdict.refusalsInARow, unsigned(i + 1));
            now += milliseconds(locks[i]);
        }
        const auto success = guard.handshakeEnded(kId, RfbHandshake::Refusal::None, now, kClient);
        QVERIFY(success.accepted);
        QCOMPARE(success.refusalsInARow, 0u);
        QCOMPARE(guard.lockouts().refusals(AttemptGuard::ownLock(kId, kClient)), 0u);
        const auto again = guard.handshakeEnded(kId, RfbHandshake::Refusal::Closed, now, kClient);
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

    // The README's bounds, from the guard's own answers, for guessers that ask again the moment
    // they are told they may: one address alone gets 34 attempts at a password within 24 hours
    // and never locks the ID for a supporter from elsewhere; any number of addresses together
    // get 57.
    void guessersGetTheirShareOfFiftySevenAttemptsADay_data()
    {
        QTest::addColumn<int>("addresses");
        QTest::addColumn<int>("attempts");
        QTest::addColumn<bool>("ownerAlwaysAdmitted");
        QTest::newRow("one address") << 1 << 34 << true;
        QTest::newRow("two addresses") << 2 << 57 << false;
        QTest::newRow("a thousand addresses") << 1000 << 57 << false;
    }
    void guessersGetTheirShareOfFiftySevenAttemptsADay()
    {
        QFETCH(int, addresses);
        QFETCH(int, attempts);
        QFETCH(bool, ownerAlwaysAdmitted);
        // Probes enough that only the locks hold the guessers back.
        AttemptGuard guard({}, ProbeLimit{1000000, 1ms});
        int made = 0;
        bool ownerRefused = false;
        for (auto now = t0; now <= t0 + 24h;) {
            milliseconds next = 24h;
            for (int i = 0; i < addresses; ++i) {
                const std::string client =
                    "203.0." + std::to_string(i / 250) + "." + std::to_string(i % 250);
                if (const auto refusal = guard.admit(client, kId, now)) {
                    QCOMPARE(int(refusal->reason.code), 4423);
                    QVERIFY(refusal->retryAfter.count() > 0);
                    next = std::min(next, refusal->retryAfter);
                    continue;
                }
                ++made;
                guard.handshakeEnded(kId, RfbHandshake::Refusal::WrongPassword, now, client);
                next = milliseconds(0);
            }
            if (guard.admit(kClient, kId, now))
                ownerRefused = true;
            now += std::max(next, milliseconds(1));
        }
        QCOMPARE(made, attempts);
        QCOMPARE(!ownerRefused, ownerAlwaysAdmitted);
        QCOMPARE(LockoutSchedule{}.attemptsWithin(24h), std::uint64_t(57));
        QCOMPARE(LockoutSchedule{}.idBudget().allowedWithin(24h), std::uint64_t(57));
        QCOMPARE(LockoutSchedule{}.ownLocks().attemptsWithin(24h), std::uint64_t(34));
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

    // New IDs come from a budget of the address apart from its probes: all of it at once, then
    // one per interval; the wait is told, and waiting takes nothing.
    void newIdsComeFromTheAddresssBudget()
    {
        AttemptGuard guard({}, ProbeLimit{1, 10s}, ProbeLimit{3, 20s});
        for (int i = 0; i < 3; ++i)
            QCOMPARE(guard.newId(kClient, t0).count(), 0);
        QCOMPARE(guard.newId(kClient, t0).count(), 20000);
        QCOMPARE(guard.newId(kClient, t0 + 5s).count(), 15000);
        QCOMPARE(guard.newId("198.51.100.8", t0).count(), 0);
        // Probes are another budget.
        QCOMPARE(told(guard.admit(kClient, kId, t0)), QString("admitted"));
        QCOMPARE(guard.newId(kClient, t0 + 20s).count(), 0);
        QCOMPARE(guard.newId(kClient, t0 + 20s).count(), 20000);
        QCOMPARE(guard.newIds().size(), std::size_t(2));
        guard.forgetIdle(t0 + 80s);
        QCOMPARE(guard.newIds().size(), std::size_t(0));
        // The default: 240 an hour, as the README says.
        QCOMPARE(AttemptGuard().newId(kClient, t0).count(), 0);
        QCOMPARE(ProbeLimit(velmora::server::kNewIdLimit).allowedWithin(1h), std::uint64_t(480));
    }

    void idleEntriesAreForgotten()
    {
        AttemptGuard guard(LockoutSchedule{1s, 1h}, ProbeLimit{5, 10s});
        guard.handshakeEnded(kId, RfbHandshake::Refusal::WrongPassword, t0, kClient);
        guard.ledNowhere(kClient, t0);
        guard.forgetIdle(t0 + 19s);
        QCOMPARE(guard.lockouts().size(), std::size_t(1));
        QCOMPARE(guard.probes().size(), std::size_t(1));
        QCOMPARE(guard.guesses().size(), std::size_t(1));
        // The address's bucket is full again after its guess and its probe, the ID's budget
        // after one of its intervals; the address's lock is remembered for a day.
        guard.forgetIdle(t0 + 20s);
        QCOMPARE(guard.probes().size(), std::size_t(0));
        QCOMPARE(guard.lockouts().size(), std::size_t(1));
        guard.forgetIdle(t0 + LockoutSchedule{1s, 1h}.idBudget().interval);
        QCOMPARE(guard.guesses().size(), std::size_t(0));
        guard.forgetIdle(t0 + 24h);
        QCOMPARE(guard.lockouts().size(), std::size_t(0));
    }
};

QTEST_GUILESS_MAIN(TestAttemptGuard)
#include "tst_attemptguard.moc"
