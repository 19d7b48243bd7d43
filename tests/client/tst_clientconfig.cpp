// The configuration file "velmora.conf" as the Client reads it from the working directory, seen
// through what run() logs and where it connects.

#include "client/client.h"
#include "configdir.h"
#include "logcapture.h"
#include "wspeerserver.h"

#include <QDir>
#include <QSignalSpy>
#include <QTest>
#include <QWebSocket>

#include <memory>

namespace {

// What run() writes when it goes ahead, for a proxy at 127.0.0.1:1.
QStringList runLines(const QString &host, const QString &port)
{
    return {QStringLiteral("run..."),
            QStringLiteral("Server host:  \"%1\"").arg(host),
            QStringLiteral("Server port:  \"%1\"").arg(port),
            QString(),
            QStringLiteral("Proxy host:  \"127.0.0.1\""),
            QStringLiteral("Proxy port:  \"1\"")};
}

const QStringList stoppedLines{QStringLiteral("run...")};

} // namespace

class TestClientConfig : public QObject
{
    Q_OBJECT

private slots:
    void readsHostAndPort_data();
    void readsHostAndPort();
    void noUsableFile_data();
    void noUsableFile();
    void readsTlsSettings_data();
    void readsTlsSettings();
    void connectsToTheConfiguredServer();
    void emptyProxySettingStopsRun_data();
    void emptyProxySettingStopsRun();
};

void TestClientConfig::readsHostAndPort_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("expected");

    // 127.0.0.x addresses: run() connects, and a literal address needs no name lookup.
    QTest::newRow("plain") << QByteArray("server_host:127.0.0.2\nserver_port:9\n")
                           << runLines("127.0.0.2", "9");
    QTest::newRow("port first") << QByteArray("server_port:9\nserver_host:127.0.0.2\n")
                                << runLines("127.0.0.2", "9");
    QTest::newRow("white space around keys and values")
        << QByteArray("  server_host \t:   127.0.0.2 \t\n\tserver_port\v:\f 9  \n")
        << runLines("127.0.0.2", "9");
    QTest::newRow("CR LF line ends")
        << QByteArray("server_host: 127.0.0.2\r\nserver_port: 9\r\n") << runLines("127.0.0.2", "9");
    QTest::newRow("no line end after the last line")
        << QByteArray("server_host: 127.0.0.2\nserver_port: 9") << runLines("127.0.0.2", "9");
    QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBFserver_host: 127.0.0.2\n"
                                                   "server_port: 9\n")
                                     << runLines("127.0.0.2", "9");
    QTest::newRow("further colons are dropped")
        << QByteArray("server_host: 127.0.0.2:8080\nserver_port: 9:10: x\n")
        << runLines("127.0.0.2", "9");
    QTest::newRow("a scheme keeps only its name")
        << QByteArray("server_host: ws://127.0.0.2\nserver_port: 9\n") << runLines("ws", "9");
    QTest::newRow("IPv6 keeps its first group")
        << QByteArray("server_host: ::1\nserver_port: 9\nserver_host: fe80::1\n")
        << runLines("fe80", "9");
    QTest::newRow("port is not validated")
        << QByteArray("server_host: 127.0.0.2\nserver_port: ninety\n")
        << (runLines("127.0.0.2", "ninety")
            // Qt refuses the URL at once, inside open().
            << QStringLiteral("Server error:  QAbstractSocket::ConnectionRefusedError"));
    QTest::newRow("last line of a key wins")
        << QByteArray("server_host: 127.0.0.3\nserver_port: 7\nserver_host: 127.0.0.2\n"
                      "server_port: 9\n")
        << runLines("127.0.0.2", "9");
    QTest::newRow("other keys, blank lines, comments")
        << QByteArray("\n# velmora\n#server_host: 127.0.0.9\nname: x\n\nserver_host: 127.0.0.2\n"
                      "   \nserver_port: 9\nserver_port = 8\n")
        << runLines("127.0.0.2", "9");
    QTest::newRow("key in other letter case")
        << QByteArray("Server_Host: 127.0.0.2\nserver_port: 9\n") << stoppedLines;
    QTest::newRow("equals sign instead of colon")
        << QByteArray("server_host = 127.0.0.2\nserver_port = 9\n") << stoppedLines;
    QTest::newRow("empty value") << QByteArray("server_host:\nserver_port: 9\n") << stoppedLines;
    QTest::newRow("a later empty value empties the key")
        << QByteArray("server_host: 127.0.0.2\nserver_port: 9\nserver_port:  \n") << stoppedLines;
    QTest::newRow("value only white space and a colon")
        << QByteArray("server_host: \t:127.0.0.2\nserver_port: 9\n") << stoppedLines;
    QTest::newRow("empty file") << QByteArray() << stoppedLines;
}

