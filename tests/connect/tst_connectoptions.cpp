// velmora-connect's command line.
#include "connect/connectoptions.h"

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

class TestConnectOptions : public QObject
{
    Q_OBJECT

private slots:
    void connectFlags()
    {
        const auto parsed =
            parseConnectArguments(split("--server ws://127.0.0.1:8080/ --id 123456789"));
        QCOMPARE(parsed.outcome, Parsed<ConnectOptions>::Outcome::Run);
        QCOMPARE(QString::fromStdString(parsed.options.server.host), QString("127.0.0.1"));
        QCOMPARE(int(parsed.options.server.port), 8080);
        QCOMPARE(QString::fromStdString(parsed.options.id), QString("123456789"));
        QCOMPARE(int(parsed.options.listen.port), 5900);
        const auto listening = parseConnectArguments(
            split("--id 123456789 --server ws://[::1]:80 --listen 127.0.0.1:0"));
        QCOMPARE(listening.outcome, Parsed<ConnectOptions>::Outcome::Run);
        QCOMPARE(int(listening.options.listen.port), 0);
        QCOMPARE(parsed.options.tls, false);
        QVERIFY(parsed.options.caFile.empty());
        QCOMPARE(QString::fromStdString(serverUrl(parsed.options)), QString("ws://127.0.0.1:8080"));
    }

    void tlsFlags()
    {
        const auto system =
            parseConnectArguments(split("--server wss://support.example.com:443/ --id 123456789"));
        QCOMPARE(system.outcome, Parsed<ConnectOptions>::Outcome::Run);
        QCOMPARE(system.options.tls, true);
        QCOMPARE(QString::fromStdString(system.options.server.host),
                 QString("support.example.com"));
        QCOMPARE(int(system.options.server.port), 443);
        QVERIFY(system.options.caFile.empty());
        QCOMPARE(QString::fromStdString(serverUrl(system.options)),
                 QString("wss://support.example.com:443"));
        const auto privateCa = parseConnectArguments(
            split("--ca-file /etc/velmora/ca.pem --server wss://[::1]:8443 --id 123456789"));
        QCOMPARE(privateCa.outcome, Parsed<ConnectOptions>::Outcome::Run);
        QCOMPARE(privateCa.options.tls, true);
        QCOMPARE(QString::fromStdString(privateCa.options.server.host), QString("::1"));
        QCOMPARE(QString::fromStdString(privateCa.options.caFile), QString("/etc/velmora/ca.pem"));
    }

    void badConnectFlags_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("error");
        QTest::newRow("nothing") << ""
                                 << "--server ws://HOST:PORT is required";
        QTest::newRow("no ID") << "--server ws://h:1"
                               << "--id ID is required";
        QTest::newRow("short ID") << "--server ws://h:1 --id 12345"
                                  << "--id: a session ID";
        QTest::newRow("ID with letters") << "--server ws://h:1 --id 12345678x"
                                         << "--id: a session ID";
        QTest::newRow("http scheme") << "--server http://h:1 --id 123456789"
                                     << "--server: expected";
        QTest::newRow("no port") << "--server ws://h --id 123456789"
                                 << "--server: expected";
        QTest::newRow("port zero") << "--server ws://h:0 --id 123456789"
                                   << "--server: expected";
        QTest::newRow("path") << "--server ws://h:1/x --id 123456789"
                              << "--server: expected";
        QTest::newRow("bad listen") << "--server ws://h:1 --id 123456789 --listen x"
                                    << "--listen: expected";
        QTest::newRow("unknown") << "--verbose"
                                 << "unknown argument '--verbose'";
        QTest::newRow("https scheme") << "--server https://h:1 --id 123456789"
                                      << "--server: expected ws://HOST:PORT or wss://HOST:PORT";
        QTest::newRow("wss without port") << "--server wss://h --id 123456789"
                                          << "--server: expected";
        QTest::newRow("CA file for ws") << "--server ws://h:1 --id 123456789 --ca-file ca.pem"
                                        << "--ca-file needs a wss:// server";
        QTest::newRow("empty CA file") << "--server wss://h:1 --id 123456789 --ca-file="
                                       << "--ca-file: expected a file";
    }
    void badConnectFlags()
    {
        QFETCH(QString, line);
        QFETCH(QString, error);
        const auto parsed = parseConnectArguments(split(line));
        QCOMPARE(parsed.outcome, Parsed<ConnectOptions>::Outcome::Error);
        QVERIFY2(QString::fromStdString(parsed.error).startsWith(error), parsed.error.c_str());
    }
};

QTEST_GUILESS_MAIN(TestConnectOptions)
#include "tst_connectoptions.moc"
