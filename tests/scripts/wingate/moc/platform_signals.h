// Signals that differ between platforms: moc must see the class as the Windows compiler does, or
// its output names a signal that the Windows build of the class does not have.
#pragma once

#include <QObject>

class PlatformSignals : public QObject
{
    Q_OBJECT

signals:
#ifdef Q_OS_WIN
    void sessionEnding();
#else
    void hangUp();
#endif
};
