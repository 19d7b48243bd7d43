// velmora-connect: command line, an unreachable server, and a native viewer's TCP connection
// bridged to a session through a real server, bytes both ways, over ws:// and over wss:// with
// the server's certificate verified (a certificate from another CA, for another name, or from a
// CA that only --ca-file names is refused; the host name goes out in SNI).
#include "agentpeer.h"
#include "serverprocess.h"
#include "serverthread.h"
#include "testcertificates.h"

#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>

namespace {

QStringList bridgeArguments(quint16 serverPort, const QString &id)
{
    return {"--server",   QString("ws://127.0.0.1:%1").arg(serverPort), "--id", id, "--listen",
            "127.0.0.1:0"};
}

// wss://HOST:PORT, trusting the CA in `caFile` (the system's trust store when empty).
QStringList tlsBridgeArguments(const QString &host, quint16 serverPort, const QString &id,
                               const QString &caFile)
{
    QStringList arguments{"--server", QString("wss://%1:%2").arg(host).arg(serverPort),
                          "--id",     id,
                          "--listen", "127.0.0.1:0"};
    if (!caFile.isEmpty())
        arguments << "--ca-file" << caFile;
    return arguments;
}

} // namespace

class TestConnect : public QObject
{
    Q_OBJECT

private:
    TestCertificates certificates;

private slots:
    void initTestCase() { QVERIFY2(certificates.ok(), qPrintable(certificates.error())); }

    void helpIsPrinted()
    {
        ServerProcess bridge(VELMORA_CONNECT_BIN);
        bridge.start({"--help"});
        QCOMPARE(bridge.waitForExit(), 0);
        QVERIFY(bridge.output().contains("Usage: velmora-connect --server ws://HOST:PORT --id ID"));
    }

