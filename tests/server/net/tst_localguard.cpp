// The guard of a single node: its answers come on a later turn of the loop, once each, never
// from inside the call and never after the guard is gone, while what it is told takes effect at
// once for every question asked after it.
#include "server/net/localguard.h"

#include <QtTest>

#include <memory>

using namespace std::chrono;
using velmora::server::AttemptGuard;
using velmora::server::Guard;
using velmora::server::LocalGuard;
using velmora::server::LockoutSchedule;
using velmora::server::ProbeLimit;
using velmora::server::RfbHandshake;
namespace net = velmora::server::net;

namespace {

const std::string kId = "123456789";
const std::string kClient = "198.51.100.7";

AttemptGuard::Ending guess()
{
    AttemptGuard::Ending ending;
    ending.how = RfbHandshake::Refusal::WrongPassword;
    ending.responseSent = true;
    ending.client = kClient;
    return ending;
}

} // namespace

class TestLocalGuard : public QObject
{
    Q_OBJECT

private slots:
    // Each question, asked with nothing else on the loop: no answer inside the call, one answer
    // once the loop runs.
    void answersComeLaterAndOnce_data()
    {
        QTest::addColumn<int>("question");
        QTest::newRow("admit") << 0;
        QTest::newRow("handshakeEnded") << 1;
        QTest::newRow("lockedFor") << 2;
    }
    void answersComeLaterAndOnce()
    {
        QFETCH(int, question);
        net::io_context io;
        LocalGuard guard(io, LockoutSchedule{}, ProbeLimit{});
        int answers = 0;
        if (question == 0)
            guard.admit(kClient, kId, [&](Guard::Admission) { ++answers; });
        else if (question == 1)
            guard.handshakeEnded(kId, guess(), [&](AttemptGuard::Verdict) { ++answers; });
        else
            guard.lockedFor(kId, [&](milliseconds) { ++answers; });
        QCOMPARE(answers, 0);
        io.run();
        QCOMPARE(answers, 1);
    }

    // A guess and two probes told in one turn already count for the questions of that turn.
    void whatItIsToldCountsAtOnce()
    {
        net::io_context io;
        LocalGuard guard(io, LockoutSchedule{1000ms, 8000ms}, ProbeLimit{2, 60000ms});
        std::optional<AttemptGuard::Verdict> verdict;
        guard.handshakeEnded(kId, guess(), [&](AttemptGuard::Verdict v) { verdict = v; });
        std::optional<Guard::Admission> locked;
        guard.admit(kClient, kId, [&](Guard::Admission a) { locked = a; });
        std::optional<milliseconds> left;
        guard.lockedFor(kId, [&](milliseconds l) { left = l; });
        guard.ledNowhere("198.51.100.8");
        guard.ledNowhere("198.51.100.8");
        std::optional<Guard::Admission> waiting;
        guard.admit("198.51.100.8", "987654321", [&](Guard::Admission a) { waiting = a; });
        io.run();

        QVERIFY(verdict && verdict->guess);
        QCOMPARE(verdict->refusalsInARow, 1u);
        QCOMPARE(verdict->lock, milliseconds(1000));
        QVERIFY(locked && locked->kind == Guard::Admission::Kind::Refused);
        QCOMPARE(locked->refusal.reason.code, velmora::server::kLocked.code);
        // Locked for the guessing address, not for everyone.
        QVERIFY(left && left->count() == 0);
        QVERIFY(waiting && waiting->kind == Guard::Admission::Kind::Refused);
        QCOMPARE(waiting->refusal.reason.code, velmora::server::kTooManyAttempts.code);
        QCOMPARE(guard.attempts().lockouts().refusals(AttemptGuard::ownLock(kId, kClient)), 1u);
    }

    // Answers still on their way when the guard goes are dropped, not called into whatever
    // owned it.
    void aGuardThatIsGoneAnswersNothing()
    {
        net::io_context io;
        auto guard = std::make_unique<LocalGuard>(io, LockoutSchedule{}, ProbeLimit{});
        int answers = 0;
        guard->admit(kClient, kId, [&](Guard::Admission) { ++answers; });
        guard->handshakeEnded(kId, guess(), [&](AttemptGuard::Verdict) { ++answers; });
        guard->lockedFor(kId, [&](milliseconds) { ++answers; });
        guard.reset();
        io.run();
        QCOMPARE(answers, 0);
    }
};

QTEST_GUILESS_MAIN(TestLocalGuard)
#include "tst_localguard.moc"
