// One WebSocket client of the proxy and the TCP connection that carries its bytes.
#pragma once

#include "platform/websockify/console.h"
#include "platform/websockify/wsframe.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

class QTcpSocket;

/// Serves one accepted connection: answers its WebSocket handshake (RFC 6455, version 13, origin
/// "localhost" only), then opens a TCP connection of its own to the target and carries the
/// payload of the client's binary frames there and what the target sends back as binary messages,
/// byte for byte. Either side's end ends the other once what it sent has been passed on. Neither
/// direction holds more than a bound: while the receiving side has that much left to write, the
/// sending side is not read, so TCP's flow control slows the sender. Deletes itself when both
/// connections are closed.
class ProxyConnection : public QObject
{
    Q_OBJECT

public:
    /// Takes `client` as its child.
    ProxyConnection(QTcpSocket *client, const console::HostPort &target, QObject *parent);

    /// Bytes that one side may have waiting to be written before the other side is no longer read.
    static constexpr qint64 pendingBound = 1 << 20;

private:
    enum class State { Handshake, Open, Closing };

    void readClient();
    void readHandshake();
    void readFrames();
    /// Takes the header at the start of `inbound`; false when it is not all there yet or the
    /// frame ended the connection.
    bool takeFrameHeader();
    void handleControlFrame(quint8 opcode, const QByteArray &payload);
    void readTarget();
    void onTargetConnected();
    void onTargetStateChanged();
    void onClientDisconnected();

    void refuse(const QByteArray &status, const QString &why, const QByteArray &headers = {});
    void sendFrame(wsframe::Opcode opcode, const QByteArray &payload);
    /// Sends a close frame and ends both connections once their pending bytes are written.
    void closeBoth(quint16 code, const QByteArray &reason);
    /// Ends the target connection once what it has to write is written.
    void endTarget();
    void writeToTarget(const QByteArray &bytes);
    qint64 pendingToTarget() const;
    void deleteWhenDone();
    QString peer() const;

    QTcpSocket *client;
    QTcpSocket *target;
    const console::HostPort targetAddress;
    QTimer handshakeTimer;
    State state = State::Handshake;
    QByteArray request;
    // Read from the client and not yet taken apart.
    QByteArray inbound;
    // The payload of the current data frame that is still to come, and its mask.
    quint64 frameLeft = 0;
    quint64 frameOffset = 0;
    quint8 frameMask[4] = {};
    bool inMessage = false;
    // For the target until its connection is up.
    QByteArray held;
    bool closeSent = false;
};
