// The server's Redis connection against a real redis-server: replies of every kind, scripts
// loaded again after Redis forgot them, errors that never reached Redis delivered later on the
// loop, a Redis that dies and comes back, AUTH and SELECT, the start-up check, and stop() and
// destruction at awkward moments (the ASan build checks those). With Sentinel: the primary found
// through the Sentinels, and followed through a failover after its death and a switch without it.
#include "redisprocess.h"
#include "sentinelprocess.h"
#include "server/cluster/redisclient.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QtTest>

#include <memory>

using namespace velmora::server;
using namespace std::chrono_literals;

namespace {

using Guard = net::executor_work_guard<net::io_context::executor_type>;

// Runs the loop (and Qt's, for the Redis process) until `done` or `timeoutMs`.
template <typename Predicate>
bool runUntil(net::io_context &io, Predicate done, int timeoutMs = 10000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        io.run_for(10ms);
        QCoreApplication::processEvents();
    }
    return true;
}

// Runs the loop for a while with nothing to wait for: to see that something does NOT happen.
void runFor(net::io_context &io, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        io.run_for(10ms);
}

RedisEndpoint endpointOf(const QString &url)
{
    auto parsed = parseRedisUrl(url.toStdString());
    if (const auto *error = std::get_if<std::string>(&parsed))
        qFatal("bad test URL %s: %s", qPrintable(url), error->c_str());
    return std::get<RedisEndpoint>(parsed);
}

// A client on `io` with its log lines collected.
struct Client
{
    Client(net::io_context &io, const QString &url)
        : client(
              std::make_unique<RedisClient>(io, endpointOf(url), [this](const std::string &line) {
                  log << QString::fromStdString(line);
              }))
    {
        client->onConnected([this] { ++connections; });
    }
    int linesWith(const QString &text) const { return log.filter(text).size(); }

    QStringList log;
    int connections = 0;
    std::unique_ptr<RedisClient> client;
};

// A reply that has arrived, or not yet.
struct Result
{
    bool arrived = false;
    RedisReply reply;
    RedisCallback callback()
    {
        return [this](const RedisReply &r) {
            QVERIFY(!arrived);
            arrived = true;
            reply = r;
        };
    }
    QString text() const { return QString::fromStdString(reply.text); }
};

RedisReply runCommand(net::io_context &io, RedisClient &client, std::vector<std::string> args)
{
    Result result;
    client.command(std::move(args), result.callback());
    if (!runUntil(io, [&] { return result.arrived; }))
        qWarning("no reply");
    return result.reply;
}

// A port on 127.0.0.1 where nothing listens.
quint16 deadPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// "calls=N" of one command in INFO commandstats.
int callsOf(const RedisProcess &redis, const QString &command)
{
    const QString info = QString::fromUtf8(redis.call({"INFO", "commandstats"}));
    const auto match = QRegularExpression("cmdstat_" + command + ":calls=(\\d+)").match(info);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

// A primary, its replica and three Sentinels with a quorum of two, all on 127.0.0.1.
struct SentinelSet
{
    static constexpr const char *name = "velmora";

    bool start(QString &error)
    {
        RedisProcess::Options options;
        options.tcp = true;
        primary = std::make_unique<RedisProcess>(options);
        if (!primary->start()) {
            error = primary->error();
            return false;
        }
        options.replicaOf = primary->port();
        replica = std::make_unique<RedisProcess>(options);
        if (!replica->start()) {
            error = replica->error();
            return false;
        }
        for (int i = 0; i < 3; ++i) {
            sentinels.push_back(std::make_unique<SentinelProcess>(name, primary->port(), 2));
            if (!sentinels.back()->start()) {
                error = sentinels.back()->error();
                return false;
            }
        }
        // A failover needs the replica in sync, known, and the Sentinels known to one another.
        const bool ready = QTest::qWaitFor(
            [this] {
                if (!replica->call({"INFO", "replication"}).contains("master_link_status:up"))
                    return false;
                for (const auto &sentinel : sentinels) {
                    if (sentinel->masterField("num-slaves") != "1" ||
                        sentinel->masterField("num-other-sentinels") != "2")
                        return false;
                }
                return true;
            },
            30000);
        if (!ready)
            error = "the Sentinels did not find the replica and one another";
        return ready;
    }

    QString url(const QString &master = name) const
    {
        QStringList hosts;
        for (const auto &sentinel : sentinels)
            hosts << "127.0.0.1:" + QString::number(sentinel->port());
        return "sentinel://" + hosts.join(',') + "/" + master;
    }

    std::unique_ptr<RedisProcess> primary;
    std::unique_ptr<RedisProcess> replica;
    std::vector<std::unique_ptr<SentinelProcess>> sentinels;
};

} // namespace

