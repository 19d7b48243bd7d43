// A slow uplink is not a silent link. The real Client and a real WebSocket server in-process (it
// answers pings as any RFC 6455 server does), with a relay between them that forwards the agent's
// bytes at 64 KB/s with real-network segment sizes. A picture that takes longer to drain than the
// silence limit keeps the session; a partition is still noticed, with a picture queued or not.

#include "client/client.h"
#include "configdir.h"
#include "logcapture.h"
#include "partitionrelay.h"
#include "protocol/envelope.h"
#include "statuslog.h"
#include "wspeerserver.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

constexpr int kWaitMs = 10000;
constexpr qint64 kUplinkRate = 64 * 1024;
const QString droppedLine = QStringLiteral("Server silent, connection dropped");

// About 1.5 MB as the server receives it (Base64 in its envelope): some 24 s at 64 KB/s, during
// which no pong can pass the upload.
const QByteArray picture(1200 * 1000, 'p');

// The Client in a session through the shaped relay: `server` plays the rendezvous server,
// `proxy` the local proxy.
struct Link
{
    WsPeerServer server;
    std::unique_ptr<PartitionRelay> relay;
    WsPeerServer proxy;
    ConfigDir dir;
    std::unique_ptr<Client> client;
    std::unique_ptr<StatusLog> status;

    bool start()
    {
        if (!server.listen())
            return false;
        relay = std::make_unique<PartitionRelay>(QHostAddress::LocalHost, server.port());
        relay->setUplinkRate(kUplinkRate);
        if (!relay->listen() || !proxy.listen() || !dir.isValid() ||
            !dir.writeServer(QStringLiteral("127.0.0.1"), relay->port()))
            return false;
        server.setRecording(false);
        client = std::make_unique<Client>();
        client->setProxyHost(QStringLiteral("127.0.0.1"));
        client->setProxyPort(QString::number(proxy.port()));
        status = std::make_unique<StatusLog>(client.get());
        client->run();
        if (!QTest::qWaitFor([this] { return server.connectionCount() == 1; }, kWaitMs))
            return false;
        server.sendBinary(QByteArray::fromStdString(velmora::envelope::startSessionEnvelope()));
        return QTest::qWaitFor([this] { return proxy.connectionCount() == 1 && proxy.peer(); },
                               kWaitMs);
    }
};

} // namespace

class TestClientUplink : public QObject
{
    Q_OBJECT

private slots:
    void slowUplinkKeepsSession();
    void partitionWithUploadQueued();
    void partitionWithNothingQueued();
};

void TestClientUplink::slowUplinkKeepsSession()
{
    QString figure; // printed once the log is no longer captured
    const auto report = qScopeGuard([&] { qInfo().noquote() << figure; });
    LogCapture log;
    Link link;
    QVERIFY(link.start());
    QSignalSpy received(&link.server, &WsPeerServer::binaryReceived);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(link.proxy.sendBinary(picture));
    QVERIFY(received.wait(90000));
    const QByteArray envelope = received.first().at(0).toByteArray();
    QCOMPARE(envelope, QByteArray::fromStdString(velmora::envelope::rfbEnvelope(
                           "110", std::string_view(picture.constData(), picture.size()))));
    QVERIFY2(envelope.size() >= 1500 * 1000, qPrintable(QString::number(envelope.size())));
    // Longer than the silence limit would allow without the upload counting.
    QVERIFY2(clock.elapsed() >= 22000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(link.status->a, QList<Client::Status>{Client::Connected});
    QVERIFY(!log.debugLines().contains(droppedLine));
    figure = QStringLiteral("%1 bytes in %2 ms through the 64 KB/s uplink, no drop")
                 .arg(envelope.size())
                 .arg(clock.elapsed());
}

void TestClientUplink::partitionWithUploadQueued()
{
    QString figure;
    const auto report = qScopeGuard([&] { qInfo().noquote() << figure; });
    LogCapture log;
    Link link;
    QVERIFY(link.start());
    QVERIFY(link.proxy.sendBinary(picture));
    // Well under way, then the link goes silent: the upload stops moving.
    QTRY_VERIFY_WITH_TIMEOUT(link.relay->uplinkBytes() > 4 * kUplinkRate, kWaitMs);
    link.relay->partition();
    QElapsedTimer clock;
    clock.start();
    QTRY_COMPARE_WITH_TIMEOUT(link.status->a.size(), 2, 70000);
    QCOMPARE(link.status->a.last(), Client::Disconnected);
    QVERIFY2(clock.elapsed() <= 60000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(log.debugLines().contains(droppedLine));
    figure =
        QStringLiteral("partition with a picture queued noticed after %1 ms").arg(clock.elapsed());
}

void TestClientUplink::partitionWithNothingQueued()
{
    QString figure;
    const auto report = qScopeGuard([&] { qInfo().noquote() << figure; });
    LogCapture log;
    Link link;
    QVERIFY(link.start());
    // A small message gets through; then silence, while the agent's pings still find room in the
    // system's buffers.
    QSignalSpy received(&link.server, &WsPeerServer::binaryReceived);
    QVERIFY(link.proxy.sendBinary("RFB 003.008\n"));
    QVERIFY(received.wait(kWaitMs));
    link.relay->partition();
    QElapsedTimer clock;
    clock.start();
    QTRY_COMPARE_WITH_TIMEOUT(link.status->a.size(), 2, 40000);
    QCOMPARE(link.status->a.last(), Client::Disconnected);
    QVERIFY2(clock.elapsed() <= 30000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(log.debugLines().contains(droppedLine));
    figure =
        QStringLiteral("partition with nothing queued noticed after %1 ms").arg(clock.elapsed());
}

QTEST_GUILESS_MAIN(TestClientUplink)
#include "tst_clientuplink.moc"
