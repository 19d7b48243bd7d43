// Slow and hostile clients must not slow other sessions down: while peers trickle a large frame
// byte by byte, stop in the middle of a frame or of a request, another session's round trips
// stay about as fast as without them.
#include "agentpeer.h"
#include "rawwebsocket.h"
#include "serverthread.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {

// Qt's QWebSocket writes a frame's header and payload separately, and without TCP_NODELAY
// (which it does not offer) Nagle's algorithm then adds tens of milliseconds to each round trip.
// The measured session therefore uses raw peers that send each frame in one piece.
QByteArray rfbEnvelope(const QByteArray &bytes)
{
    return "{\"action\":\"rfb\",\"api_version\":\"110\",\"payload\":\"" + bytes.toBase64() + "\"}";
}

// Answers "start_session" with a greeting and echoes every "rfb" payload.
void echoAsAgent(RawWebSocket &agent)
{
    QObject::connect(
        &agent, &RawWebSocket::frameReceived, [&agent](int opcode, const QByteArray &payload) {
            if (opcode != 2)
                return;
            const QJsonObject envelope = QJsonDocument::fromJson(payload).object();
            const QString action = envelope.value("action").toString();
            if (action == "start_session") {
                agent.sendFrame(2, rfbEnvelope("RFB 003.008\n"));
            } else if (action == "rfb") {
                agent.sendFrame(2, rfbEnvelope(QByteArray::fromBase64(
                                       envelope.value("payload").toString().toLatin1())));
            }
        });
}

// Median of `count` round trips supporter → agent (echo) → supporter, in microseconds.
double medianRoundTrip(RawWebSocket &supporter, int count)
{
    // A signal spy's wait runs the event loop without the pauses of QTest::qWaitFor.
    QSignalSpy received(&supporter, &RawWebSocket::frameReceived);
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        received.clear();
        const QByteArray message(64, char('a' + i % 26));
        QElapsedTimer timer;
        timer.start();
        supporter.sendFrame(2, message);
        if (!received.wait(30000) || received.first().at(1).toByteArray() != message)
            return -1;
        times.push_back(timer.nsecsElapsed() / 1000.0);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The header of a masked binary frame that announces `size` bytes of payload.
QByteArray largeFrameHeader(quint64 size)
{
    QByteArray header;
    header.append(char(0x82));
    header.append(char(0x80 | 127));
    for (int shift = 56; shift >= 0; shift -= 8)
        header.append(char((size >> shift) & 0xFF));
    header.append("\x11\x22\x33\x44", 4);
    return header;
}

} // namespace

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
        RawWebSocket agent;
        echoAsAgent(agent);
        QVERIFY(agent.handshake(server.port(), "/", "Cookie: VELMORA-SESSION-TOKEN=\r\n"));
        const QByteArray info = agent.waitForFrame(2).payload;
        const QString id = QJsonDocument::fromJson(info).object().value("id").toString();
        QCOMPARE(id.size(), 9);
        RawWebSocket supporter;
        QVERIFY(supporter.handshake(server.port(), "/viewer/" + id.toLatin1()));
        QCOMPARE(supporter.waitForFrame(2).payload, QByteArray("RFB 003.008\n"));

        const double alone = medianRoundTrip(supporter, 1000);
        QVERIFY(alone > 0);

        // An agent that trickles one large frame, one byte per event-loop tick.
        RawWebSocket trickler;
        QVERIFY(trickler.handshake(server.port(), "/", "Cookie: VELMORA-SESSION-TOKEN=\r\n"));
        QVERIFY(trickler.upgraded());
        trickler.sendRaw(largeFrameHeader(1024 * 1024));
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
        const double meanwhile = medianRoundTrip(supporter, 1000);
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
