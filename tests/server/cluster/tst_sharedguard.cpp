// The guard against guessing that all nodes share, against a real redis-server: the same answers
// as the one node's guard for the same events, asked through the same interface (and a comparison
// that tells when either drifts), answers that come later on the loop, one lock schedule and one
// probe budget for two nodes, the schedule's locks as Redis computes them, what happens while
// Redis is away or answers with errors, and keys that all expire. With a replica: a refused
// guess answered once the replica holds it, and one the replica missed recorded again on the
// primary that takes over.
#include "redisprocess.h"

#include "server/cluster/redisclient.h"
#include "server/cluster/sharedguard.h"
#include "server/core/attemptguard.h"
#include "server/core/redisurl.h"
#include "server/net/localguard.h"

#include <QtTest>

#include <cstdlib>
#include <memory>

using namespace std::chrono;
using velmora::server::AttemptGuard;
using velmora::server::Clock;
using velmora::server::Guard;
using velmora::server::LocalGuard;
using velmora::server::LockoutSchedule;
using velmora::server::ProbeLimit;
using velmora::server::RedisClient;
using velmora::server::RedisEndpoint;
using velmora::server::RedisReply;
using velmora::server::RfbHandshake;
using velmora::server::SharedGuard;
namespace net = velmora::server::net;

Q_DECLARE_METATYPE(LockoutSchedule)
Q_DECLARE_METATYPE(ProbeLimit)

namespace {

const std::string kId = "123456789";
const std::string kOtherId = "987654321";
const std::string kThirdId = "555555555";

// A short schedule, so that locks and refills can be waited out.
const LockoutSchedule kShort{100ms, 800ms};
// The same with a window of 3 s for its bound: 6 guesses per ID, 5 of them at once (as many as
// one address makes before its own lock reaches 1.6 s), then one per 3 s.
const LockoutSchedule kBudgeted{100ms, 800ms, 3s};
const ProbeLimit kFewProbes{2, 300ms};
const ProbeLimit kFewNewIds{2, 400ms};
// How far the two guards' figures may lie apart: each reads its own clock a little apart from
// the other. Every figure they are compared on differs from any wrong one by 100 ms at least.
const milliseconds kTolerance{50};

// The address that the tests' guesses come from, unless they name another.
const std::string kGuesser = "203.0.113.5";
// Probes enough that only the locks hold a guesser back.
const ProbeLimit kManyProbes{1000, 300ms};

AttemptGuard::Ending guessed(RfbHandshake::Refusal how, bool supporterEnded = false,
                             const std::string &client = kGuesser)
{
    AttemptGuard::Ending ending;
    ending.how = how;
    ending.responseSent = true;
    ending.supporterEnded = supporterEnded;
    ending.client = client;
    return ending;
}

AttemptGuard::Ending beforeResponse(RfbHandshake::Refusal how, bool supporterEnded,
                                    const std::string &client)
{
    AttemptGuard::Ending ending = guessed(how, supporterEnded, client);
    ending.responseSent = false;
    return ending;
}

QString text(std::string_view view)
{
    return QString::fromLatin1(view.data(), int(view.size()));
}

// What a guard answered, in a form that both guards' answers share.
struct Outcome
{
    QString what;
    milliseconds wait{0};
    unsigned refusals = 0;

    QString describe() const
    {
        return QString("%1 %2 ms, %3 in a row").arg(what).arg(wait.count()).arg(refusals);
    }
};

Outcome outcomeOf(const Guard::Admission &admission)
{
    switch (admission.kind) {
    case Guard::Admission::Kind::Allowed:
        return {"admitted"};
    case Guard::Admission::Kind::Refused:
        return {text(admission.refusal.reason.text), admission.refusal.retryAfter};
    default:
        return {"unavailable"};
    }
}

Outcome outcomeOf(const AttemptGuard::Verdict &verdict)
{
    if (verdict.accepted)
        return {"accepted", verdict.lock, verdict.refusalsInARow};
    QString what = text(verdict.reason.text);
    if (verdict.guess)
        what += " guess";
    if (verdict.probeTaken)
        what += " probe";
    return {what, verdict.lock, verdict.refusalsInARow};
}

Outcome outcomeOf(milliseconds locked)
{
    return {"locked for", locked};
}

// The answer to newId.
Outcome newIdOutcome(const std::optional<std::optional<milliseconds>> &answer)
{
    if (!*answer)
        return {"unavailable"};
    if (**answer == milliseconds(0))
        return {"new id"};
    return {"no new id", **answer};
}

// No answer within the test's patience: nothing to compare.
template <typename Answer> std::optional<Outcome> outcomeOf(const std::optional<Answer> &answer)
{
    if (!answer)
        return std::nullopt;
    return outcomeOf(*answer);
}

// One node: its connection to Redis and its guard.
struct Node
{
    Node(net::io_context &io, const RedisEndpoint &endpoint, LockoutSchedule lockouts,
         ProbeLimit probes, ProbeLimit newIds)
        : client(io, endpoint, [](const std::string &) {}),
          guard(client, lockouts, probes, "velmora:", {}, newIds)
    {
        client.start(100ms);
    }
    ~Node() { client.stop(); }

