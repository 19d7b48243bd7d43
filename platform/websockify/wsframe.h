// The WebSocket frame format (RFC 6455, section 5.2) as the proxy's server side needs it.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

namespace wsframe {

enum Opcode : quint8 {
    Continuation = 0x0,
    Text = 0x1,
    Binary = 0x2,
    Close = 0x8,
    Ping = 0x9,
    Pong = 0xA,
};

/// A frame's header as a client sent it.
struct Header
{
    bool final = false;
    quint8 reserved = 0; // RSV1..RSV3; no extension is agreed, so they must be 0
    quint8 opcode = 0;
    bool masked = false;
    quint64 length = 0; // of the payload
    quint8 mask[4] = {};
    int size = 0; // of the header itself
};

/// Reads the header at the start of `data`. Nothing when `data` does not hold all of it yet.
std::optional<Header> parseHeader(const QByteArray &data);

/// The header of an unmasked, final frame (a server's) with a payload of `length` bytes.
QByteArray serverHeader(Opcode opcode, quint64 length);

/// Unmasks `data` in place; `offset` is the position of its first byte in the frame's payload.
void unmask(QByteArray &data, const quint8 (&mask)[4], quint64 offset);

/// A close frame's payload: the status code, big-endian, then a UTF-8 reason (at most 123 bytes).
QByteArray closePayload(quint16 code, const QByteArray &reason = QByteArray());

/// The value of "Sec-WebSocket-Accept" for a client's "Sec-WebSocket-Key".
QByteArray acceptKey(const QByteArray &key);

} // namespace wsframe