void TestClientConfig::readsHostAndPort()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, expected);

    ConfigDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.writeConfig(content));
    Client client;
    client.setProxyHost(QStringLiteral("127.0.0.1"));
    client.setProxyPort(QStringLiteral("1"));
    LogCapture log;
    client.run();
    // What run() itself logs; a refusal of the connection may follow at once on some systems
    // (Windows reports a refused loopback connection from within the call).
    QCOMPARE(log.debugLines().mid(0, expected.size()), expected);
}

void TestClientConfig::readsTlsSettings_data()
{
    QTest::addColumn<QByteArray>("lines");
    // The line run() adds after its usual ones; empty: TLS off, no line.
    QTest::addColumn<QString>("tlsLine");

    const QString system = QStringLiteral("Server TLS, trusting the system's CAs");
    const auto onlyFrom = [](const char *path) {
        return QStringLiteral("Server TLS, trusting only the CAs of  \"%1\"").arg(path);
    };
    QTest::newRow("no key: off") << QByteArray() << QString();
    for (const char *on : {"1", "true", "TRUE", "yes", "on", "\ttrue  "})
        QTest::newRow(on) << QByteArray("server_tls:") + on + "\n" << system;
    for (const char *off : {"0", "false", "False", "no", "off", ""})
        QTest::newRow(qPrintable(QStringLiteral("off: '%1'").arg(off)))
            << QByteArray("server_tls: ") + off + "\n"
            << QString();
    // A mistyped value must not fall back to a link in the clear.
    QTest::newRow("unknown value: on") << QByteArray("server_tls: ture\n") << system;
    QTest::newRow("last line wins") << QByteArray("server_tls: 1\nserver_tls: 0\n") << QString();
    QTest::newRow("key in other letter case") << QByteArray("Server_TLS: 1\n") << QString();
    QTest::newRow("equals sign") << QByteArray("server_tls = 1\n") << QString();
    QTest::newRow("CA file") << QByteArray("server_tls: 1\nserver_ca_file:  ca.pem \n")
                             << onlyFrom("ca.pem");
    QTest::newRow("CA file alone turns TLS on")
        << QByteArray("server_ca_file: ca.pem\n") << onlyFrom("ca.pem");
    QTest::newRow("CA file wins over off")
        << QByteArray("server_tls: off\nserver_ca_file: ca.pem\n") << onlyFrom("ca.pem");
    QTest::newRow("CA file path keeps its colons")
        << QByteArray("server_ca_file: C:/velmora/ca.pem\r\nserver_tls: 1\r\n")
        << onlyFrom("C:/velmora/ca.pem");
    QTest::newRow("empty CA file: system CAs")
        << QByteArray("server_ca_file: ca.pem\nserver_ca_file:\nserver_tls: 1\n") << system;
}

void TestClientConfig::readsTlsSettings()
{
    QFETCH(QByteArray, lines);
    QFETCH(QString, tlsLine);

    ConfigDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.writeConfig("server_host: 127.0.0.2\nserver_port: 9\n" + lines));
    Client client;
    client.setProxyHost(QStringLiteral("127.0.0.1"));
    client.setProxyPort(QStringLiteral("1"));
    LogCapture log;
    client.run();
    QStringList expected = runLines("127.0.0.2", "9");
    if (!tlsLine.isEmpty())
        expected << tlsLine;
    QCOMPARE(log.debugLines().mid(0, expected.size()), expected);
    if (tlsLine.isEmpty())
        QVERIFY(!log.debugLines().join(QLatin1Char('\n')).contains(QLatin1String("TLS")));
}

