#include "rawwebsocket.h"

#include <QRandomGenerator>
#include <QTest>

RawWebSocket::RawWebSocket(QObject *parent) : QObject(parent)
{
    connect(&socket, &QTcpSocket::readyRead, this, [this] {
        if (reading)
            parse();
    });
}

bool RawWebSocket::handshake(quint16 port, const QByteArray &path, const QByteArray &extraHeaders,
                             int timeoutMs)
{
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; },
                         timeoutMs))
        return false;
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket.write("GET " + path +
                 " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                 "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" +
                 extraHeaders + "\r\n");
    return QTest::qWaitFor([&] { return !responseHead.isEmpty(); }, timeoutMs);
}

QByteArray RawWebSocket::frameHeader(int opcode, quint64 size, bool final, quint32 key)
{
    QByteArray out;
    out.append(char((final ? 0x80 : 0x00) | (opcode & 0x0F)));
    if (size < 126) {
        out.append(char(0x80 | size));
    } else if (size < 65536) {
        out.append(char(0x80 | 126));
        out.append(char(size >> 8)).append(char(size & 0xFF));
    } else {
        out.append(char(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8)
            out.append(char((size >> shift) & 0xFF));
    }
    const char mask[4] = {char(key >> 24), char(key >> 16), char(key >> 8), char(key)};
    out.append(mask, 4);
    return out;
}

QByteArray RawWebSocket::frame(int opcode, const QByteArray &payload, bool final)
{
    const quint32 key = QRandomGenerator::global()->generate();
    QByteArray out = frameHeader(opcode, quint64(payload.size()), final, key);
    const char mask[4] = {char(key >> 24), char(key >> 16), char(key >> 8), char(key)};
    const int start = out.size();
    out.append(payload);
    char *masked = out.data() + start;
    for (int i = 0; i < payload.size(); ++i)
        masked[i] = char(masked[i] ^ mask[i % 4]);
    return out;
}

void RawWebSocket::sendFrame(int opcode, const QByteArray &payload)
{
    socket.write(frame(opcode, payload));
}

void RawWebSocket::sendRaw(const QByteArray &bytes)
{
    socket.write(bytes);
}

void RawWebSocket::parse()
{
    pending.append(socket.readAll());
    if (responseHead.isEmpty()) {
        const int end = pending.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        responseHead = pending.left(end + 4);
        pending.remove(0, end + 4);
    }
    for (;;) {
        if (pending.size() < 2)
            return;
        const int opcode = pending[0] & 0x0F;
        qint64 size = pending[1] & 0x7F;
        int at = 2;
        if (size == 126) {
            if (pending.size() < 4)
                return;
            size = (quint8(pending[2]) << 8) | quint8(pending[3]);
            at = 4;
        } else if (size == 127) {
            if (pending.size() < 10)
                return;
            size = 0;
            for (int i = 2; i < 10; ++i)
                size = (size << 8) | quint8(pending[i]);
            at = 10;
        }
        if (pending.size() < at + size)
            return;
        const QByteArray payload = pending.mid(at, int(size));
        pending.remove(0, at + int(size));
        parsed.append({opcode, payload});
        if (opcode == 9)
            sendFrame(10, payload);
        emit frameReceived(opcode, payload);
    }
}

QList<RawWebSocket::Frame> RawWebSocket::frames()
{
    return parsed;
}

RawWebSocket::Frame RawWebSocket::waitForFrame(int opcode, int timeoutMs)
{
    Frame found;
    const bool arrived = QTest::qWaitFor(
        [&] {
            for (const Frame &f : parsed) {
                if (f.opcode == opcode) {
                    found = f;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    Q_UNUSED(arrived);
    return found;
}

void RawWebSocket::stopReading()
{
    reading = false;
    // Qt stops draining the kernel's buffer once its own holds this much.
    socket.setReadBufferSize(1);
}

void RawWebSocket::resumeReading()
{
    reading = true;
    socket.setReadBufferSize(0);
    parse();
}

bool RawWebSocket::waitForDisconnected(int timeoutMs)
{
    return QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; },
                           timeoutMs);
}

CloseFrame CloseFrame::from(const QByteArray &payload)
{
    CloseFrame close;
    if (payload.size() >= 2) {
        close.code = (quint8(payload[0]) << 8) | quint8(payload[1]);
        close.reason = payload.mid(2);
    }
    return close;
}
