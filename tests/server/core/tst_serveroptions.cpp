// velmora-server's command line, and the HOST:PORT parsing both programs share.
#include "server/core/serveroptions.h"

#include <QtTest>

using namespace velmora::server;

namespace {
std::vector<std::string> split(const QString &line)
{
    std::vector<std::string> out;
    for (const QString &part : line.split(' ', Qt::SkipEmptyParts))
        out.push_back(part.toStdString());
    return out;
}
} // namespace

class TestServerOptions : public QObject
{
    Q_OBJECT

private slots:
    void hostPort_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("IPv4") << "127.0.0.1:8080" << true << "127.0.0.1" << 8080;
        QTest::newRow("any port") << "0.0.0.0:0" << true << "0.0.0.0" << 0;
        QTest::newRow("name") << "localhost:65535" << true << "localhost" << 65535;
        QTest::newRow("IPv6") << "[::1]:9000" << true << "::1" << 9000;
        QTest::newRow("IPv6 without brackets") << "::1:9000" << false << "" << 0;
        QTest::newRow("port too big") << "127.0.0.1:65536" << false << "" << 0;
        QTest::newRow("no port") << "127.0.0.1" << false << "" << 0;
        QTest::newRow("empty port") << "127.0.0.1:" << false << "" << 0;
        QTest::newRow("no host") << ":80" << false << "" << 0;
        QTest::newRow("signed port") << "h:+80" << false << "" << 0;
        QTest::newRow("huge port") << "h:99999999999999999999999" << false << "" << 0;
    }
    void hostPort()
    {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QFETCH(QString, host);
        QFETCH(int, port);
        HostPort parsed;
        QCOMPARE(parseHostPort(text.toStdString(), parsed), ok);
        if (ok) {
            QCOMPARE(QString::fromStdString(parsed.host), host);
            QCOMPARE(int(parsed.port), port);
            QCOMPARE(QString::fromStdString(formatHostPort(parsed.host, parsed.port)), text);
        }
    }

    void serverDefaults()
    {
        const auto parsed = parseServerArguments({});
        QCOMPARE(parsed.outcome, Parsed<ServerOptions>::Outcome::Run);
        QCOMPARE(QString::fromStdString(parsed.options.listen.host), QString("127.0.0.1"));
        QCOMPARE(int(parsed.options.listen.port), 8080);
        QCOMPARE(QString::fromStdString(parsed.options.secretFile),
                 QString("velmora-server.secret"));
        QCOMPARE(parsed.options.idleTimeout.count(), 30000);
        QVERIFY(parsed.options.webDir.empty());
        QCOMPARE(QString::fromStdString(parsed.options.novncDir), QString("/usr/share/novnc"));
        QCOMPARE(parsed.options.trustForwardedFor, false);
        QCOMPARE(parsed.options.lockout.base.count(), 2000);
        QCOMPARE(parsed.options.lockout.cap.count(), 1800000);
        QCOMPARE(parsed.options.probes.burst, 5u);
        QCOMPARE(parsed.options.probes.interval.count(), 10000);
        QVERIFY(parsed.options.tlsCert.empty());
        QVERIFY(parsed.options.tlsKey.empty());
        QVERIFY(!parsed.options.plainListen);
        QVERIFY(!parsed.options.redis);
        QVERIFY(!parsed.options.nodeAddress);
    }

    void clusterFlags()
    {
        const auto parsed = parseServerArguments(
            split("--listen 10.0.0.5:8080 --redis redis://node:pw@10.0.0.9:6380/2"));
        QCOMPARE(parsed.outcome, Parsed<ServerOptions>::Outcome::Run);
        QVERIFY(parsed.options.redis);
        QCOMPARE(QString::fromStdString(parsed.options.redis->host), QString("10.0.0.9"));
        QCOMPARE(int(parsed.options.redis->port), 6380);
        QCOMPARE(QString::fromStdString(parsed.options.redis->user), QString("node"));
        QCOMPARE(QString::fromStdString(parsed.options.redis->password), QString("pw"));
        QCOMPARE(parsed.options.redis->database, 2);

        // Any address on --listen, but the others are told where to come.
        const auto named =
            parseServerArguments(split("--listen 0.0.0.0:8080 --redis=unix:///run/redis.sock?db=1 "
                                       "--node-address 10.0.0.5:8080"));
        QCOMPARE(named.outcome, Parsed<ServerOptions>::Outcome::Run);
        QCOMPARE(QString::fromStdString(named.options.redis->unixPath), QString("/run/redis.sock"));
        QCOMPARE(named.options.redis->database, 1);
        QVERIFY(named.options.nodeAddress);
        QCOMPARE(QString::fromStdString(named.options.nodeAddress->host), QString("10.0.0.5"));
        QCOMPARE(int(named.options.nodeAddress->port), 8080);

        // TLS on any address, with the plain listener (which the nodes use) on a named one.
        const auto tls =
            parseServerArguments(split("--listen 0.0.0.0:443 --tls-cert c.pem --tls-key k.pem "
                                       "--plain-listen 10.0.0.5:8080 --redis redis://[::1]"));
        QCOMPARE(tls.outcome, Parsed<ServerOptions>::Outcome::Run);
        QCOMPARE(QString::fromStdString(tls.options.redis->host), QString("::1"));
    }

    void tlsFlags()
    {
        const auto parsed = parseServerArguments(
            split("--listen 0.0.0.0:443 --tls-cert /etc/velmora/chain.pem --tls-key=/etc/k.pem "
                  "--plain-listen 10.0.0.5:8080"));
        QCOMPARE(parsed.outcome, Parsed<ServerOptions>::Outcome::Run);
        QCOMPARE(QString::fromStdString(parsed.options.tlsCert), QString("/etc/velmora/chain.pem"));
        QCOMPARE(QString::fromStdString(parsed.options.tlsKey), QString("/etc/k.pem"));
        QVERIFY(parsed.options.plainListen);
        QCOMPARE(QString::fromStdString(parsed.options.plainListen->host), QString("10.0.0.5"));
        QCOMPARE(int(parsed.options.plainListen->port), 8080);
        const auto tlsOnly = parseServerArguments(split("--tls-key k.pem --tls-cert c.pem"));
        QCOMPARE(tlsOnly.outcome, Parsed<ServerOptions>::Outcome::Run);
        QVERIFY(!tlsOnly.options.plainListen);
    }

    void protectionAndPageFlags()
    {
        const auto parsed = parseServerArguments(
            split("--web /srv/page --novnc=/opt/novnc --lockout-base 0.05 --lockout-cap 3 "
                  "--probe-burst 2 --probe-interval 0.5 --trust-forwarded-for "
                  "--new-ids-per-address 60"));
        QCOMPARE(parsed.outcome, Parsed<ServerOptions>::Outcome::Run);
        QCOMPARE(QString::fromStdString(parsed.options.webDir), QString("/srv/page"));
        QCOMPARE(QString::fromStdString(parsed.options.novncDir), QString("/opt/novnc"));
        QCOMPARE(parsed.options.lockout.base.count(), 50);
        QCOMPARE(parsed.options.lockout.cap.count(), 3000);
        QCOMPARE(parsed.options.probes.burst, 2u);
        QCOMPARE(parsed.options.probes.interval.count(), 500);
        QCOMPARE(parsed.options.trustForwardedFor, true);
        // So many at once, then so many an hour.
        QCOMPARE(parsed.options.newIds.burst, 60u);
        QCOMPARE(parsed.options.newIds.interval.count(), 60000);
        QCOMPARE(parseServerArguments({}).options.newIds.burst, 240u);
    }

    void serverFlags()
    {
        const auto parsed = parseServerArguments(
            split("--listen 0.0.0.0:0 --secret-file=/tmp/s --idle-timeout 0.25 "
                  "--start-timeout=2 --max-message 2048 --supporter-deflate 1"));
        QCOMPARE(parsed.outcome, Parsed<ServerOptions>::Outcome::Run);
        QCOMPARE(QString::fromStdString(parsed.options.listen.host), QString("0.0.0.0"));
        QCOMPARE(QString::fromStdString(parsed.options.secretFile), QString("/tmp/s"));
        QCOMPARE(parsed.options.idleTimeout.count(), 250);
        QCOMPARE(parsed.options.startTimeout.count(), 2000);
        QCOMPARE(parsed.options.maxMessage, std::size_t(2048));
        QCOMPARE(parsed.options.supporterDeflate, 1);
        QCOMPARE(parseServerArguments({}).options.supporterDeflate, -1);
        QCOMPARE(parseServerArguments(split("--listen 1.2.3.4:5 --help")).outcome,
                 Parsed<ServerOptions>::Outcome::Help);
    }

    void badServerFlags_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("error");
        QTest::newRow("unknown flag") << "--port 80"
                                      << "unknown argument '--port'";
        QTest::newRow("positional") << "extra"
                                    << "unknown argument 'extra'";
        QTest::newRow("missing value") << "--listen"
                                       << "--listen needs a value";
        QTest::newRow("bad address") << "--listen 8080"
                                     << "--listen: expected HOST:PORT";
        QTest::newRow("no new IDs") << "--new-ids-per-address 0"
                                    << "--new-ids-per-address: expected a number";
        QTest::newRow("zero timeout") << "--idle-timeout 0"
                                      << "--idle-timeout: expected";
        QTest::newRow("text timeout") << "--idle-timeout soon"
                                      << "--idle-timeout: expected";
        QTest::newRow("infinite timeout") << "--start-timeout inf"
                                          << "--start-timeout: expected";
        QTest::newRow("tiny message limit") << "--max-message 10"
                                            << "--max-message: expected";
        QTest::newRow("empty secret path") << "--secret-file="
                                           << "--secret-file: expected";
        QTest::newRow("empty page folder") << "--web="
                                           << "--web: expected a folder";
        QTest::newRow("cap below base") << "--lockout-base 10 --lockout-cap 5"
                                        << "--lockout-cap must not be below --lockout-base";
        QTest::newRow("zero lock") << "--lockout-base 0"
                                   << "--lockout-base: expected";
        QTest::newRow("deflate level too high") << "--supporter-deflate 10"
                                                << "--supporter-deflate: expected a zlib level";
        QTest::newRow("deflate level not a number") << "--supporter-deflate best"
                                                    << "--supporter-deflate: expected a zlib level";
        QTest::newRow("no probes") << "--probe-burst 0"
                                   << "--probe-burst: expected";
        QTest::newRow("switch with a value") << "--trust-forwarded-for=yes"
                                             << "unknown argument '--trust-forwarded-for=yes'";
        QTest::newRow("certificate without key") << "--tls-cert c.pem"
                                                 << "--tls-cert and --tls-key go together";
        QTest::newRow("key without certificate") << "--tls-key k.pem"
                                                 << "--tls-cert and --tls-key go together";
        QTest::newRow("empty certificate path") << "--tls-cert= --tls-key k.pem"
                                                << "--tls-cert: expected a file";
        QTest::newRow("plain listener without TLS")
            << "--plain-listen 127.0.0.1:8080"
            << "--plain-listen adds a plain listener beside a TLS one: it needs --tls-cert";
        QTest::newRow("bad plain address") << "--tls-cert c --tls-key k --plain-listen 8080"
                                           << "--plain-listen: expected HOST:PORT";
        QTest::newRow("Redis URL of another scheme")
            << "--redis http://10.0.0.9"
            << "--redis: expected redis://[[USER]:PASSWORD@]HOST[:PORT][/DB], "
               "unix:///PATH[?db=N] or sentinel://HOST[:PORT][,HOST[:PORT]...]/NAME[?db=N]";
        QTest::newRow("Redis port 0") << "--redis redis://10.0.0.9:0"
                                      << "--redis: the port must be 1 to 65535, got '0'";
        QTest::newRow("Redis database not a number")
            << "--redis redis://10.0.0.9/x"
            << "--redis: the database must be a number from 0 to 2147483647, got 'x'";
        QTest::newRow("Redis URL without value") << "--redis"
                                                 << "--redis needs a value";
        QTest::newRow("Redis with --listen on any IPv4 address")
            << "--listen 0.0.0.0:8080 --redis redis://10.0.0.9"
            << "--redis: give --node-address, the address other nodes reach this one at";
        QTest::newRow("Redis with --listen on any IPv6 address")
            << "--listen [::]:8080 --redis redis://10.0.0.9"
            << "--redis: give --node-address, the address other nodes reach this one at";
        QTest::newRow("Redis with TLS and no plain listener")
            << "--listen 10.0.0.5:443 --tls-cert c --tls-key k --redis redis://10.0.0.9"
            << "--redis: give --node-address, the address other nodes reach this one at";
        QTest::newRow("Redis with the plain listener on any address")
            << "--listen 10.0.0.5:443 --tls-cert c --tls-key k --plain-listen 0.0.0.0:8080 "
               "--redis redis://10.0.0.9"
            << "--redis: give --node-address, the address other nodes reach this one at";
        QTest::newRow("node address without port")
            << "--redis redis://10.0.0.9 --node-address 10.0.0.5"
            << "--node-address: expected HOST:PORT";
        QTest::newRow("node address with port 0")
            << "--redis redis://10.0.0.9 --node-address 10.0.0.5:0"
            << "--node-address: expected HOST:PORT";
        QTest::newRow("node address without Redis")
            << "--node-address 10.0.0.5:8080"
            << "--node-address names this node to the others: it needs --redis";
    }
    void badServerFlags()
    {
        QFETCH(QString, line);
        QFETCH(QString, error);
        const auto parsed = parseServerArguments(split(line));
        QCOMPARE(parsed.outcome, Parsed<ServerOptions>::Outcome::Error);
        QVERIFY2(QString::fromStdString(parsed.error).startsWith(error), parsed.error.c_str());
    }
};

QTEST_GUILESS_MAIN(TestServerOptions)
#include "tst_serveroptions.moc"
