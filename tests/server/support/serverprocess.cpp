#include "serverprocess.h"

#include <QRegularExpression>
#include <QTest>

#include <csignal>

ServerProcess::ServerProcess(const QString &program)
{
    process.setProgram(program);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { collect(); });
    QObject::connect(&process, &QProcess::readyReadStandardError, [this] { collect(); });
}

ServerProcess::~ServerProcess()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

void ServerProcess::start(const QStringList &arguments)
{
    process.setArguments(arguments);
    process.start();
}

void ServerProcess::collect()
{
    for (auto [buffer, channel] : {std::pair{&pendingOut, QProcess::StandardOutput},
                                   std::pair{&pendingErr, QProcess::StandardError}}) {
        process.setReadChannel(channel);
        buffer->append(process.readAll());
        int end;
        while ((end = buffer->indexOf('\n')) >= 0) {
            collected.append(QString::fromUtf8(buffer->left(end)));
            buffer->remove(0, end + 1);
        }
    }
}

QStringList ServerProcess::lines() const
{
    QStringList all = collected;
    if (!pendingOut.isEmpty())
        all.append(QString::fromUtf8(pendingOut));
    if (!pendingErr.isEmpty())
        all.append(QString::fromUtf8(pendingErr));
    return all;
}

bool ServerProcess::waitForLine(const QString &needle, int timeoutMs)
{
    return QTest::qWaitFor(
        [&] {
            collect();
            return !lines().filter(needle).isEmpty();
        },
        timeoutMs);
}

quint16 ServerProcess::portFrom(const QString &needle) const
{
    const QStringList matching = lines().filter(needle);
    if (matching.isEmpty())
        return 0;
    const auto match = QRegularExpression("127\\.0\\.0\\.1:(\\d+)").match(matching.first());
    return match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
}

int ServerProcess::waitForExit(int timeoutMs)
{
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs))
        return -1;
    collect();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

void ServerProcess::signal(int signalNumber)
{
    ::kill(pid_t(process.processId()), signalNumber);
}

QString waitForAnnouncedId(ServerProcess &agent, int count, int timeoutMs)
{
    const QRegularExpression idLine(QStringLiteral("Your ID:\\s+\"(\\d*)\""));
    QString id;
    const bool announced = QTest::qWaitFor(
        [&] {
            agent.waitForLine(QStringLiteral("Your ID:"), 100);
            const QStringList lines = agent.lines().filter(idLine);
            if (lines.size() < count)
                return false;
            id = idLine.match(lines.at(count - 1)).captured(1);
            return true;
        },
        timeoutMs);
    return announced ? id : QString();
}
