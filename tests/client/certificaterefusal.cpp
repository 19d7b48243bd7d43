#include "certificaterefusal.h"

#include "client/client.h"
#include "logcapture.h"
#include "statuslog.h"

#include <QElapsedTimer>
#include <QTest>

namespace {

constexpr int kWaitMs = 10000;
// One reconnect interval (4 s) plus slack for a loaded machine.
constexpr int kRetryWaitMs = 9000;

} // namespace

void checkCertificateRefused(const QString &reason)
{
    Client client;
    client.setProxyHost(QStringLiteral("127.0.0.1"));
    client.setProxyPort(QStringLiteral("1"));
    StatusLog status(&client);
    LogCapture log;
    client.run();

    QTRY_COMPARE_WITH_TIMEOUT(status.a.size(), 1, kWaitMs);
    QCOMPARE(status.a.first(), Client::Disconnected);
    const QStringList refusals =
        log.debugLines().filter(QStringLiteral("Server certificate refused:"));
    QVERIFY2(refusals.join('\n').contains(reason, Qt::CaseInsensitive),
             qPrintable(log.debugLines().join('\n')));

    QElapsedTimer clock;
    clock.start();
    QTRY_COMPARE_WITH_TIMEOUT(status.a.size(), 2, kRetryWaitMs);
    QVERIFY2(clock.elapsed() >= 3000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(status.a.last(), Client::Disconnected);
    QCOMPARE(log.debugLines().count(QStringLiteral("Debug:: reconnectToServer")), 1);
}
