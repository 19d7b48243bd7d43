// One WebSocket client of the proxy and the TCP connection that carries its bytes.
#pragma once

#include "platform/websockify/console.h"
#include "platform/websockify/wsframe.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QTcpSocket;

/// Serves one accepted connection: answers its WebSocket handshake (RFC 6455, version 13, origin
/// "localhost" only), then opens a TCP connection of its own to the target and carries the
/// payload of the client's binary frames there and what the target sends back as binary messages,
/// byte for byte. Either side's end ends the other once what it sent has been passed on. Neither
/// direction holds more than a bound: while the receiving side has that much left to write, the
/// sending side is not read, so TCP's flow control slows the sender. A target that refuses the
/// connection is tried again for a while, the WebSocket held open meanwhile (what the client
/// sends waits for the target, within the same bound); a target still refusing then, or
/// unreachable otherwise, ends the WebSocket with close code 1011. Deletes itself when both
/// connections are closed.
class ProxyConnection : public QObject
{
    Q_OBJECT

public:
    /// Takes `client` as its child.
    ProxyConnection(QTcpSocket *client, const console::HostPort &target, QObject *parent);

    /// Bytes that one side may have waiting to be written before the other side is no longer read.
    static constexpr qint64 pendingBound = 1 << 20;
    /// How long a refusing target is tried again, counted from the first attempt, and how often.
    /// The VNC server behind the proxy may start listening seconds after its process started.
    static constexpr int targetWaitMs = 15000;
    static constexpr int targetRetryMs = 250;

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
    void connectTarget();
    /// Whether the target's connection, now closed, is tried again.
    bool retryTarget(QAbstractSocket::SocketError error);
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
    QTimer retryTimer;
    QElapsedTimer targetWait;
    bool targetConnected = false;
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
