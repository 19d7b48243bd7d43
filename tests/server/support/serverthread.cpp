#include "serverthread.h"

#include <QTest>

QByteArray testSecret()
{
    return QByteArray("0123456789abcdef0123456789abcdef");
}

velmora::server::ServerConfig ServerThread::defaultConfig()
{
    velmora::server::ServerConfig config;
    config.secret = testSecret().toStdString();
    config.shutdownGrace = std::chrono::milliseconds(1000);
    return config;
}

ServerThread::ServerThread(velmora::server::ServerConfig config)
{
    config.options.listen = {"127.0.0.1", 0};
    if (config.options.plainListen)
        config.options.plainListen = velmora::server::HostPort{"127.0.0.1", 0};
    tls = !config.options.tlsCert.empty();
    config.handleSignals = false;
    config.log = [this](const std::string &line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.append(QString::fromStdString(line));
    };
    server = std::make_unique<velmora::server::Server>(std::move(config));
    boundPort = server->listen();
    boundPlainPort = server->plainListenPort();
    thread = std::thread([this] {
        server->run();
        finished = true;
    });
}

ServerThread::~ServerThread()
{
    stop();
}

void ServerThread::requestStop()
{
    server->stop();
}

void ServerThread::stop()
{
    if (!thread.joinable())
        return;
    server->stop();
    // The join below waits in any case; this only lets our own peers answer meanwhile.
    const bool done = QTest::qWaitFor([this] { return finished.load(); }, 10000);
    Q_UNUSED(done);
    thread.join();
}

QUrl ServerThread::agentUrl() const
{
    if (boundPlainPort != 0)
        return QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(boundPlainPort));
    return QUrl(QStringLiteral("%1://127.0.0.1:%2").arg(tls ? "wss" : "ws").arg(boundPort));
}

QUrl ServerThread::viewerUrl(const QString &id) const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2/viewer/%3")
                    .arg(tls ? "wss" : "ws")
                    .arg(boundPort)
                    .arg(id));
}

QStringList ServerThread::log() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
}

QStringList ServerThread::logMatching(const QString &needle) const
{
    return log().filter(needle);
}

bool ServerThread::waitForLog(const QString &needle, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return !logMatching(needle).isEmpty(); }, timeoutMs);
}