    RedisClient client;
    SharedGuard guard;
};

} // namespace

class TestSharedGuard : public QObject
{
    Q_OBJECT

    net::io_context io;
    std::unique_ptr<RedisProcess> redis;
    RedisEndpoint endpoint;
    // For the test's own look at Redis.
    std::unique_ptr<RedisClient> control;

    // Runs the loop until `condition` holds or `timeout` passes.
    bool runUntil(const std::function<bool()> &condition, milliseconds timeout = 10s)
    {
        const auto deadline = steady_clock::now() + timeout;
        while (!condition()) {
            if (steady_clock::now() >= deadline)
                return false;
            if (io.stopped())
                io.restart();
            io.run_one_for(20ms);
        }
        return true;
    }

    // Lets `duration` pass on the loop: for locks and refills to run out, never to wait for an
    // answer.
    void pass(milliseconds duration)
    {
        net::steady_timer timer(io, duration);
        bool fired = false;
        timer.async_wait([&fired](const boost::system::error_code &) { fired = true; });
        QVERIFY(runUntil([&fired] { return fired; }, duration + 10s));
    }

    // The answer of an asynchronous call, or nothing when none came within 10 s.
    template <typename T, typename Call> std::optional<T> ask(Call call)
    {
        const auto answer = std::make_shared<std::optional<T>>();
        call([answer](T value) { *answer = std::move(value); });
        runUntil([&answer] { return answer->has_value(); });
        return *answer;
    }

    std::optional<Guard::Admission> admit(Guard &guard, const std::string &client,
                                          const std::string &id)
    {
        return ask<Guard::Admission>([&](auto done) { guard.admit(client, id, std::move(done)); });
    }
    std::optional<Guard::Admission> admit(Node &node, const std::string &client,
                                          const std::string &id)
    {
        return admit(node.guard, client, id);
    }

    std::optional<AttemptGuard::Verdict> ended(Guard &guard, const std::string &id,
                                               const AttemptGuard::Ending &ending)
    {
        return ask<AttemptGuard::Verdict>(
            [&](auto done) { guard.handshakeEnded(id, ending, std::move(done)); });
    }
    std::optional<AttemptGuard::Verdict> ended(Node &node, const std::string &id,
                                               const AttemptGuard::Ending &ending)
    {
        return ended(node.guard, id, ending);
    }

    std::optional<milliseconds> lockedFor(Guard &guard, const std::string &id)
    {
        return ask<milliseconds>([&](auto done) { guard.lockedFor(id, std::move(done)); });
    }
    std::optional<milliseconds> lockedFor(Node &node, const std::string &id)
    {
        return lockedFor(node.guard, id);
    }

    std::optional<std::optional<milliseconds>> newId(Guard &guard, const std::string &client)
    {
        return ask<std::optional<milliseconds>>(
            [&](auto done) { guard.newId(client, std::move(done)); });
    }

    std::optional<RedisReply> command(std::vector<std::string> arguments)
    {
        return ask<RedisReply>([&](auto done) {
            control->command(std::move(arguments),
                             [done](const RedisReply &reply) { done(reply); });
        });
    }

    std::unique_ptr<Node> node(LockoutSchedule lockouts = kShort, ProbeLimit probes = kFewProbes,
                               ProbeLimit newIds = kFewNewIds)
    {
        auto made = std::make_unique<Node>(io, endpoint, lockouts, probes, newIds);
        Node *raw = made.get();
        if (!runUntil([raw] { return raw->client.connected(); }))
            return nullptr;
        return made;
    }

    // The verdict of a refused guess on `id`, or an empty verdict after a failed check.
    AttemptGuard::Verdict guess(Node &node, const std::string &id)
    {
        const auto verdict = ended(node, id, guessed(RfbHandshake::Refusal::WrongPassword));
        if (!verdict)
            return {};
        return *verdict;
    }

    // Every key of this test's Redis.
    QStringList keys()
    {
        QStringList names;
        const auto reply = command({"KEYS", "*"});
        if (reply && reply->type == RedisReply::Type::Array) {
            for (const RedisReply &element : reply->elements)
                names << QString::fromStdString(element.text);
        }
        names.sort();
        return names;
    }

