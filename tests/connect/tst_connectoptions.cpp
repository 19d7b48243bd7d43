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