void TestClientConfig::noUsableFile_data()
{
    QTest::addColumn<QString>("setup");
    QTest::newRow("no file") << QString();
    QTest::newRow("directory of that name") << QStringLiteral("directory");
    QTest::newRow("file in another folder") << QStringLiteral("elsewhere");
}

void TestClientConfig::noUsableFile()
{
    QFETCH(QString, setup);

    ConfigDir dir;
    QVERIFY(dir.isValid());
    const QByteArray config("server_host: 127.0.0.2\nserver_port: 9\n");
    if (setup == QLatin1String("directory")) {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("velmora.conf")));
    } else if (setup == QLatin1String("elsewhere")) {
        // Next to nothing that counts: only the working directory is looked at.
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
        QVERIFY(dir.writeConfig(config));
        QVERIFY(QDir::setCurrent(dir.path() + QStringLiteral("/sub")));
    }
    Client client;
    client.setProxyHost(QStringLiteral("127.0.0.1"));
    client.setProxyPort(QStringLiteral("1"));
    LogCapture log;
    client.run();
    QCOMPARE(log.debugLines(), stoppedLines);
}

void TestClientConfig::connectsToTheConfiguredServer()
{
    WsPeerServer server;
    QVERIFY(server.listen());
    ConfigDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.writeConfig("server_host :  127.0.0.1\r\nserver_port:\t" +
                            QByteArray::number(server.port()) + " \r\n"));
    Client client;
    client.setProxyHost(QStringLiteral("127.0.0.1"));
    client.setProxyPort(QStringLiteral("1"));
    QSignalSpy connected(&client, &Client::connectedToServer);
    client.run();
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, 10000);
    QCOMPARE(server.connectionCount(), 1);

    // "ws://" + host + ":" + port and no path: the request asks for the root resource.
    const QNetworkRequest request = server.requests().first();
    QCOMPARE(request.url().host(), QStringLiteral("127.0.0.1"));
    QCOMPARE(request.url().port(), int(server.port()));
    QCOMPARE(request.url().path(), QStringLiteral("/"));
    QCOMPARE(request.rawHeader("Host"),
             QByteArray("127.0.0.1:") + QByteArray::number(server.port()));
    // Empty origin on the server side: no Origin header at all.
    QVERIFY(!request.hasRawHeader("Origin"));
    QCOMPARE(request.rawHeader("Sec-WebSocket-Version"), QByteArray("13"));
}

void TestClientConfig::emptyProxySettingStopsRun_data()
{
    QTest::addColumn<QString>("proxyHost");
    QTest::addColumn<QString>("proxyPort");
    QTest::newRow("empty proxy port") << QStringLiteral("127.0.0.1") << QString();
    QTest::newRow("empty proxy host") << QString() << QStringLiteral("1");
}

void TestClientConfig::emptyProxySettingStopsRun()
{
    QFETCH(QString, proxyHost);
    QFETCH(QString, proxyPort);

    WsPeerServer server;
    QVERIFY(server.listen());
    ConfigDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.writeServer(QStringLiteral("127.0.0.1"), server.port()));

    auto stopped = std::make_unique<Client>();
    stopped->setProxyHost(proxyHost);
    stopped->setProxyPort(proxyPort);
    {
        LogCapture log;
        stopped->run();
        QCOMPARE(log.debugLines(), stoppedLines);
    }
    // A second, complete client connects; had the first one tried, its handshake would have
    // reached the server before this one's.
    Client complete;
    complete.setProxyHost(QStringLiteral("127.0.0.1"));
    complete.setProxyPort(QStringLiteral("1"));
    QSignalSpy connected(&complete, &Client::connectedToServer);
    complete.run();
    QVERIFY(connected.wait(10000));
    QCOMPARE(server.connectionCount(), 1);
}

QTEST_GUILESS_MAIN(TestClientConfig)
#include "tst_clientconfig.moc"
