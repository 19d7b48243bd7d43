// Slow and hostile clients must not slow other sessions down: while peers trickle a large frame
// byte by byte, stop in the middle of a frame or of a request, another session's round trips
// stay about as fast as without them.
#include "agentpeer.h"
#include "livesession.h"
#include "rawwebsocket.h"
#include "serverthread.h"

#include <QTimer>
#include <QtTest>

class TestServerSlowPeer : public QObject
{
    Q_OBJECT

private slots:
    void slowPeersDoNotDelayOtherSessions()
    {
        // The peers exchange arbitrary bytes, not RFB: nothing to follow.
        velmora::server::ServerConfig config = ServerThread::defaultConfig();
        config.followSecurityHandshake = false;
        ServerThread server(config);
        LiveSession live;
        QVERIFY(live.open(server.port()));

        const double alone = percentile(live.roundTrips(1000), 0.5);
        QVERIFY(alone > 0);

        // An agent that trickles a frame as large as an agent may send outside a session, one
        // byte per event-loop tick.
        RawWebSocket trickler;
        QVERIFY(trickler.handshake(server.port(), "/", "Cookie: VELMORA-SESSION-TOKEN=\r\n"));
        QVERIFY(trickler.upgraded());
        trickler.sendRaw(RawWebSocket::frameHeader(2, 4000));
        int trickled = 0;
        QTimer trickle;
        trickle.setInterval(1);
        connect(&trickle, &QTimer::timeout,
                [&] { trickler.sendRaw(QByteArray(1, char(trickled++))); });
        trickle.start();

        // A supporter in a session of its own that sends half a frame and falls silent.
        AgentPeer other(AgentPeer::Mode::Echo);
        other.open(server.agentUrl());
        QVERIFY(other.waitForId());
        RawWebSocket halfFrame;
        QVERIFY(halfFrame.handshake(server.port(), "/viewer/" + other.id.toLatin1()));
        QVERIFY(halfFrame.upgraded());
        QVERIFY(halfFrame.waitForFrame(2).payload == other.greeting);
        const QByteArray frame = RawWebSocket::frame(2, QByteArray(100000, 'x'));
        halfFrame.sendRaw(frame.left(frame.size() / 2));

        // A client that stops in the middle of its request head.
        QTcpSocket halfRequest;
        halfRequest.connectToHost(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(halfRequest.waitForConnected());
        halfRequest.write("GET /viewer/123456789 HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgr");

        QTRY_VERIFY(trickled > 20);
        const int trickledBefore = trickled;
        const double meanwhile = percentile(live.roundTrips(1000), 0.5);
        QVERIFY(meanwhile > 0);
        qInfo("median round trip: %.0f us alone, %.0f us beside the slow peers (%d bytes "
              "trickled meanwhile)",
              alone, meanwhile, trickled - trickledBefore);

        // The slow peers were really there the whole time.
        QVERIFY(trickled > trickledBefore);
        QVERIFY(trickler.isConnected());
        QVERIFY(halfFrame.isConnected());
        QCOMPARE(halfRequest.state(), QAbstractSocket::ConnectedState);
        QVERIFY2(meanwhile < 20 * alone,
                 qPrintable(QString("%1 us vs %2 us").arg(meanwhile).arg(alone)));
        trickle.stop();
    }
};

QTEST_GUILESS_MAIN(TestServerSlowPeer)
#include "tst_serverslowpeer.moc"
