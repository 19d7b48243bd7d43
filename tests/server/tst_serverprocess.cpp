// velmora-server as a program: command line, the secret file, the bound port in the log, IDs
// that survive a restart, a clean exit on SIGTERM and SIGINT, and TLS beside a plain listener
// with its files checked before anything listens.
#include "agentpeer.h"
#include "redisprocess.h"
#include "serverprocess.h"
#include "testcertificates.h"

#include <QFile>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

namespace {

QStringList serverArguments(const QString &secretFile)
{
    return {"--listen", "127.0.0.1:0", "--secret-file", secretFile};
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestServerProcess : public QObject
{
    Q_OBJECT

private slots:
    void helpIsPrinted()
    {
        ServerProcess server(VELMORA_SERVER_BIN);
        server.start({"--help"});
        QCOMPARE(server.waitForExit(), 0);
        QVERIFY(server.output().contains("Usage: velmora-server"));
        QVERIFY(server.output().contains("--secret-file PATH"));
        QVERIFY(server.output().contains("--tls-cert FILE"));
        QVERIFY(server.output().contains("--tls-key FILE"));
        QVERIFY(server.output().contains("--plain-listen HOST:PORT"));
    }

    void badArgumentsExitWithTwo_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown flag")
            << QStringList{"--verbose"} << "velmora-server: unknown argument '--verbose'";
        QTest::newRow("missing value")
            << QStringList{"--listen"} << "velmora-server: --listen needs a value";
        QTest::newRow("bad address") << QStringList{"--listen", "localhost"}
                                     << "velmora-server: --listen: expected HOST:PORT";
        QTest::newRow("bad timeout")
            << QStringList{"--idle-timeout", "-1"} << "velmora-server: --idle-timeout: expected";
        QTest::newRow("certificate without key")
            << QStringList{"--tls-cert", "server.crt"}
            << "velmora-server: --tls-cert and --tls-key go together";
        QTest::newRow("bad Redis URL")
            << QStringList{"--redis", "redis://127.0.0.1:0"}
            << "velmora-server: --redis: the port must be 1 to 65535, got '0'";
        QTest::newRow("Redis without a node address")
            << QStringList{"--listen", "0.0.0.0:8080", "--redis", "redis://127.0.0.1"}
            << "velmora-server: --redis: give --node-address, the address other nodes reach "
               "this one at";
    }
    void badArgumentsExitWithTwo()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        ServerProcess server(VELMORA_SERVER_BIN);
        server.start(arguments);
        QCOMPARE(server.waitForExit(), 2);
        QVERIFY2(server.output().startsWith(message), qPrintable(server.output()));
        QVERIFY(server.output().contains("Try 'velmora-server --help'."));
    }