    void badArgumentsExitWithTwo_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("nothing") << QStringList{}
                                 << "velmora-connect: --server ws://HOST:PORT is required";
        QTest::newRow("malformed ID")
            << QStringList{"--server", "ws://127.0.0.1:1", "--id", "12-34"}
            << "velmora-connect: --id: a session ID is nine digits, got '12-34'";
        QTest::newRow("not a ws URL")
            << QStringList{"--server", "127.0.0.1:8080", "--id", "123456789"}
            << "velmora-connect: --server: expected ws://HOST:PORT";
        QTest::newRow("unknown flag")
            << QStringList{"--port", "1"} << "velmora-connect: unknown argument '--port'";
    }
    void badArgumentsExitWithTwo()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        ServerProcess bridge(VELMORA_CONNECT_BIN);
        bridge.start(arguments);
        QCOMPARE(bridge.waitForExit(), 2);
        QVERIFY2(bridge.output().startsWith(message), qPrintable(bridge.output()));
    }

    void unreachableServerIsReported()
    {
        // A port that was just free: nothing listens there.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        ServerProcess bridge(VELMORA_CONNECT_BIN);
        bridge.start(bridgeArguments(port, "123456789"));
        QCOMPARE(bridge.waitForExit(), 1);
        QVERIFY2(bridge.output().contains(
                     QString("cannot reach the server at ws://127.0.0.1:%1: Connection refused")
                         .arg(port)),
                 qPrintable(bridge.output()));
    }

    void serverThatIsNotHttpIsReported()
    {
        QTcpServer mute;
        QVERIFY(mute.listen(QHostAddress::LocalHost, 0));
        connect(&mute, &QTcpServer::newConnection, [&] {
            QTcpSocket *socket = mute.nextPendingConnection();
            socket->write("SSH-2.0-OpenSSH\r\n");
            socket->disconnectFromHost();
        });
        ServerProcess bridge(VELMORA_CONNECT_BIN);
        bridge.start(bridgeArguments(mute.serverPort(), "123456789"));
        QCOMPARE(bridge.waitForExit(), 1);
        QVERIFY2(bridge.output().contains("did not answer HTTP"), qPrintable(bridge.output()));
    }

    void viewerIsBridgedBothWays_data()
    {
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<QString>("host");
        QTest::newRow("ws") << "ws"
                            << "127.0.0.1";
        QTest::newRow("wss to an IP address") << "wss"
                                              << "127.0.0.1";
        QTest::newRow("wss to a host name") << "wss"
                                            << "localhost";
    }
    void viewerIsBridgedBothWays()
    {
        QFETCH(QString, scheme);
        QFETCH(QString, host);
        const bool tls = scheme == "wss";
        // The viewer here sends arbitrary bytes, not RFB: nothing to follow.
        velmora::server::ServerConfig config = ServerThread::defaultConfig();
        config.followSecurityHandshake = false;
        if (tls)
            certificates.serveTls(config);
        ServerThread server(config);
        AgentPeer agent(AgentPeer::Mode::Echo);
        agent.open(server.agentUrl());
        QVERIFY(agent.waitForId());

        ServerProcess bridge(VELMORA_CONNECT_BIN);
        bridge.start(
            tls ? tlsBridgeArguments(host, server.port(), agent.id, certificates.path("ca.crt"))
                : bridgeArguments(server.port(), agent.id));
        QVERIFY2(bridge.waitForLine("Listening on 127.0.0.1:"), qPrintable(bridge.output()));
        QVERIFY(bridge.waitForLine(QString("bridged to %1://%2:%3/viewer/%4")
                                       .arg(scheme, host)
                                       .arg(server.port())
                                       .arg(agent.id)));
        const quint16 port = bridge.portFrom("Listening on");
        QVERIFY(port != 0);
        QVERIFY(bridge.waitForLine(QString("vncviewer 127.0.0.1::%1").arg(port)));
        QVERIFY(bridge.waitForLine("four-digit password"));

        QTcpSocket viewer;
        viewer.connectToHost(QStringLiteral("127.0.0.1"), port);
        QVERIFY(viewer.waitForConnected());
        QByteArray received;
        QTRY_VERIFY((received += viewer.readAll()).size() >= agent.greeting.size());
        QCOMPARE(received, agent.greeting);
        QVERIFY(server.waitForLog("session start id=" + agent.id));
        QVERIFY(bridge.waitForLine("connected to session " + agent.id));

        QRandomGenerator random(3);
        QByteArray sent;
        for (int i = 0; i < 64; ++i) {
            QByteArray chunk(int(random.bounded(1, 40000)), '\0');
            for (char &c : chunk)
                c = char(random.bounded(256));
            sent += chunk;
            viewer.write(chunk);
        }
        received.clear();
        QTRY_VERIFY_WITH_TIMEOUT((received += viewer.readAll()).size() >= sent.size(), 30000);
        QCOMPARE(received, sent);
        QByteArray atAgent;
        for (const QByteArray &payload : agent.payloads)
            atAgent += payload;
        QCOMPARE(atAgent, sent);

        // The viewer leaving ends the session in order: the agent is closed normally.
        const int before = agent.disconnections;
        viewer.disconnectFromHost();
        QTRY_VERIFY(agent.disconnections > before);
        QCOMPARE(int(agent.socket.closeCode()), 1000);
        QVERIFY(server.waitForLog("session end id=" + agent.id));
        QVERIFY(bridge.waitForLine("disconnected (the viewer disconnected)"));

        bridge.signal(SIGTERM);
        QCOMPARE(bridge.waitForExit(), 0);
    }

    void refusedCertificateEndsTheStart_data()
    {
        QTest::addColumn<QString>("serverCertificate");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("caFile");
        QTest::addColumn<QString>("reason");
        QTest::newRow("another CA") << "stranger"
                                    << "127.0.0.1"
                                    << "ca.crt"
                                    << "(unable to get local issuer certificate)";
        QTest::newRow("another IP address") << "elsewhere"
                                            << "127.0.0.1"
                                            << "ca.crt"
                                            << "(IP address mismatch)";
        QTest::newRow("another host name") << "elsewhere"
                                           << "localhost"
                                           << "ca.crt"
                                           << "(hostname mismatch)";
        QTest::newRow("private CA not named") << "server"
                                              << "127.0.0.1"
                                              << ""
                                              << "(unable to get local issuer certificate); a "
                                                 "server with a private CA needs that CA's "
                                                 "certificate in --ca-file";
    }
    void refusedCertificateEndsTheStart()
    {
        QFETCH(QString, serverCertificate);
        QFETCH(QString, host);
        QFETCH(QString, caFile);
        QFETCH(QString, reason);
        velmora::server::ServerConfig config = ServerThread::defaultConfig();
        certificates.serveTls(config, serverCertificate);
        ServerThread server(config);
        ServerProcess bridge(VELMORA_CONNECT_BIN);
        bridge.start(tlsBridgeArguments(host, server.port(), "123456789",
                                        caFile.isEmpty() ? QString() : certificates.path(caFile)));
        QCOMPARE(bridge.waitForExit(), 1);
        QVERIFY2(bridge.output().startsWith(
                     QString("velmora-connect: no TLS connection to the server at wss://%1:%2: "
                             "its certificate was refused ")
                         .arg(host)
                         .arg(server.port()) +
                     reason),
                 qPrintable(bridge.output()));
        QVERIFY(bridge.lines().filter("Listening on").isEmpty());
        // The server saw the refusal as a TLS alert.
        QVERIFY(server.waitForLog("TLS handshake with 127.0.0.1:"));
    }

    void hostNameGoesOutInSni()
    {
        // openssl's test server presents a certificate for another name, unless the client
        // names "localhost" in SNI: then the one for localhost.
        ServerProcess tlsServer("openssl");
        tlsServer.start({"s_server", "-accept", "127.0.0.1:0", "-naccept", "1", "-www", "-cert",
                         certificates.path("elsewhere.crt"), "-key",
                         certificates.path("elsewhere.key"), "-servername", "localhost", "-cert2",
                         certificates.path("server.crt"), "-key2",
                         certificates.path("server.key")});
        QVERIFY2(tlsServer.waitForLine("ACCEPT 127.0.0.1:"), qPrintable(tlsServer.output()));
        ServerProcess bridge(VELMORA_CONNECT_BIN);
        bridge.start(tlsBridgeArguments("localhost", tlsServer.portFrom("ACCEPT"), "123456789",
                                        certificates.path("ca.crt")));
        QVERIFY2(bridge.waitForLine("Listening on 127.0.0.1:"), qPrintable(bridge.output()));
        bridge.signal(SIGTERM);
        QCOMPARE(bridge.waitForExit(), 0);
    }

    void wssToAPlainListenerIsReported()
    {
        velmora::server::ServerConfig config = ServerThread::defaultConfig();
        certificates.serveTls(config);
        ServerThread server(config);
        ServerProcess bridge(VELMORA_CONNECT_BIN);
        bridge.start(tlsBridgeArguments("127.0.0.1", server.plainPort(), "123456789",
                                        certificates.path("ca.crt")));
        QCOMPARE(bridge.waitForExit(), 1);
        QVERIFY2(bridge.output().contains("the server does not speak TLS on that port"),
                 qPrintable(bridge.output()));
    }

    void unusableCaFileIsReported()
    {
        ServerProcess bridge(VELMORA_CONNECT_BIN);
        bridge.start(
            tlsBridgeArguments("127.0.0.1", 1, "123456789", certificates.path("missing.crt")));
        QCOMPARE(bridge.waitForExit(), 1);
        QCOMPARE(bridge.output(), "velmora-connect: cannot read CA file " +
                                      certificates.path("missing.crt") +
                                      ": No such file or directory");
    }

    void refusedSessionShowsTheServersReason()
    {
        ServerThread server;
        ServerProcess bridge(VELMORA_CONNECT_BIN);
        bridge.start(bridgeArguments(server.port(), "123456789"));
        QVERIFY(bridge.waitForLine("Listening on 127.0.0.1:"));
        QTcpSocket viewer;
        viewer.connectToHost(QStringLiteral("127.0.0.1"), bridge.portFrom("Listening on"));
        QVERIFY(viewer.waitForConnected());
        QTRY_COMPARE(viewer.state(), QAbstractSocket::UnconnectedState);
        QVERIFY(bridge.waitForLine("the server closed the connection: unknown-id (code 4404)"));
        QVERIFY(server.waitForLog("refused supporter 127.0.0.1:"));
    }
};

QTEST_GUILESS_MAIN(TestConnect)
#include "tst_connect.moc"
