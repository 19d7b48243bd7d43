// A VNC-like byte stream through the whole relay: in-process rendezvous server → Client →
// Debian's websockify → in-process TCP echo, and back the same way. The stream must come back
// byte for byte, however websockify and TCP cut it into frames.

#include "client/client.h"
#include "configdir.h"
#include "echoserver.h"
#include "logcapture.h"
#include "websockifyprocess.h"
#include "wspeerserver.h"

#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

const QByteArray envelopeHead = R"({"action":"rfb","api_version":"110","payload":")";
const QByteArray envelopeTail = R"("})";

// Frames as a VNC session has them: mostly small messages, some full 64 KiB updates.
QList<QByteArray> vncLikeFrames(qint64 total, quint32 seed)
{
    QRandomGenerator random(seed);
    QList<QByteArray> frames;
    qint64 made = 0;
    while (made < total) {
        const int size = random.bounded(4) == 0 ? 65536 : int(random.bounded(1, 300));
        QByteArray frame(int(qMin<qint64>(size, total - made)), Qt::Uninitialized);
        for (char &c : frame)
            c = char(random.generate());
        frames << frame;
        made += frame.size();
    }
    return frames;
}

} // namespace

class TestClientRelay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void streamComesBackByteForByte_data();
    void streamComesBackByteForByte();

private:
    EchoServer echo;
    WebsockifyProcess websockify;
};

void TestClientRelay::initTestCase()
{
    QVERIFY(echo.listen());
    QVERIFY2(websockify.start(echo.port()), qPrintable(websockify.errorString()));
}

void TestClientRelay::streamComesBackByteForByte_data()
{
    QTest::addColumn<qint64>("total");
    QTest::addColumn<bool>("debugOutput");
    QTest::newRow("debug output off, 8 MiB") << qint64(8 << 20) << false;
    QTest::newRow("debug output on, 512 KiB") << qint64(512 << 10) << true;
}

void TestClientRelay::streamComesBackByteForByte()
{
    QFETCH(qint64, total);
    QFETCH(bool, debugOutput);

    QLoggingCategory::setFilterRules(debugOutput ? QString()
                                                 : QStringLiteral("default.debug=false"));
    const auto restore = qScopeGuard([] { QLoggingCategory::setFilterRules(QString()); });
    LogCapture log; // keeps the relay's lines off the test output

    WsPeerServer server;
    QVERIFY(server.listen());
    server.setRecording(false);
    QByteArray returned;
    int envelopes = 0;
    bool wellFormed = true;
    connect(&server, &WsPeerServer::binaryReceived, this, [&](const QByteArray &message) {
        ++envelopes;
        wellFormed =
            wellFormed && message.startsWith(envelopeHead) && message.endsWith(envelopeTail);
        // Qt's own decoder as the independent reference.
        returned += QByteArray::fromBase64(message.mid(
            envelopeHead.size(), message.size() - envelopeHead.size() - envelopeTail.size()));
    });

    ConfigDir dir;
    QVERIFY(dir.writeServer(QStringLiteral("127.0.0.1"), server.port()));
    Client client;
    client.setProxyHost(QStringLiteral("127.0.0.1"));
    client.setProxyPort(websockify.portText());
    QSignalSpy connected(&client, &Client::connectedToServer);
    QSignalSpy proxyUp(&client, &Client::connectedToProxy);
    client.run();
    QVERIFY(connected.wait(10000));
    server.sendBinary(R"({"action":"start_session","api_version":"110"})");
    QVERIFY(proxyUp.wait(10000));

    const qint64 echoedBefore = echo.bytesEchoed();
    const QList<QByteArray> frames = vncLikeFrames(total, quint32(total));
    QByteArray sent;
    for (const QByteArray &frame : frames) {
        sent += frame;
        server.sendBinary(R"({"action":"rfb","api_version":"110","payload":")" + frame.toBase64() +
                          R"("})");
    }
    QTRY_VERIFY_WITH_TIMEOUT(returned.size() >= sent.size(), 120000);
    QCOMPARE(echo.bytesEchoed() - echoedBefore, total);
    QCOMPARE(returned.size(), sent.size());
    QVERIFY(returned == sent);
    QVERIFY(wellFormed);
    QVERIFY(envelopes > 0);
    if (debugOutput)
        QCOMPARE(log.debugLines().count(QStringLiteral("T5.3")), frames.size());
    else
        QCOMPARE(log.debugLines(), QStringList());
}

QTEST_GUILESS_MAIN(TestClientRelay)
#include "tst_clientrelay.moc"