    void servesOnTheLoggedPortAndStopsOnSigterm()
    {
        QTemporaryDir dir;
        const QString secret = dir.filePath("velmora-server.secret");
        ServerProcess server(VELMORA_SERVER_BIN);
        server.start(serverArguments(secret));
        QVERIFY(server.waitForLine("listening on 127.0.0.1:"));
        QVERIFY(!server.lines().filter("created secret file " + secret).isEmpty());
        struct stat info;
        QCOMPARE(::stat(QFile::encodeName(secret).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, 0600u);
        const quint16 port = server.portFrom("listening on");
        QVERIFY(port != 0);

        AgentPeer agent;
        agent.open(QUrl(QString("ws://127.0.0.1:%1").arg(port)));
        QVERIFY(agent.waitForId());
        QVERIFY(server.waitForLine("agent online id=" + agent.id));

        // With no --web, the page comes from the source tree the program was built from, and
        // noVNC from Debian's package.
        QVERIFY(server.waitForLine("serving the supporter's page from "));
        QTcpSocket page;
        page.connectToHost(QStringLiteral("127.0.0.1"), port);
        QVERIFY(page.waitForConnected());
        page.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        QByteArray answer;
        QTRY_VERIFY((answer += page.readAll(), page.state() == QAbstractSocket::UnconnectedState));
        QVERIFY2(answer.startsWith("HTTP/1.1 200") && answer.contains("<title>Velmora"),
                 answer.left(300).constData());

        server.signal(SIGTERM);
        QTRY_COMPARE(agent.disconnections, 1);
        QCOMPARE(int(agent.socket.closeCode()), 1001);
        QCOMPARE(server.waitForExit(), 0);
        for (const char *line : {"received SIGTERM", "shutting down", "stopped"})
            QVERIFY2(!server.lines().filter(line).isEmpty(), line);
    }

    void sigintStopsToo()
    {
        QTemporaryDir dir;
        ServerProcess server(VELMORA_SERVER_BIN);
        server.start(serverArguments(dir.filePath("s")));
        QVERIFY(server.waitForLine("listening on"));
        server.signal(SIGINT);
        QCOMPARE(server.waitForExit(), 0);
        QVERIFY(!server.lines().filter("received SIGINT").isEmpty());
    }

    void idsSurviveARestart()
    {
        QTemporaryDir dir;
        const QString secret = dir.filePath("secret");
        QString id;
        QString token;
        QByteArray secretBefore;
        {
            ServerProcess server(VELMORA_SERVER_BIN);
            server.start(serverArguments(secret));
            QVERIFY(server.waitForLine("listening on"));
            secretBefore = readAll(secret);
            AgentPeer agent;
            agent.open(QUrl(QString("ws://127.0.0.1:%1").arg(server.portFrom("listening on"))));
            QVERIFY(agent.waitForId());
            id = agent.id;
            token = agent.token;
            server.signal(SIGTERM);
            QCOMPARE(server.waitForExit(), 0);
        }
        ServerProcess restarted(VELMORA_SERVER_BIN);
        restarted.start(serverArguments(secret));
        QVERIFY(restarted.waitForLine("listening on"));
        QVERIFY(restarted.lines().filter("created secret file").isEmpty());
        QCOMPARE(readAll(secret), secretBefore);
        AgentPeer agent;
        agent.open(QUrl(QString("ws://127.0.0.1:%1").arg(restarted.portFrom("listening on"))),
                   token);
        QVERIFY(agent.waitForId());
        QCOMPARE(agent.id, id);
        QVERIFY(restarted.waitForLine("agent online id=" + id));
        QVERIFY(!restarted.lines().filter("(returning)").isEmpty());
    }

    void unusableSecretFileStopsTheStart_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("message");
        QTest::newRow("malformed") << QByteArray("not a secret\n") << "is malformed";
        QTest::newRow("a folder") << QByteArray() << "cannot read secret file";
    }
    void unusableSecretFileStopsTheStart()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QString secret = dir.filePath("secret");
        if (content.isEmpty()) {
            secret = dir.path();
        } else {
            QFile file(secret);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        ServerProcess server(VELMORA_SERVER_BIN);
        server.start(serverArguments(secret));
        QCOMPARE(server.waitForExit(), 1);
        QVERIFY2(server.output().contains(message), qPrintable(server.output()));
        QVERIFY(server.output().startsWith("velmora-server: "));
        if (!content.isEmpty())
            QCOMPARE(readAll(secret), content);
    }

    void servesTlsBesideAPlainListener()
    {
        TestCertificates certificates;
        QVERIFY2(certificates.ok(), qPrintable(certificates.error()));
        ServerProcess server(VELMORA_SERVER_BIN);
        server.start(serverArguments(certificates.path("secret")) +
                     QStringList{"--tls-cert", certificates.path("server.crt"), "--tls-key",
                                 certificates.path("server.key"), "--plain-listen", "127.0.0.1:0"});
        QVERIFY(server.waitForLine(" (plain)"));
        const quint16 tlsPort = server.portFrom(" (TLS)");
        const quint16 plainPort = server.portFrom(" (plain)");
        QVERIFY(tlsPort != 0 && plainPort != 0 && tlsPort != plainPort);

        AgentPeer agent;
        agent.open(QUrl(QString("ws://127.0.0.1:%1").arg(plainPort)));
        QVERIFY(agent.waitForId());
        QVERIFY(server.waitForLine("agent online id=" + agent.id));

        QSslSocket page;
        page.setSslConfiguration(certificates.clientConfiguration());
        page.connectToHostEncrypted(QStringLiteral("127.0.0.1"), tlsPort);
        QVERIFY2(page.waitForEncrypted(10000), qPrintable(page.errorString()));
        page.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        QByteArray answer;
        QTRY_VERIFY((answer += page.readAll(), page.state() == QAbstractSocket::UnconnectedState));
        QVERIFY2(answer.startsWith("HTTP/1.1 200") && answer.contains("<title>Velmora"),
                 answer.left(300).constData());

        server.signal(SIGTERM);
        QTRY_COMPARE(agent.disconnections, 1);
        QCOMPARE(int(agent.socket.closeCode()), 1001);
        QCOMPARE(server.waitForExit(), 0);
    }

