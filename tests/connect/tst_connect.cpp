// velmora-connect: command line, an unreachable server, and a native viewer's TCP connection
// bridged to a session through a real server, bytes both ways.
#include "agentpeer.h"
#include "serverprocess.h"
#include "serverthread.h"

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

} // namespace

class TestConnect : public QObject
{
    Q_OBJECT

private slots:
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

    void viewerIsBridgedBothWays()
    {
        // The viewer here sends arbitrary bytes, not RFB: nothing to follow.
        velmora::server::ServerConfig config = ServerThread::defaultConfig();
        config.followSecurityHandshake = false;
        ServerThread server(config);
        AgentPeer agent(AgentPeer::Mode::Echo);
        agent.open(server.agentUrl());
        QVERIFY(agent.waitForId());

        ServerProcess bridge(VELMORA_CONNECT_BIN);
        bridge.start(bridgeArguments(server.port(), agent.id));
        QVERIFY(bridge.waitForLine("Listening on 127.0.0.1:"));
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