class TestRedisClient : public QObject
{
    Q_OBJECT

private:
    net::io_context io;
    Guard guard{io.get_executor()};

private slots:
    void init()
    {
        if (!RedisProcess::available())
            QSKIP(RedisProcess::skipReason());
    }

    void replies()
    {
        RedisProcess redis;
        QVERIFY2(redis.start(), qPrintable(redis.error()));
        Client c(io, redis.unixUrl());
        c.client->start(100ms);
        QVERIFY(runUntil(io, [&] { return c.client->connected(); }));
        QCOMPARE(c.connections, 1);

        RedisReply reply = runCommand(io, *c.client, {"SET", "greeting", "hello"});
        QCOMPARE(reply.type, RedisReply::Type::Status);
        QCOMPARE(reply.text, std::string("OK"));
        reply = runCommand(io, *c.client, {"GET", "greeting"});
        QCOMPARE(reply.type, RedisReply::Type::String);
        QCOMPARE(reply.text, std::string("hello"));
        reply = runCommand(io, *c.client, {"GET", "nothing-here"});
        QCOMPARE(reply.type, RedisReply::Type::Nil);
        reply = runCommand(io, *c.client, {"INCR", "counter"});
        QCOMPARE(reply.type, RedisReply::Type::Integer);
        QCOMPARE(reply.integer, 1LL);
        reply = runCommand(io, *c.client, {"INCRBY", "counter", "-5"});
        QCOMPARE(reply.integer, -4LL);

        // Binary-safe both ways: NUL bytes, CR LF and bytes above 127 in keys and values.
        const std::string key("k\0\r\n", 4);
        const std::string value("a\0b\r\n\xff\x00z", 8);
        QCOMPARE(runCommand(io, *c.client, {"SET", key, value}).text, std::string("OK"));
        reply = runCommand(io, *c.client, {"GET", key});
        QCOMPARE(reply.type, RedisReply::Type::String);
        QCOMPARE(reply.text, value);
        QCOMPARE(redis.call({"STRLEN", QByteArray(key.data(), int(key.size()))}),
                 QByteArray(":8\r\n"));

        // Arrays, nested ones, and nil inside them.
        runCommand(io, *c.client, {"RPUSH", "list", "one", "", value});
        reply = runCommand(io, *c.client, {"LRANGE", "list", "0", "-1"});
        QCOMPARE(reply.type, RedisReply::Type::Array);
        QCOMPARE(reply.elements.size(), std::size_t(3));
        QCOMPARE(reply.elements[0].text, std::string("one"));
        QCOMPARE(reply.elements[1].type, RedisReply::Type::String);
        QCOMPARE(reply.elements[1].text, std::string());
        QCOMPARE(reply.elements[2].text, value);
        reply = runCommand(io, *c.client, {"MGET", "greeting", "nothing-here"});
        QCOMPARE(reply.elements.size(), std::size_t(2));
        QCOMPARE(reply.elements[1].type, RedisReply::Type::Nil);
        reply = runCommand(io, *c.client,
                           {"EVAL", "return {1, {'x', {2}}, redis.status_reply('fine')}", "0"});
        QCOMPARE(reply.type, RedisReply::Type::Array);
        QCOMPARE(reply.elements[1].elements[1].elements[0].integer, 2LL);
        QCOMPARE(reply.elements[2].type, RedisReply::Type::Status);
        QCOMPARE(reply.elements[2].text, std::string("fine"));

        // Many in flight at once, answered in order.
        std::vector<Result> results(200);
        for (int i = 0; i < 200; ++i)
            c.client->command({"INCR", "many"}, results[i].callback());
        QVERIFY(runUntil(io, [&] { return results.back().arrived; }));
        for (int i = 0; i < 200; ++i)
            QCOMPARE(results[i].reply.integer, (long long)(i + 1));

        // A reply larger than one read of hiredis's (16 KiB).
        const std::string big(1 << 20, 'x');
        runCommand(io, *c.client, {"SET", "big", big});
        QCOMPARE(runCommand(io, *c.client, {"GET", "big"}).text, big);

        const RedisClient::Stats stats = c.client->stats();
        QVERIFY(stats.connected);
        QCOMPARE(stats.commands, std::uint64_t(213));
        QCOMPARE(stats.errors, std::uint64_t(0));
        QVERIFY(stats.averageLatencyUs > 0);
        QVERIFY(c.log.isEmpty());
    }

