// An ordinary QObject: moc's output must compile for Windows as it does for Linux.
#pragma once

#include <QAbstractSocket>
#include <QObject>

class PortableObject : public QObject
{
    Q_OBJECT

public:
    enum Status { Down = 0, Up = 1 };

signals:
    void statusChanged(PortableObject::Status status);
    void failed(QAbstractSocket::SocketError error);

private slots:
    void onReady() {}
};