    long long pttl(const QString &key)
    {
        const auto reply = command({"PTTL", key.toStdString()});
        return reply && reply->type == RedisReply::Type::Integer ? reply->integer : -100;
    }

private slots:
    void initTestCase()
    {
        if (!RedisProcess::available())
            QSKIP(RedisProcess::skipReason());
        redis = std::make_unique<RedisProcess>();
        QVERIFY2(redis->start(), qPrintable(redis->error()));
        const auto parsed = velmora::server::parseRedisUrl(redis->unixUrl().toStdString());
        QVERIFY(std::holds_alternative<RedisEndpoint>(parsed));
        endpoint = std::get<RedisEndpoint>(parsed);
        control = std::make_unique<RedisClient>(io, endpoint, [](const std::string &) {});
        control->start(100ms);
        QVERIFY(runUntil([this] { return control->connected(); }));
    }

    void init()
    {
        // A test that failed while Redis was away leaves none for the next one.
        if (!redis->running())
            QVERIFY2(redis->restart(), qPrintable(redis->error()));
        QVERIFY(runUntil([this] { return control->connected(); }));
        const auto flushed = command({"FLUSHALL"});
        QVERIFY(flushed && !flushed->isError());
    }

    void cleanupTestCase()
    {
        if (control)
            control->stop();
        control.reset();
        redis.reset();
    }