    void errorReply()
    {
        RedisProcess redis;
        QVERIFY2(redis.start(), qPrintable(redis.error()));
        Client c(io, redis.unixUrl());
        c.client->start(100ms);
        QVERIFY(runUntil(io, [&] { return c.client->connected(); }));
        runCommand(io, *c.client, {"SET", "text", "abc"});
        RedisReply reply = runCommand(io, *c.client, {"LPUSH", "text", "x"});
        QVERIFY(reply.isError());
        QVERIFY2(reply.text.rfind("WRONGTYPE", 0) == 0, reply.text.c_str());
        reply = runCommand(io, *c.client, {"NOSUCHCOMMAND"});
        QVERIFY(reply.isError());
        QVERIFY2(reply.text.find("unknown command") != std::string::npos, reply.text.c_str());
        QCOMPARE(c.client->stats().errors, std::uint64_t(2));
        // The connection stays.
        QVERIFY(c.client->connected());
        QCOMPARE(runCommand(io, *c.client, {"GET", "text"}).text, std::string("abc"));
    }

    void scriptSha1()
    {
        QCOMPARE(RedisScript("").sha1, std::string("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
        RedisProcess redis;
        QVERIFY2(redis.start(), qPrintable(redis.error()));
        const RedisScript script("return redis.call('GET', KEYS[1])");
        QCOMPARE(redis.call({"SCRIPT", "LOAD", QByteArray::fromStdString(script.source)}),
                 "$40\r\n" + QByteArray::fromStdString(script.sha1) + "\r\n");
    }

    void evalFallsBackToEval()
    {
        RedisProcess redis;
        QVERIFY2(redis.start(), qPrintable(redis.error()));
        Client c(io, redis.unixUrl());
        c.client->start(100ms);
        QVERIFY(runUntil(io, [&] { return c.client->connected(); }));
        const RedisScript script("return {KEYS[1], ARGV[1], redis.call('INCR', KEYS[1])}");
        const auto evalOnce = [&]() -> RedisReply {
            Result result;
            c.client->eval(script, {"hits"}, {std::string("a\0b", 3)}, result.callback());
            if (!runUntil(io, [&] { return result.arrived; }))
                qWarning("no reply");
            return result.reply;
        };
        // Unknown to Redis: EVALSHA, NOSCRIPT, then EVAL.
        RedisReply reply = evalOnce();
        QCOMPARE(reply.type, RedisReply::Type::Array);
        QCOMPARE(reply.elements.size(), std::size_t(3));
        QCOMPARE(reply.elements[0].text, std::string("hits"));
        QCOMPARE(reply.elements[1].text, std::string("a\0b", 3));
        QCOMPARE(reply.elements[2].integer, 1LL);
        QCOMPARE(callsOf(redis, "evalsha"), 1);
        QCOMPARE(callsOf(redis, "eval"), 1);
        // Known now: EVALSHA alone.
        QCOMPARE(evalOnce().elements[2].integer, 2LL);
        QCOMPARE(callsOf(redis, "evalsha"), 2);
        QCOMPARE(callsOf(redis, "eval"), 1);
        // Forgotten (as after a restart): EVAL again, once.
        QCOMPARE(redis.call({"SCRIPT", "FLUSH"}), QByteArray("+OK\r\n"));
        QCOMPARE(evalOnce().elements[2].integer, 3LL);
        QCOMPARE(callsOf(redis, "evalsha"), 3);
        QCOMPARE(callsOf(redis, "eval"), 2);
        // A script's own error is the caller's, not a reason to load it again.
        const RedisScript failing("return redis.call('LPUSH', KEYS[1], 'x')");
        Result result;
        c.client->eval(failing, {"hits"}, {}, result.callback());
        QVERIFY(runUntil(io, [&] { return result.arrived; }));
        QVERIFY(result.reply.isError());
        QVERIFY2(result.text().contains("WRONGTYPE"), qPrintable(result.text()));
    }

    void commandsWhileDisconnected()
    {
        // Never started, and started against a Redis that is not there.
        Client idle(io, "redis://127.0.0.1:" + QString::number(deadPort()));
        Result first;
        idle.client->command({"PING"}, first.callback());
        QVERIFY(!first.arrived);
        RedisProcess redis;
        QVERIFY2(redis.start(), qPrintable(redis.error()));
        redis.stop();
        Client down(io, redis.unixUrl());
        down.client->start(50ms);
        Result second;
        Result third;
        down.client->command({"GET", "x"}, second.callback());
        down.client->eval(RedisScript("return 1"), {}, {}, third.callback());
        QVERIFY(!second.arrived);
        QVERIFY(!third.arrived);
        QVERIFY(runUntil(io, [&] { return first.arrived && second.arrived && third.arrived; }));
        for (const Result *result : {&first, &second, &third}) {
            QVERIFY(result->reply.isError());
            QCOMPARE(result->text(), QString("not connected to Redis"));
        }
        QVERIFY(!down.client->connected());
        // One line for the whole outage however many attempts fail.
        QVERIFY(runUntil(io, [&] { return down.client->stats().errors >= 6; }));
        QCOMPARE(down.log.size(), 1);
        QCOMPARE(down.log.first(),
                 "cannot reach Redis at " + redis.socketPath() + ": Connection refused");
        QVERIFY(idle.log.isEmpty());
    }

    void redisGoesAwayAndComesBack()
    {
        RedisProcess redis;
        QVERIFY2(redis.start(), qPrintable(redis.error()));
        Client c(io, redis.unixUrl());
        c.client->start(100ms);
        QVERIFY(runUntil(io, [&] { return c.client->connected(); }));
        QCOMPARE(c.connections, 1);

        // Pending when Redis dies: a blocking pop waits forever, and a GET behind it.
        Result blocked;
        Result behind;
        c.client->command({"BLPOP", "never", "0"}, blocked.callback());
        c.client->command({"GET", "x"}, behind.callback());
        runFor(io, 100);
        QVERIFY(!blocked.arrived);
        redis.stop();
        QVERIFY(runUntil(io, [&] { return blocked.arrived && behind.arrived; }));
        QVERIFY(blocked.reply.isError());
        QCOMPARE(blocked.text(), QString("Redis connection lost"));
        QCOMPARE(behind.text(), QString("Redis connection lost"));
        QVERIFY(!c.client->connected());
        QVERIFY(!c.client->stats().connected);
        const RedisReply next = runCommand(io, *c.client, {"GET", "x"});
        QVERIFY(next.isError());
        QCOMPARE(next.text, std::string("not connected to Redis"));

        // Several attempts fail while it is away, and the log has one line for all of them.
        const std::uint64_t errorsAtLoss = c.client->stats().errors;
        QVERIFY(runUntil(io, [&] { return c.client->stats().errors >= errorsAtLoss + 4; }));
        QCOMPARE(c.linesWith("Redis connection lost"), 1);
        QCOMPARE(c.log.size(), 1);
        QVERIFY2(c.log.first().startsWith("Redis connection lost: "), qPrintable(c.log.first()));

        QVERIFY2(redis.restart(), qPrintable(redis.error()));
        QVERIFY(runUntil(io, [&] { return c.client->connected(); }));
        QCOMPARE(c.connections, 2);
        QCOMPARE(c.log.size(), 2);
        QCOMPARE(c.log.last(), QString("Redis connection back"));
        QCOMPARE(runCommand(io, *c.client, {"SET", "x", "1"}).text, std::string("OK"));
        QCOMPARE(runCommand(io, *c.client, {"GET", "x"}).text, std::string("1"));

        // A second outage gets its own pair of lines.
        redis.stop();
        QVERIFY(runUntil(io, [&] { return !c.client->connected(); }));
        QVERIFY2(redis.restart(), qPrintable(redis.error()));
        QVERIFY(runUntil(io, [&] { return c.client->connected(); }));
        QCOMPARE(c.connections, 3);
        QCOMPARE(c.linesWith("Redis connection lost"), 2);
        QCOMPARE(c.linesWith("Redis connection back"), 2);
    }

    void authAndDatabase_data()
    {
        QTest::addColumn<bool>("tcp");
        QTest::newRow("TCP") << true;
        QTest::newRow("Unix socket") << false;
    }
    void authAndDatabase()
    {
        QFETCH(bool, tcp);
        RedisProcess::Options options;
        options.tcp = tcp;
        options.password = "p@ss:word/1";
        RedisProcess redis(options);
        QVERIFY2(redis.start(), qPrintable(redis.error()));
        const QString url = tcp ? redis.tcpUrl(3) : redis.unixUrl(3);
        Client c(io, url);
        c.client->start(100ms);
        QVERIFY(runUntil(io, [&] { return c.client->connected(); }));
        QCOMPARE(runCommand(io, *c.client, {"SET", "where", "three"}).text, std::string("OK"));
        QCOMPARE(redis.call({"GET", "where"}, 3), QByteArray("$5\r\nthree\r\n"));
        QCOMPARE(redis.call({"GET", "where"}, 0), QByteArray("$-1\r\n"));
        QVERIFY(!RedisClient::checkReachable(endpointOf(url), 2000ms));

        // A wrong password: never connected, one line, and attempts go on.
        auto wrong = endpointOf(url);
        wrong.password = "wrong";
        QStringList log;
        RedisClient refused(io, wrong,
                            [&](const std::string &line) { log << QString::fromStdString(line); });
        refused.start(50ms);
        QVERIFY(runUntil(io, [&] { return refused.stats().errors >= 3; }));
        QVERIFY(!refused.connected());
        QCOMPARE(log.size(), 1);
        QVERIFY2(log.first().startsWith("Redis at " + QString::fromStdString(wrong.describe()) +
                                        ": AUTH failed: WRONGPASS"),
                 qPrintable(log.first()));
        // A database that does not exist.
        auto missing = endpointOf(url);
        missing.database = 99;
        log.clear();
        RedisClient noDatabase(
            io, missing, [&](const std::string &line) { log << QString::fromStdString(line); });
        noDatabase.start(50ms);
        QVERIFY(runUntil(io, [&] { return noDatabase.stats().errors >= 1; }));
        QCOMPARE(log.size(), 1);
        QVERIFY2(log.first().contains(": SELECT 99 failed: ERR DB index is out of range"),
                 qPrintable(log.first()));
    }

    void checkReachable()
    {
        RedisProcess::Options options;
        options.tcp = true;
        options.password = "secret";
        RedisProcess redis(options);
        QVERIFY2(redis.start(), qPrintable(redis.error()));
        const QString address = "127.0.0.1:" + QString::number(redis.port());
        const auto check = [&](const QString &url) {
            const auto problem = RedisClient::checkReachable(endpointOf(url), 2000ms);
            return problem ? QString::fromStdString(*problem) : QString();
        };
        QCOMPARE(check(redis.tcpUrl()), QString());
        QCOMPARE(check(redis.unixUrl(2)), QString());
        const quint16 dead = deadPort();
        QCOMPARE(check("redis://127.0.0.1:" + QString::number(dead)),
                 "cannot reach Redis at 127.0.0.1:" + QString::number(dead) +
                     ": Connection refused");
        QCOMPARE(check("unix:///nonexistent/redis.sock"),
                 QString("cannot reach Redis at /nonexistent/redis.sock: No such file or "
                         "directory"));
        const QString wrong = check("redis://:nope@" + address);
        QVERIFY2(wrong.startsWith("Redis at " + address + ": AUTH failed: WRONGPASS"),
                 qPrintable(wrong));
        const QString none = check("redis://" + address);
        QVERIFY2(none.startsWith("Redis at " + address + ": PING failed: NOAUTH"),
                 qPrintable(none));
        QCOMPARE(check("redis://:secret@" + address + "/4000"),
                 "Redis at " + address + ": SELECT 4000 failed: ERR DB index is out of range");
    }

    void stopWithPending()
    {
        RedisProcess redis;
        QVERIFY2(redis.start(), qPrintable(redis.error()));
        Client c(io, redis.unixUrl());
        c.client->start(100ms);
        QVERIFY(runUntil(io, [&] { return c.client->connected(); }));
        std::vector<Result> results(5);
        c.client->command({"BLPOP", "never", "0"}, results[0].callback());
        for (int i = 1; i < 5; ++i)
            c.client->command({"INCR", "n"}, results[i].callback());
        c.client->stop();
        // All of them, from inside the stop.
        for (const Result &result : results) {
            QVERIFY(result.arrived);
            QVERIFY(result.reply.isError());
        }
        QVERIFY(!c.client->connected());
        // Nothing later: no reply of the old connection, no reconnection.
        int late = 0;
        c.client->onConnected([&] { ++late; });
        runFor(io, 300);
        QCOMPARE(late, 0);
        QCOMPARE(c.connections, 1);
        // Stopping again, and commands after the stop: errors, later.
        c.client->stop();
        Result after;
        c.client->command({"PING"}, after.callback());
        QVERIFY(!after.arrived);
        QVERIFY(runUntil(io, [&] { return after.arrived; }));
        QVERIFY(after.reply.isError());
        // And it may start again.
        c.client->start(100ms);
        QVERIFY(runUntil(io, [&] { return c.client->connected(); }));
        QCOMPARE(runCommand(io, *c.client, {"INCR", "n"}).integer, 1LL);
    }

    // A server stops by running out of work: a stopped client must leave none on the loop.
    void stopLeavesNoWork_data()
    {
        QTest::addColumn<bool>("reachable");
        QTest::newRow("connected") << true;
        QTest::newRow("trying again") << false;
    }
    void stopLeavesNoWork()
    {
        QFETCH(bool, reachable);
        RedisProcess redis;
        QVERIFY2(redis.start(), qPrintable(redis.error()));
        if (!reachable)
            redis.stop();
        net::io_context own;
        RedisClient client(own, endpointOf(redis.unixUrl()), [](const std::string &) {});
        client.start(50ms);
        bool answered = false;
        client.command({"BLPOP", "never", "0"}, [&](const RedisReply &) { answered = true; });
        const auto settled = [&] {
            return reachable ? client.connected() : client.stats().errors >= 3;
        };
        QElapsedTimer clock;
        clock.start();
        while (!settled() && clock.elapsed() < 10000)
            own.run_for(10ms);
        QVERIFY(settled());
        if (reachable)
            client.command({"BLPOP", "never", "0"}, [&](const RedisReply &) { answered = true; });
        own.restart();
        net::post(own, [&] { client.stop(); });
        own.run_for(5s);
        QVERIFY(own.stopped());
        QVERIFY(answered);
    }

    void stopFromInsideCallbacks()
    {
        RedisProcess redis;
        QVERIFY2(redis.start(), qPrintable(redis.error()));
        Client c(io, redis.unixUrl());
        c.client->start(100ms);
        QVERIFY(runUntil(io, [&] { return c.client->connected(); }));
        Result second;
        Result third;
        bool firstCalled = false;
        c.client->command({"PING"}, [&](const RedisReply &reply) {
            QCOMPARE(reply.text, std::string("PONG"));
            firstCalled = true;
            c.client->stop();
            // Called by the stop, before it returned.
            QVERIFY(second.arrived);
            QVERIFY(second.reply.isError());
        });
        c.client->command({"PING"}, second.callback());
        c.client->command({"PING"}, third.callback());
        QVERIFY(runUntil(io, [&] { return firstCalled; }));
        QVERIFY(third.arrived);
        runFor(io, 100);
        QVERIFY(!c.client->connected());
    }

    void destroyedInsideCallbacks()
    {
        RedisProcess redis;
        QVERIFY2(redis.start(), qPrintable(redis.error()));
        // From a reply, with more replies of the same read behind it.
        {
            auto c = std::make_unique<Client>(io, redis.unixUrl());
            c->client->start(100ms);
            QVERIFY(runUntil(io, [&] { return c->client->connected(); }));
            bool destroyed = false;
            int others = 0;
            c->client->command({"PING"}, [&](const RedisReply &) {
                c.reset();
                destroyed = true;
            });
            for (int i = 0; i < 10; ++i)
                c->client->command({"PING"}, [&](const RedisReply &) { ++others; });
            QVERIFY(runUntil(io, [&] { return destroyed; }));
            runFor(io, 100);
            QCOMPARE(others, 0);
        }
        // From onConnected.
        {
            bool destroyed = false;
            std::unique_ptr<RedisClient> client = std::make_unique<RedisClient>(
                io, endpointOf(redis.unixUrl()), [](const std::string &) {});
            client->onConnected([&] {
                client.reset();
                destroyed = true;
            });
            client->start(100ms);
            QVERIFY(runUntil(io, [&] { return destroyed; }));
            runFor(io, 100);
        }
        // From an error delivered later, with others queued behind it.
        {
            auto client = std::make_unique<RedisClient>(io, endpointOf(redis.unixUrl()),
                                                        [](const std::string &) {});
            int calls = 0;
            for (int i = 0; i < 3; ++i)
                client->command({"PING"}, [&](const RedisReply &) {
                    ++calls;
                    client.reset();
                });
            QVERIFY(runUntil(io, [&] { return calls > 0; }));
            runFor(io, 100);
            QCOMPARE(calls, 1);
        }
        // From a reply to a lost connection.
        {
            auto c = std::make_unique<Client>(io, redis.unixUrl());
            c->client->start(100ms);
            QVERIFY(runUntil(io, [&] { return c->client->connected(); }));
            bool destroyed = false;
            c->client->command({"BLPOP", "never", "0"}, [&](const RedisReply &reply) {
                QVERIFY(reply.isError());
                c.reset();
                destroyed = true;
            });
            runFor(io, 50);
            redis.stop();
            QVERIFY(runUntil(io, [&] { return destroyed; }));
            runFor(io, 300);
            QVERIFY2(redis.restart(), qPrintable(redis.error()));
        }
        // While connecting, and while waiting to try again.
        {
            RedisClient connecting(io, endpointOf(redis.unixUrl()), [](const std::string &) {});
            connecting.start(100ms);
        }
        {
            RedisProcess gone;
            QVERIFY2(gone.start(), qPrintable(gone.error()));
            gone.stop();
            RedisClient waiting(io, endpointOf(gone.unixUrl()), [](const std::string &) {});
            waiting.start(50ms);
            QVERIFY(runUntil(io, [&] { return waiting.stats().errors >= 1; }));
        }
        runFor(io, 200);
    }

    // A name is resolved on the loop (hiredis would block it in getaddrinfo).
    void hostName()
    {
        RedisProcess::Options options;
        options.tcp = true;
        RedisProcess redis(options);
        QVERIFY2(redis.start(), qPrintable(redis.error()));
        RedisClient client(io, endpointOf("redis://localhost:" + QString::number(redis.port())),
                           [](const std::string &) {});
        client.start(100ms);
        QVERIFY(runUntil(io, [&] { return client.connected(); }));
        QCOMPARE(runCommand(io, client, {"PING"}).text, std::string("PONG"));
        RedisClient unknown(io, endpointOf("redis://no-such-host.invalid:6379"),
                            [](const std::string &) {});
        unknown.start(100ms);
        QVERIFY(runUntil(io, [&] { return unknown.stats().errors > 0; }));
        QVERIFY(!unknown.connected());
    }

    // The primary is found through the Sentinels; killed, its replica takes over and the client
    // follows by itself, with one line naming the move; what reached the replica is there.
    void sentinelFailover()
    {
        if (!SentinelProcess::available())
            QSKIP(SentinelProcess::skipReason());
        SentinelSet set;
        QString error;
        QVERIFY2(set.start(error), qPrintable(error));
        const QString primary = "127.0.0.1:" + QString::number(set.primary->port());
        const QString replica = "127.0.0.1:" + QString::number(set.replica->port());
        // The first Sentinel named is down: the next one answers.
        const QString url = set.url().replace(
            "sentinel://", "sentinel://127.0.0.1:" + QString::number(deadPort()) + ",");
        Client c(io, url);
        c.client->start(100ms);
        QVERIFY(runUntil(io, [&] { return c.client->connected(); }));
        QCOMPARE(runCommand(io, *c.client, {"SET", "kept", "1"}).text, std::string("OK"));
        QCOMPARE(set.primary->call({"GET", "kept"}), QByteArray("$1\r\n1\r\n"));
        QCOMPARE(runCommand(io, *c.client, {"WAIT", "1", "5000"}).integer, 1LL);
        QVERIFY2(c.log.isEmpty(), qPrintable(c.log.join('\n')));

        QElapsedTimer sinceDeath;
        set.primary->stop();
        sinceDeath.start();
        QVERIFY(runUntil(io, [&] { return !c.client->connected(); }));
        QVERIFY(runUntil(
            io, [&] { return c.client->connected(); }, 30000));
        qInfo("primary killed: the client was connected to the new primary after %lld ms "
              "(down-after-milliseconds 1000)",
              sinceDeath.elapsed());
        QCOMPARE(runCommand(io, *c.client, {"GET", "kept"}).text, std::string("1"));
        QCOMPARE(runCommand(io, *c.client, {"SET", "after", "2"}).text, std::string("OK"));
        QCOMPARE(set.replica->call({"GET", "after"}), QByteArray("$1\r\n2\r\n"));
        QCOMPARE(c.linesWith("Redis primary 'velmora' moved from " + primary + " to " + replica),
                 1);
        QCOMPARE(c.linesWith("Redis connection lost"), 1);
        QCOMPARE(c.linesWith("Redis connection back"), 1);
        QCOMPARE(c.log.size(), 3);
    }

    // A failover that leaves the old primary running (it becomes a replica): the Sentinels'
    // announcement moves the client, which would otherwise stay on a replica.
    void sentinelSwitchAnnounced()
    {
        if (!SentinelProcess::available())
            QSKIP(SentinelProcess::skipReason());
        SentinelSet set;
        QString error;
        QVERIFY2(set.start(error), qPrintable(error));
        Client c(io, set.url());
        // Long between attempts: the move must not wait for a retry.
        c.client->start(5000ms);
        QVERIFY(runUntil(io, [&] { return c.client->connected(); }));
        QCOMPARE(set.sentinels[0]->call({"SENTINEL", "FAILOVER", SentinelSet::name}),
                 QByteArray("+OK\r\n"));
        QVERIFY(runUntil(
            io, [&] { return c.connections == 2; }, 30000));
        QCOMPARE(c.linesWith("Redis primary 'velmora' moved from 127.0.0.1:" +
                             QString::number(set.primary->port()) +
                             " to 127.0.0.1:" + QString::number(set.replica->port())),
                 1);
        QCOMPARE(runCommand(io, *c.client, {"SET", "x", "1"}).text, std::string("OK"));
        QCOMPARE(set.replica->call({"GET", "x"}), QByteArray("$1\r\n1\r\n"));
    }

    // What the Sentinels cannot give is said once, with the Sentinel's own reason.
    void sentinelsWithoutAnAnswer()
    {
        if (!SentinelProcess::available())
            QSKIP(SentinelProcess::skipReason());
        RedisProcess::Options options;
        options.tcp = true;
        RedisProcess redis(options);
        QVERIFY2(redis.start(), qPrintable(redis.error()));
        SentinelProcess sentinel("velmora", redis.port(), 1);
        QVERIFY2(sentinel.start(), qPrintable(sentinel.error()));
        const QString at = "127.0.0.1:" + QString::number(sentinel.port());

        Client unknown(io, "sentinel://" + at + "/other");
        unknown.client->start(50ms);
        QVERIFY(runUntil(io, [&] { return unknown.client->stats().errors >= 3; }));
        QCOMPARE(unknown.log, QStringList("cannot locate Redis primary 'other': the Sentinel at " +
                                          at + " knows no primary 'other'"));

        const QString dead = "127.0.0.1:" + QString::number(deadPort());
        Client none(io, "sentinel://" + dead + "/velmora");
        none.client->start(50ms);
        QVERIFY(runUntil(io, [&] { return none.client->stats().errors >= 3; }));
        QCOMPARE(none.log, QStringList("cannot locate Redis primary 'velmora': cannot reach the "
                                       "Sentinel at " +
                                       dead + ": Connection refused"));

        // The start-up check goes through the Sentinels too.
        const auto problem =
            RedisClient::checkReachable(endpointOf("sentinel://" + at + "/velmora"), 3000ms);
        QVERIFY2(!problem, problem ? problem->c_str() : "");
    }
};

QTEST_GUILESS_MAIN(TestRedisClient)
#include "tst_redisclient.moc"
