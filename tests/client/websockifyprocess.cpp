#include "websockifyprocess.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

// The system picks the port; it is released just before websockify binds it.
quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

} // namespace

WebsockifyProcess::WebsockifyProcess(QObject *parent) : QObject(parent)
{
    // Its connection log goes to the test's output; its banner is of no use.
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
}

WebsockifyProcess::~WebsockifyProcess()
{
    stop();
}

QString WebsockifyProcess::program()
{
    return QStringLiteral("/usr/bin/websockify");
}

bool WebsockifyProcess::start(quint16 targetPort, int timeoutMs)
{
    stop();
    listenPort = freePort();
    if (listenPort == 0) {
        error = QStringLiteral("no free port");
        return false;
    }
    process.setProgram(program());
    process.setArguments({QStringLiteral("127.0.0.1:%1").arg(listenPort),
                          QStringLiteral("127.0.0.1:%1").arg(targetPort)});
    process.start();
    if (!process.waitForStarted(timeoutMs)) {
        error = process.errorString();
        return false;
    }
    return waitUntilListening(timeoutMs);
}

void WebsockifyProcess::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    // On SIGTERM websockify ends the children it forked for its connections, too.
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(10000);
    }
}

bool WebsockifyProcess::waitUntilListening(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (process.state() != QProcess::Running) {
            error = QStringLiteral("websockify ended: exit code %1").arg(process.exitCode());
            return false;
        }
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, listenPort);
        if (probe.waitForConnected(int(qMax<qint64>(1, deadline.remainingTime())))) {
            probe.abort();
            return true;
        }
        // Refused at once while it is still starting: try again on the next event-loop turn
        // after a short interval.
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    error = QStringLiteral("websockify did not listen on port %1 in time").arg(listenPort);
    return false;
}