    // Tells `one` and `cluster` the same events, asking both through the Guard interface:
    // empty when they gave the same answers, the same counts and the same waits (but for the
    // moments at which each read its clock), and every answer was the one expected; else what
    // differed first.
    QString firstDifference(Guard &one, Guard &cluster)
    {
        struct Step
        {
            enum Kind { Admit, LedNowhere, Ended, LockedFor, NewId, Pass } kind;
            std::string client;
            std::string id;
            AttemptGuard::Ending ending;
            milliseconds passing{0};
            QString expected;
        };
        using R = RfbHandshake::Refusal;
        auto admitStep = [](std::string client, std::string id, QString expected) {
            return Step{Step::Admit, std::move(client), std::move(id), {}, {}, expected};
        };
        auto endedStep = [](std::string id, AttemptGuard::Ending ending, QString expected) {
            return Step{Step::Ended, {}, std::move(id), std::move(ending), {}, expected};
        };
        auto lockedStep = [](std::string id) {
            return Step{Step::LockedFor, {}, std::move(id), {}, {}, "locked for"};
        };
        auto nowhereStep = [](std::string client) {
            return Step{Step::LedNowhere, std::move(client), {}, {}, {}, {}};
        };
        auto newIdStep = [](std::string client, QString expected) {
            return Step{Step::NewId, std::move(client), {}, {}, {}, expected};
        };
        auto passStep = [](milliseconds duration) {
            return Step{Step::Pass, {}, {}, {}, duration, {}};
        };
        const std::string c1 = "198.51.100.1", c2 = "198.51.100.2", c3 = "198.51.100.3",
                          c4 = "2001:db8:1:2::/64", c5 = "198.51.100.5", c6 = "198.51.100.6";
        const std::vector<Step> steps{
            admitStep(c1, kId, "admitted"),
            endedStep(kId, guessed(R::WrongPassword, false, c1), "wrong-password guess"),
            // Locked for the guessing address, not for the others.
            admitStep(c1, kId, "locked"),
            admitStep(c2, kId, "admitted"),
            lockedStep(kId),
            passStep(160ms),
            admitStep(c1, kId, "admitted"),
            endedStep(kId, guessed(R::WrongPassword, false, c1), "wrong-password guess"),
            // Before the response: no guess; the supporter's side ended it, so its address pays.
            endedStep(kId, beforeResponse(R::Closed, true, c2), "unsupported-security probe"),
            endedStep(kId, beforeResponse(R::ServerFailure, false, c2), "desktop-refused"),
            // After it, a guess however it ended.
            endedStep(kId, guessed(R::UnsupportedType, false, c3), "unsupported-security guess"),
            endedStep(kId, guessed(R::WrongPassword, true, c3), "wrong-password guess"),
            // The fifth guess from several addresses empties the ID's budget: now it refuses
            // everyone until a guess is back.
            endedStep(kId, guessed(R::WrongPassword, false, c4), "wrong-password guess"),
            admitStep(c2, kId, "locked"),
            lockedStep(kId),
            // A success starts its address's count over, not the ID's budget.
            endedStep(kId, guessed(R::None, false, c1), "accepted"),
            lockedStep(kId),
            // Malformed IDs take a probe each; then the address waits, whatever it asks for.
            admitStep(c5, "12345", "invalid-id"),
            admitStep(c5, "12345678x", "invalid-id"),
            admitStep(c5, kOtherId, "too-many-attempts"),
            admitStep(c5, "0", "too-many-attempts"),
            // An unknown ID takes one probe, a guess another: the address first, the lock after.
            admitStep(c6, kOtherId, "admitted"),
            nowhereStep(c6),
            admitStep(c6, kThirdId, "admitted"),
            endedStep(kThirdId, guessed(R::WrongPassword, false, c6), "wrong-password guess"),
            admitStep(c6, kThirdId, "too-many-attempts"),
            admitStep(c2, kThirdId, "admitted"),
            passStep(700ms),
            admitStep(c6, kThirdId, "admitted"),
            endedStep(kThirdId, guessed(R::WrongPassword, false, c6), "wrong-password guess"),
            admitStep(c6, kThirdId, "locked"),
            lockedStep(kThirdId),
            admitStep(c5, kId, "locked"),
            // New IDs: the budget of each address, apart from its probes.
            newIdStep(c1, "new id"),
            newIdStep(c1, "new id"),
            newIdStep(c1, "no new id"),
            newIdStep(c2, "new id"),
            passStep(450ms),
            newIdStep(c1, "new id"),
            newIdStep(c1, "no new id"),
        };

        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Step &step = steps[i];
            std::optional<Outcome> fromOne, fromCluster;
            switch (step.kind) {
            case Step::Admit:
                fromOne = outcomeOf(admit(one, step.client, step.id));
                fromCluster = outcomeOf(admit(cluster, step.client, step.id));
                break;
            case Step::LedNowhere:
                one.ledNowhere(step.client);
                cluster.ledNowhere(step.client);
                continue;
            case Step::Ended:
                fromOne = outcomeOf(ended(one, step.id, step.ending));
                fromCluster = outcomeOf(ended(cluster, step.id, step.ending));
                break;
            case Step::LockedFor:
                fromOne = outcomeOf(lockedFor(one, step.id));
                fromCluster = outcomeOf(lockedFor(cluster, step.id));
                break;
            case Step::NewId:
                if (const auto answer = newId(one, step.client))
                    fromOne = newIdOutcome(answer);
                if (const auto answer = newId(cluster, step.client))
                    fromCluster = newIdOutcome(answer);
                break;
            case Step::Pass:
                pass(step.passing);
                continue;
            }
            const QString where =
                QString("step %1: one node %2, cluster %3")
                    .arg(i)
                    .arg(fromOne ? fromOne->describe() : QString("no answer"),
                         fromCluster ? fromCluster->describe() : QString("no answer"));
            if (!fromOne || !fromCluster || fromOne->what != step.expected ||
                fromCluster->what != fromOne->what || fromCluster->refusals != fromOne->refusals ||
                std::abs((fromCluster->wait - fromOne->wait).count()) > kTolerance.count())
                return where;
        }
        return QString();
    }

    // The one node's guard and the shared one, told the same events through the same interface:
    // the same answers.
    void answersAsTheOneNodesGuard()
    {
        const auto shared = node(kBudgeted);
        QVERIFY(shared);
        LocalGuard local(io, kBudgeted, kFewProbes, kFewNewIds);
        const QString difference = firstDifference(local, shared->guard);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        // The sequence went through every kind of answer with a wait.
        QCOMPARE(
            local.attempts().lockouts().refusals(AttemptGuard::ownLock(kThirdId, "198.51.100.6")),
            2u);
        QCOMPARE(shared->guard.stats().unavailable, std::uint64_t(0));
    }

    // Both guards answer alike through the interface: never inside the call, each question once,
    // on the loop; and not at all once the guard is gone.
    void answersComeLaterOnTheLoop_data()
    {
        QTest::addColumn<bool>("shared");
        QTest::newRow("one node") << false;
        QTest::newRow("cluster") << true;
    }
    void answersComeLaterOnTheLoop()
    {
        QFETCH(bool, shared);
        const auto redisNode = node();
        QVERIFY(redisNode);
        const auto make = [&]() -> std::unique_ptr<Guard> {
            if (shared)
                return std::make_unique<SharedGuard>(redisNode->client, kShort, kFewProbes);
            return std::make_unique<LocalGuard>(io, kShort, kFewProbes);
        };
        int answers = 0;
        const auto askAll = [&](Guard &guard) {
            guard.admit("198.51.100.1", kId, [&](Guard::Admission) { ++answers; });
            guard.handshakeEnded(kId, guessed(RfbHandshake::Refusal::WrongPassword),
                                 [&](AttemptGuard::Verdict) { ++answers; });
            guard.lockedFor(kId, [&](milliseconds) { ++answers; });
            guard.newId("198.51.100.1", [&](std::optional<milliseconds>) { ++answers; });
        };
        auto guard = make();
        askAll(*guard);
        QCOMPARE(answers, 0);
        QVERIFY(runUntil([&] { return answers == 4; }));
        pass(100ms);
        QCOMPARE(answers, 4);

        answers = 0;
        guard = make();
        askAll(*guard);
        guard.reset();
        pass(200ms);
        QCOMPARE(answers, 0);
    }

    // The comparison above tells when either guard drifts from the rules the other keeps, in the
    // lock schedule or in the probe budget: then the two differ, or one differs from what is
    // expected.
    void theComparisonFindsEitherGuardDrifting_data()
    {
        QTest::addColumn<bool>("driftingIsTheCluster");
        QTest::addColumn<LockoutSchedule>("lockouts");
        QTest::addColumn<ProbeLimit>("probes");
        QTest::addColumn<ProbeLimit>("newIds");
        const LockoutSchedule longerBase{kBudgeted.base * 2, kBudgeted.cap, kBudgeted.window};
        const LockoutSchedule lowerCap{kBudgeted.base, kBudgeted.cap / 2, kBudgeted.window};
        const LockoutSchedule longerWindow{kBudgeted.base, kBudgeted.cap, kBudgeted.window * 2};
        const ProbeLimit largerBurst{kFewProbes.burst + 1, kFewProbes.interval};
        const ProbeLimit longerInterval{kFewProbes.burst, kFewProbes.interval * 2};
        QTest::newRow("one node's lock base") << false << longerBase << kFewProbes << kFewNewIds;
        QTest::newRow("the cluster's lock base") << true << longerBase << kFewProbes << kFewNewIds;
        QTest::newRow("one node's lock cap") << false << lowerCap << kFewProbes << kFewNewIds;
        QTest::newRow("the cluster's lock cap") << true << lowerCap << kFewProbes << kFewNewIds;
        QTest::newRow("one node's probe burst") << false << kBudgeted << largerBurst << kFewNewIds;
        QTest::newRow("the cluster's probe burst")
            << true << kBudgeted << largerBurst << kFewNewIds;
        QTest::newRow("one node's probe interval")
            << false << kBudgeted << longerInterval << kFewNewIds;
        QTest::newRow("the cluster's probe interval")
            << true << kBudgeted << longerInterval << kFewNewIds;
        const ProbeLimit moreNewIds{kFewNewIds.burst + 1, kFewNewIds.interval};
        QTest::newRow("one node's budget of guesses")
            << false << longerWindow << kFewProbes << kFewNewIds;
        QTest::newRow("the cluster's budget of guesses")
            << true << longerWindow << kFewProbes << kFewNewIds;
        QTest::newRow("one node's new IDs") << false << kBudgeted << kFewProbes << moreNewIds;
        QTest::newRow("the cluster's new IDs") << true << kBudgeted << kFewProbes << moreNewIds;
    }
    void theComparisonFindsEitherGuardDrifting()
    {
        QFETCH(bool, driftingIsTheCluster);
        QFETCH(LockoutSchedule, lockouts);
        QFETCH(ProbeLimit, probes);
        QFETCH(ProbeLimit, newIds);
        const auto shared = driftingIsTheCluster ? node(lockouts, probes, newIds) : node(kBudgeted);
        QVERIFY(shared);
        LocalGuard local(io, driftingIsTheCluster ? kBudgeted : lockouts,
                         driftingIsTheCluster ? kFewProbes : probes,
                         driftingIsTheCluster ? kFewNewIds : newIds);
        const QString difference = firstDifference(local, shared->guard);
        QVERIFY2(!difference.isEmpty(), "the drift went unnoticed");
        qInfo("%s", qPrintable(difference));
    }

    // Wrong passwords for one ID from one address through two nodes count in one series, and a
    // probe taken on one node is missing on the other.
    void twoNodesShareOneSchedule()
    {
        const auto a = node(kShort, kManyProbes);
        const auto b = node(kShort, kManyProbes);
        QVERIFY(a && b);
        Node *nodes[] = {a.get(), b.get()};
        const LockoutSchedule own = kShort.ownLocks();
        for (unsigned n = 1; n <= 5; ++n) {
            const AttemptGuard::Verdict verdict = guess(*nodes[n % 2], kId);
            QVERIFY(verdict.guess);
            QCOMPARE(verdict.refusalsInARow, n);
            QCOMPARE(verdict.lock.count(), own.lockAfter(n).count());
            // The other node refuses the ID to that address for that lock.
            const auto answer = admit(*nodes[(n + 1) % 2], kGuesser, kId);
            QVERIFY(answer);
            QCOMPARE(int(answer->kind), int(SharedGuard::Admission::Kind::Refused));
            QCOMPARE(answer->refusal.reason.code, velmora::server::kLocked.code);
            QVERIFY(answer->refusal.retryAfter > own.lockAfter(n) - kTolerance);
            QVERIFY(answer->refusal.retryAfter <= own.lockAfter(n));
        }
        // A success through one node forgives on both.
        const auto accepted = ended(*b, kId, guessed(RfbHandshake::Refusal::None));
        QVERIFY(accepted && accepted->accepted);
        QCOMPARE(guess(*a, kId).refusalsInARow, 1u);

        // Two probes, one through each node: the address has none left on either.
        const auto c = node();
        const auto d = node();
        QVERIFY(c && d);
        c->guard.ledNowhere("198.51.100.9");
        d->guard.ledNowhere("198.51.100.9");
        // Fire and forget, each on its own connection: an answer on each connection says that
        // Redis has run it.
        QVERIFY(lockedFor(*c, kOtherId));
        QVERIFY(lockedFor(*d, kOtherId));
        for (Node *n : {c.get(), d.get()}) {
            const auto answer = admit(*n, "198.51.100.9", kOtherId);
            QVERIFY(answer);
            QCOMPARE(answer->refusal.reason.code, velmora::server::kTooManyAttempts.code);
            QVERIFY(answer->refusal.retryAfter > kFewProbes.interval - kTolerance);
        }
    }

    // The default schedule as Redis computes it: the lock of an address after its n-th refusal
    // in a row is LockoutSchedule::ownLocks().lockAfter(n), to the millisecond; the twelve
    // guesses of the ID's budget then leave the ID locked for everyone for an interval of it.
    // That is what bounds the guesses a day.
    void locksFollowTheDefaultSchedule()
    {
        const auto shared = node(LockoutSchedule{}, kManyProbes);
        QVERIFY(shared);
        const LockoutSchedule schedule;
        QCOMPARE(schedule.idBudget().burst, 12u);
        for (unsigned n = 1; n <= 12; ++n) {
            const AttemptGuard::Verdict verdict = guess(*shared, kId);
            QVERIFY2(verdict.guess, qPrintable(QString("refusal %1").arg(n)));
            QCOMPARE(verdict.refusalsInARow, n);
            QCOMPARE(verdict.lock.count(), schedule.ownLocks().lockAfter(n).count());
        }
        const auto answer = admit(*shared, "198.51.100.1", kId);
        QVERIFY(answer);
        QCOMPARE(answer->refusal.reason.code, velmora::server::kLocked.code);
        QVERIFY(answer->refusal.retryAfter > schedule.idBudget().interval - 1s);
        QVERIFY(answer->refusal.retryAfter <= schedule.idBudget().interval);
        // Kept a day after the last refusal, which outlasts the hour's lock.
        const long long left = pttl("velmora:lock:" + QString::fromStdString(kId + ":" + kGuesser));
        QVERIFY2(left > duration_cast<milliseconds>(24h - 1min).count() &&
                     left <= duration_cast<milliseconds>(24h).count(),
                 qPrintable(QString::number(left)));
    }

    // Nothing the guard writes lives forever, and a malformed ID never becomes a key.
    void everyKeyExpires()
    {
        const auto shared = node();
        QVERIFY(shared);
        QVERIFY(admit(*shared, "198.51.100.1", "12345678x"));
        QVERIFY(admit(*shared, "198.51.100.1", std::string(5000, '7')));
        shared->guard.ledNowhere("198.51.100.2");
        QVERIFY(ended(*shared, kId,
                      beforeResponse(RfbHandshake::Refusal::Closed, true, "198.51.100.3")));
        guess(*shared, kOtherId);
        QVERIFY(admit(*shared, "198.51.100.4", kThirdId));
        QVERIFY(lockedFor(*shared, kThirdId));
        QVERIFY(newId(shared->guard, "198.51.100.5"));

        const QString guessedId = QString::fromStdString(kOtherId);
        const QString guesser = QString::fromStdString(kGuesser);
        const QStringList expected{
            "velmora:guesses:" + guessedId, "velmora:lock:" + guessedId + ":" + guesser,
            "velmora:newid:198.51.100.5",   "velmora:probe:198.51.100.1",
            "velmora:probe:198.51.100.2",   "velmora:probe:198.51.100.3",
            "velmora:probe:" + guesser};
        QCOMPARE(keys(), expected);
        for (const QString &key : expected) {
            const long long left = pttl(key);
            QVERIFY2(left > 0, qPrintable(key + ": " + QString::number(left)));
        }
        // A probe bucket lives until it is full again: one interval after one probe, two after
        // two.
        QVERIFY(pttl("velmora:probe:198.51.100.2") <= kFewProbes.interval.count());
        QVERIFY(pttl("velmora:probe:198.51.100.1") > kFewProbes.interval.count());
        QVERIFY(pttl("velmora:probe:198.51.100.1") <= 2 * kFewProbes.interval.count());
        // Emptied buckets are gone once full again.
        pass(std::max(2 * kFewProbes.interval, kShort.idBudget().interval) + 50ms);
        QCOMPARE(keys(), QStringList{"velmora:lock:" + guessedId + ":" + guesser});
    }

    // Redis away: nobody is admitted, endings are kept and reach Redis once it is back, so the
    // guesses made meanwhile lock the ID; meanwhile the answers about them are this node's own.
    void whileRedisIsAwayNothingIsAllowedAndNoGuessIsLost()
    {
        // Locks that outlast the outage.
        const LockoutSchedule schedule{10s, 60s};
        const auto shared = node(schedule);
        QVERIFY(shared);
        redis->stop();
        QVERIFY(runUntil([&] { return !shared->client.connected(); }));

        const auto answer = admit(*shared, "198.51.100.1", kId);
        QVERIFY(answer);
        QCOMPARE(int(answer->kind), int(SharedGuard::Admission::Kind::Unavailable));
        QVERIFY(!answer->allowed());
        const auto malformed = admit(*shared, "198.51.100.1", "123");
        QVERIFY(malformed);
        QCOMPARE(int(malformed->kind), int(SharedGuard::Admission::Kind::Unavailable));
        for (unsigned n = 1; n <= 2; ++n) {
            const auto verdict = ended(*shared, kId, guessed(RfbHandshake::Refusal::WrongPassword));
            QVERIFY(verdict && verdict->guess);
            QCOMPARE(verdict->refusalsInARow, n);
            QCOMPARE(verdict->lock, schedule.lockAfter(n));
            QCOMPARE(shared->guard.stats().pending, std::size_t(n));
        }
        // Locked for the guessing address, not for everyone.
        const auto left = lockedFor(*shared, kId);
        QVERIFY(left && left->count() == 0);
        shared->guard.ledNowhere("198.51.100.1");
        QVERIFY(runUntil([&] { return shared->guard.stats().probesLost == 1; }));
        QCOMPARE(shared->guard.stats().pending, std::size_t(2));
        QCOMPARE(shared->guard.stats().unavailable, std::uint64_t(2));

        QVERIFY2(redis->restart(), qPrintable(redis->error()));
        QVERIFY(runUntil([&] { return shared->guard.stats().pending == 0; }));
        QCOMPARE(shared->guard.stats().verdictsQueued, std::uint64_t(2));
        QCOMPARE(shared->guard.stats().verdictsReplayed, std::uint64_t(2));
        // Both guesses are on the ID: the next one is the third in a row.
        const AttemptGuard::Verdict third = guess(*shared, kId);
        QCOMPARE(third.refusalsInARow, 3u);
        QCOMPARE(third.lock.count(), schedule.ownLocks().lockAfter(3).count());
        // Its three guesses cost the address its probes too: locked once it has one again.
        pass(3 * kFewProbes.interval);
        const auto locked = admit(*shared, kGuesser, kId);
        QVERIFY(locked);
        QCOMPARE(locked->refusal.reason.code, velmora::server::kLocked.code);
    }

    // Redis answers, but cannot record a guess (out of memory): admissions for that ID are
    // refused as unavailable until the guess is in, though Redis itself sees no lock, and once
    // Redis takes writes again the guess goes in on the next answer.
    void anIdWhoseGuessWaitsIsNotAdmitted()
    {
        // Locks that outlast the retries below.
        const auto shared = node(LockoutSchedule{10s, 60s});
        QVERIFY(shared);
        QVERIFY(command({"CONFIG", "SET", "maxmemory", "1"}));
        // Not recorded: kept, and answered from this node's own view.
        const auto verdict = ended(*shared, kId, guessed(RfbHandshake::Refusal::WrongPassword));
        QVERIFY(verdict && verdict->guess);
        QCOMPARE(verdict->lock, 10000ms);
        QCOMPARE(shared->guard.stats().pending, std::size_t(1));

        const auto waiting = admit(*shared, "198.51.100.1", kId);
        QVERIFY(waiting);
        QCOMPARE(int(waiting->kind), int(SharedGuard::Admission::Kind::Unavailable));
        // Locked for the guessing address only.
        const auto left = lockedFor(*shared, kId);
        QVERIFY(left && left->count() == 0);
        // Other IDs are not held up.
        const auto other = admit(*shared, "198.51.100.1", kOtherId);
        QVERIFY(other && other->allowed());

        QVERIFY(command({"CONFIG", "SET", "maxmemory", "0"}));
        // Another try at most once a second, on an answer of Redis.
        for (int i = 0; i < 50 && shared->guard.stats().pending != 0; ++i) {
            pass(100ms);
            QVERIFY(admit(*shared, "198.51.100.1", kOtherId));
        }
        QCOMPARE(shared->guard.stats().pending, std::size_t(0));
        QCOMPARE(shared->guard.stats().verdictsReplayed, std::uint64_t(1));
        const auto locked = admit(*shared, kGuesser, kId);
        QVERIFY(locked);
        QCOMPARE(int(locked->kind), int(SharedGuard::Admission::Kind::Refused));
        QCOMPARE(locked->refusal.reason.code, velmora::server::kLocked.code);
        QVERIFY(locked->refusal.retryAfter > 5s);
        QCOMPARE(guess(*shared, kId).refusalsInARow, 2u);
    }

    // Keys that hold what the guard does not expect (another program's value) give errors from
    // Redis: refused as unavailable, never allowed, never a crash.
    // The supporter hears of a refused guess only once the replica holds its lock. While the
    // replica stalls, the answer comes after the wait, and the guess, which only the primary
    // holds, is recorded again on the primary that comes after it (here one that started empty,
    // as a replica that missed it would be): the ID stays locked.
    void locksReachTheReplica()
    {
        RedisProcess::Options options;
        options.tcp = true;
        RedisProcess primary(options);
        QVERIFY2(primary.start(), qPrintable(primary.error()));
        options.replicaOf = primary.port();
        RedisProcess replica(options);
        QVERIFY2(replica.start(), qPrintable(replica.error()));
        QVERIFY(QTest::qWaitFor(
            [&] {
                return replica.call({"INFO", "replication"}).contains("master_link_status:up");
            },
            10000));
        const auto parsed = velmora::server::parseRedisUrl(primary.tcpUrl().toStdString());
        QVERIFY(std::holds_alternative<RedisEndpoint>(parsed));
        RedisClient client(io, std::get<RedisEndpoint>(parsed), [](const std::string &) {});
        const LockoutSchedule longer{10s, 60s};
        SharedGuard guard(client, longer, kFewProbes, "velmora:", {}, velmora::server::kNewIdLimit,
                          500ms);
        client.start(100ms);
        QVERIFY(runUntil([&] { return client.connected(); }));
        // The guesser's own lock on each ID.
        const QByteArray key = QByteArray("velmora:lock:") + kId.c_str() + ":" + kGuesser.c_str();

        const auto first = ended(guard, kId, guessed(RfbHandshake::Refusal::WrongPassword));
        QVERIFY(first && first->guess);
        QCOMPARE(replica.call({"HGET", key, "n"}), QByteArray("$1\r\n1\r\n"));
        QCOMPARE(guard.stats().replicaLate, std::uint64_t(0));

        replica.freeze(true);
        const auto before = steady_clock::now();
        const auto second = ended(guard, kOtherId, guessed(RfbHandshake::Refusal::WrongPassword));
        QVERIFY(second && second->guess);
        QVERIFY(steady_clock::now() - before >= 450ms);
        QCOMPARE(guard.stats().replicaLate, std::uint64_t(1));

        primary.stop();
        QVERIFY(runUntil([&] { return !client.connected(); }));
        QVERIFY2(primary.restart(), qPrintable(primary.error()));
        QVERIFY(runUntil([&] { return client.connected(); }));
        const QByteArray otherKey =
            QByteArray("velmora:lock:") + kOtherId.c_str() + ":" + kGuesser.c_str();
        QVERIFY(QTest::qWaitFor(
            [&] {
                io.run_for(10ms);
                return primary.call({"HGET", otherKey, "n"}) == "$1\r\n1\r\n";
            },
            10000));
        const auto again = admit(guard, kGuesser, kOtherId);
        QVERIFY(again && again->kind == Guard::Admission::Kind::Refused);
        QVERIFY(again->refusal.retryAfter > 5s);
        // The acknowledged one was not sent again.
        QCOMPARE(primary.call({"EXISTS", key}), QByteArray(":0\r\n"));
        replica.freeze(false);
        client.stop();
    }

    void keysOfAnotherTypeAreNoAdmission()
    {
        const auto shared = node();
        QVERIFY(shared);
        QVERIFY(command({"HSET", "velmora:guesses:" + kId, "a", "b"}));
        QVERIFY(command({"HSET", "velmora:probe:198.51.100.2", "a", "b"}));
        const auto locked = admit(*shared, "198.51.100.1", kId);
        QVERIFY(locked);
        QCOMPARE(int(locked->kind), int(SharedGuard::Admission::Kind::Unavailable));
        const auto probed = admit(*shared, "198.51.100.2", kOtherId);
        QVERIFY(probed);
        QCOMPARE(int(probed->kind), int(SharedGuard::Admission::Kind::Unavailable));
        // This node's view, which knows of no ending yet.
        const auto left = lockedFor(*shared, kId);
        QVERIFY(left && left->count() == 0);
        const auto verdict = ended(*shared, kId, guessed(RfbHandshake::Refusal::WrongPassword));
        QVERIFY(verdict && verdict->guess);
        QCOMPARE(shared->guard.stats().pending, std::size_t(1));
        // A malformed ID is never locked, and never read as a key.
        const auto malformed = lockedFor(*shared, "12345");
        QVERIFY(malformed && malformed->count() == 0);
    }
};

QTEST_GUILESS_MAIN(TestSharedGuard)
#include "tst_sharedguard.moc"
