// Relay bookkeeping: supporter messages wait for the agent's first frame and then go out in
// order; byte counts and the summary line.
#include "server/core/relaystate.h"

#include "protocol/envelope.h"

#include <QtTest>

using namespace velmora::server;
using namespace std::chrono_literals;

namespace {
QByteArray envelopeFor(const QByteArray &bytes)
{
    return QByteArray::fromStdString(
        velmora::envelope::rfbEnvelope("110", std::string_view(bytes.constData(), bytes.size())));
}
} // namespace

class TestRelayState : public QObject
{
    Q_OBJECT

private slots:
    void supporterMessagesWaitForTheAgent()
    {
        RelayState relay(1 << 20, Clock::now());
        QVERIFY(relay.waitingForAgent());
        QVERIFY(!relay.fromSupporter("one"));
        QVERIFY(!relay.fromSupporter("two"));
        QVERIFY(!relay.fromSupporter(""));
        QCOMPARE(relay.bytesToAgent(), std::uint64_t(0));

        const auto released = relay.fromAgent(12);
        QCOMPARE(int(released.size()), 3);
        QCOMPARE(QByteArray::fromStdString(released[0]), envelopeFor("one"));
        QCOMPARE(QByteArray::fromStdString(released[1]), envelopeFor("two"));
        QCOMPARE(QByteArray::fromStdString(released[2]), envelopeFor(""));
        QVERIFY(!relay.waitingForAgent());
        QCOMPARE(relay.bytesToAgent(), std::uint64_t(6));
        QCOMPARE(relay.bytesToSupporter(), std::uint64_t(12));

        // From now on nothing waits, and nothing is released twice.
        const auto now = relay.fromSupporter("three");
        QVERIFY(now);
        QCOMPARE(QByteArray::fromStdString(*now), envelopeFor("three"));
        QVERIFY(relay.fromAgent(5).empty());
        QCOMPARE(relay.bytesToAgent(), std::uint64_t(11));
        QCOMPARE(relay.bytesToSupporter(), std::uint64_t(17));
    }

    void agentFirstReleasesNothing()
    {
        RelayState relay(1024, Clock::now());
        QVERIFY(relay.fromAgent(3).empty());
        QVERIFY(relay.fromSupporter("x"));
    }

    void holdLimitCountsEnvelopeBytes()
    {
        const std::size_t one = velmora::envelope::rfbEnvelopeSize(300);
        RelayState relay(2 * one, Clock::now());
        const std::string chunk(300, 'a');
        relay.fromSupporter(chunk);
        QVERIFY(!relay.holdFull());
        relay.fromSupporter(chunk);
        QVERIFY(relay.holdFull());
        relay.fromAgent(0);
        QVERIFY(!relay.holdFull());
    }

    void summaryLine()
    {
        const auto start = Clock::now();
        RelayState relay(1024, start);
        relay.fromAgent(100);
        relay.fromSupporter("12345");
        QCOMPARE(QString::fromStdString(relay.summary(start + 2500ms)),
                 QString("5 bytes to the agent, 100 bytes to the supporter, 2.500 s"));
    }
};

QTEST_GUILESS_MAIN(TestRelayState)
#include "tst_relaystate.moc"
