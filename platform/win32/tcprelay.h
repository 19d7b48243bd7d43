// The TCP end of one connection that a Windows stand-in relays.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpSocket>

/// Connects to the target given to open() and carries bytes both ways through send() and
/// received(). Bytes sent before the connection is up are held until it is. Once the connection
/// has ended, or could not be made, emits closed() and deletes itself.
class TcpRelay : public QObject
{
    Q_OBJECT

public:
    TcpRelay();
    void open(const QString &host, quint16 port);
    void send(const QByteArray &bytes);
    /// Ends the connection once the bytes sent so far have gone out.
    void close();

signals:
    void received(const QByteArray &bytes);
    /// error is empty unless the connection failed, not just ended.
    void closed(const QString &error);

private:
    void connected();
    void stateChanged(QAbstractSocket::SocketState state);

    QTcpSocket socket;
    QString target;
    QByteArray held;
    bool closing = false;
};
