// Captures what the code under test writes to Qt's debug stream, one entry per line.
#pragma once

#include <QStringList>
#include <QtGlobal>

/// Installs a message handler for its lifetime and restores the previous one after. Only one
/// may exist at a time. Messages of every type are kept, debug lines as qDebug() formats them.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    /// Every line captured so far, in order.
    QStringList lines() const;
    /// Debug-level lines only.
    QStringList debugLines() const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message);
    QtMessageHandler previous = nullptr;
};
