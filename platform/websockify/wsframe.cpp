#include "platform/websockify/wsframe.h"

#include <QCryptographicHash>

namespace wsframe {

std::optional<Header> parseHeader(const QByteArray &data)
{
    if (data.size() < 2)
        return std::nullopt;
    const auto byte = [&data](int i) { return quint8(data[i]); };
    Header header;
    header.final = byte(0) & 0x80;
    header.reserved = (byte(0) >> 4) & 0x7;
    header.opcode = byte(0) & 0x0F;
    header.masked = byte(1) & 0x80;
    header.length = byte(1) & 0x7F;
    int lengthBytes = 0;
    if (header.length == 126)
        lengthBytes = 2;
    else if (header.length == 127)
        lengthBytes = 8;
    header.size = 2 + lengthBytes + (header.masked ? 4 : 0);
    if (data.size() < header.size)
        return std::nullopt;
    if (lengthBytes > 0) {
        header.length = 0;
        for (int i = 0; i < lengthBytes; ++i)
            header.length = (header.length << 8) | byte(2 + i);
    }
    if (header.masked) {
        for (int i = 0; i < 4; ++i)
            header.mask[i] = byte(2 + lengthBytes + i);
    }
    return header;
}

QByteArray serverHeader(Opcode opcode, quint64 length)
{
    QByteArray header;
    header += char(0x80 | opcode);
    if (length < 126) {
        header += char(length);
    } else if (length <= 0xFFFF) {
        header += char(126);
        header += char(length >> 8);
        header += char(length & 0xFF);
    } else {
        header += char(127);
        for (int shift = 56; shift >= 0; shift -= 8)
            header += char((length >> shift) & 0xFF);
    }
    return header;
}

void unmask(QByteArray &data, const quint8 (&mask)[4], quint64 offset)
{
    char *bytes = data.data();
    for (int i = 0; i < data.size(); ++i)
        bytes[i] = char(bytes[i] ^ mask[(offset + quint64(i)) % 4]);
}

QByteArray closePayload(quint16 code, const QByteArray &reason)
{
    QByteArray payload;
    payload += char(code >> 8);
    payload += char(code & 0xFF);
    payload += reason.left(123);
    return payload;
}

QByteArray acceptKey(const QByteArray &key)
{
    return QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11",
                                    QCryptographicHash::Sha1)
        .toBase64();
}

} // namespace wsframe
