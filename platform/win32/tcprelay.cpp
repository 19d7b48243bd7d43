#include "platform/win32/tcprelay.h"

TcpRelay::TcpRelay()
{
    connect(&socket, &QTcpSocket::connected, this, &TcpRelay::connected);
    connect(&socket, &QTcpSocket::readyRead, this, [this] { emit received(socket.readAll()); });
    connect(&socket, &QTcpSocket::stateChanged, this, &TcpRelay::stateChanged);
}

void TcpRelay::open(const QString &host, quint16 port)
{
    target = host + QLatin1Char(':') + QString::number(port);
    socket.connectToHost(host, port);
}

void TcpRelay::send(const QByteArray &bytes)
{
    if (socket.state() == QAbstractSocket::ConnectedState)
        socket.write(bytes);
    else
        held += bytes;
}

void TcpRelay::close()
{
    closing = true;
    // Still connecting: connected() closes once the held bytes are out.
    if (socket.state() == QAbstractSocket::ConnectedState)
        socket.disconnectFromHost();
}

void TcpRelay::connected()
{
    // Keystrokes and pointer moves must not wait for more bytes to fill a packet.
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket.write(held);
    held.clear();
    if (closing)
        socket.disconnectFromHost();
}

void TcpRelay::stateChanged(QAbstractSocket::SocketState state)
{
    if (state != QAbstractSocket::UnconnectedState)
        return;
    // Bytes that came in with the end still go out before it.
    if (socket.bytesAvailable() > 0)
        emit received(socket.readAll());
    // The socket takes this state before it reports the error, which is already set then.
    const QAbstractSocket::SocketError socketError = socket.error();
    const bool failed = socketError != QAbstractSocket::UnknownSocketError &&
                        socketError != QAbstractSocket::RemoteHostClosedError;
    emit closed(failed ? target + QStringLiteral(": ") + socket.errorString() : QString());
    deleteLater();
}
