#include "logcapture.h"

#include <QMutex>
#include <QVector>

namespace {

struct Entry
{
    QtMsgType type;
    QString text;
};

QMutex mutex;
QVector<Entry> captured;
LogCapture *active = nullptr;

} // namespace

LogCapture::LogCapture()
{
    Q_ASSERT(!active);
    active = this;
    clear();
    previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous);
    active = nullptr;
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&mutex);
    QStringList out;
    for (const Entry &e : qAsConst(captured))
        out << e.text;
    return out;
}

QStringList LogCapture::debugLines() const
{
    QMutexLocker lock(&mutex);
    QStringList out;
    for (const Entry &e : qAsConst(captured)) {
        if (e.type == QtDebugMsg)
            out << e.text;
    }
    return out;
}

void LogCapture::clear()
{
    QMutexLocker lock(&mutex);
    captured.clear();
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    QMutexLocker lock(&mutex);
    captured.push_back({type, message});
}
