// A WebSocket client written frame by frame over a plain QTcpSocket, for what a well-behaved
// client never does: stop reading, trickle a frame, send half of one, send bad handshakes.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpSocket>

class RawWebSocket : public QObject
{
    Q_OBJECT

public:
    struct Frame
    {
        int opcode = 0;
        QByteArray payload;
    };

    explicit RawWebSocket(QObject *parent = nullptr);

    /// Connects to 127.0.0.1:`port` (with Nagle's algorithm off, so that each frame leaves at once)
    /// and sends an upgrade request for `path` with `extraHeaders`
    /// (each ending in CRLF). Waits for the response head; false when none came in time.
    bool handshake(quint16 port, const QByteArray &path, const QByteArray &extraHeaders = {},
                   int timeoutMs = 10000);
    /// The response head (status line and headers) of the handshake.
    QByteArray responseHead;
    bool upgraded() const { return responseHead.startsWith("HTTP/1.1 101"); }

    /// A client frame (masked), with its FIN bit set unless `final` is false.
    static QByteArray frame(int opcode, const QByteArray &payload, bool final = true);
    /// Only the header of a client frame that announces `size` bytes of payload, in the shortest
    /// form, masked with `key` (with the default, zero, the payload then goes as it is): for
    /// payloads sent apart, slowly or never.
    static QByteArray frameHeader(int opcode, quint64 size, bool final = true, quint32 key = 0);

    void sendFrame(int opcode, const QByteArray &payload);
    void sendRaw(const QByteArray &bytes);

    /// Frames received so far (after the handshake), parsed from what was read.
    QList<Frame> frames();
    /// Waits until a frame with `opcode` arrived; returns it (opcode 0 when none came).
    Frame waitForFrame(int opcode, int timeoutMs = 10000);

    /// Stops taking data from the kernel: the server then sees a peer that does not read.
    void stopReading();
    void resumeReading();

    bool isConnected() const { return socket.state() == QAbstractSocket::ConnectedState; }
    /// Waits for the server to close the TCP connection.
    bool waitForDisconnected(int timeoutMs = 10000);

    QTcpSocket socket;

signals:
    /// Every frame as it is parsed (pings are also answered by themselves).
    void frameReceived(int opcode, const QByteArray &payload);

private:
    void parse();

    QByteArray pending;
    QList<Frame> parsed;
    bool reading = true;
};

/// Close code and reason of a close frame's payload.
struct CloseFrame
{
    int code = 0;
    QByteArray reason;
    static CloseFrame from(const QByteArray &payload);
};