    void unusableTlsFilesStopTheStart_data()
    {
        QTest::addColumn<QString>("cert");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("message");
        QTest::newRow("no certificate") << "missing.crt"
                                        << "server.key"
                                        << "cannot read TLS certificate file ";
        QTest::newRow("not PEM") << "server.crt"
                                 << "ca.srl"
                                 << "holds no usable private key";
        QTest::newRow("another certificate's key") << "server.crt"
                                                   << "elsewhere.key"
                                                   << "does not belong to the certificate in ";
    }
    void unusableTlsFilesStopTheStart()
    {
        QFETCH(QString, cert);
        QFETCH(QString, key);
        QFETCH(QString, message);
        TestCertificates certificates;
        QVERIFY2(certificates.ok(), qPrintable(certificates.error()));
        ServerProcess server(VELMORA_SERVER_BIN);
        server.start(serverArguments(certificates.path("secret")) +
                     QStringList{"--tls-cert", certificates.path(cert), "--tls-key",
                                 certificates.path(key), "--plain-listen", "127.0.0.1:0"});
        QCOMPARE(server.waitForExit(), 1);
        QVERIFY2(server.output().contains(message), qPrintable(server.output()));
        QVERIFY(server.output().contains("velmora-server: "));
        QVERIFY2(server.lines().filter("listening on").isEmpty(), qPrintable(server.output()));
    }

    // Checked before anything listens: a node without its Redis would refuse every supporter.
    void unreachableRedisStopsTheStart()
    {
        if (!RedisProcess::available())
            QSKIP(RedisProcess::skipReason());
        RedisProcess::Options options;
        options.tcp = true;
        options.password = "secret";
        RedisProcess redis(options);
        QVERIFY2(redis.start(), qPrintable(redis.error()));
        QTemporaryDir dir;
        const auto startWith = [&](const QString &url, ServerProcess &server) {
            QStringList arguments = serverArguments(dir.filePath("s"));
            arguments << "--redis" << url;
            server.start(arguments);
        };
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const QString dead = "127.0.0.1:" + QString::number(probe.serverPort());
        probe.close();
        ServerProcess refused(VELMORA_SERVER_BIN);
        startWith("redis://" + dead, refused);
        QCOMPARE(refused.waitForExit(), 1);
        QCOMPARE(refused.output(),
                 "velmora-server: cannot reach Redis at " + dead + ": Connection refused");

        const QString address = "127.0.0.1:" + QString::number(redis.port());
        ServerProcess wrongPassword(VELMORA_SERVER_BIN);
        startWith("redis://:wrong@" + address, wrongPassword);
        QCOMPARE(wrongPassword.waitForExit(), 1);
        QVERIFY2(wrongPassword.output().startsWith("velmora-server: Redis at " + address +
                                                   ": AUTH failed: WRONGPASS"),
                 qPrintable(wrongPassword.output()));
        QVERIFY(!wrongPassword.output().contains("wrong@"));

        ServerProcess reachable(VELMORA_SERVER_BIN);
        startWith(redis.tcpUrl(), reachable);
        QVERIFY2(reachable.waitForLine("listening on"), qPrintable(reachable.output()));
        reachable.signal(SIGTERM);
        QCOMPARE(reachable.waitForExit(), 0);
    }

    void portInUseIsReported()
    {
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
        QTemporaryDir dir;
        ServerProcess server(VELMORA_SERVER_BIN);
        server.start({"--listen", QString("127.0.0.1:%1").arg(taken.serverPort()), "--secret-file",
                      dir.filePath("s")});
        QCOMPARE(server.waitForExit(), 1);
        QVERIFY2(server.output().contains("cannot bind 127.0.0.1:"), qPrintable(server.output()));
    }
};

QTEST_GUILESS_MAIN(TestServerProcess)
#include "tst_serverprocess.moc"
