#include "rfbclient.h"

#include "credentials/des.h"
#include "credentials/vncpasswordfile.h"

#include <QTest>
#include <QtEndian>

namespace {

constexpr qint32 kRawEncoding = 0;
constexpr qint32 kRichCursorEncoding = -239;

quint32 be32(const QByteArray &bytes, int at)
{
    return qFromBigEndian<quint32>(bytes.constData() + at);
}

quint16 be16(const QByteArray &bytes, int at)
{
    return qFromBigEndian<quint16>(bytes.constData() + at);
}

void put16(QByteArray &out, quint16 value)
{
    char bytes[2];
    qToBigEndian(value, bytes);
    out.append(bytes, 2);
}

void put32(QByteArray &out, quint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

} // namespace

RfbClient::RfbClient()
{
    QObject::connect(&socket, &QWebSocket::binaryMessageReceived,
                     [this](const QByteArray &message) { pending += message; });
}

bool RfbClient::fail(const QString &why)
{
    failure = why;
    return false;
}

bool RfbClient::read(int count, QByteArray &out, int timeoutMs)
{
    if (!QTest::qWaitFor(
            [&] {
                return pending.size() >= count ||
                       socket.state() == QAbstractSocket::UnconnectedState;
            },
            timeoutMs) ||
        pending.size() < count)
        return fail(QStringLiteral("%1 bytes expected, %2 arrived (%3)")
                        .arg(count)
                        .arg(pending.size())
                        .arg(socket.closeReason()));
    out = pending.left(count);
    pending.remove(0, count);
    return true;
}

bool RfbClient::login(const QUrl &url, const QString &password, int timeoutMs)
{
    socket.open(url);
    QByteArray bytes;
    if (!read(12, bytes, timeoutMs))
        return false;
    if (!bytes.startsWith("RFB 003."))
        return fail(QStringLiteral("not an RFB greeting: ") + QString::fromLatin1(bytes));
    socket.sendBinaryMessage("RFB 003.008\n");

    if (!read(1, bytes, timeoutMs))
        return false;
    QByteArray types;
    if (bytes.at(0) == 0 || !read(quint8(bytes.at(0)), types, timeoutMs))
        return fail(QStringLiteral("no security types offered"));
    if (!types.contains(char(2)))
        return fail(QStringLiteral("VNC authentication not offered"));
    socket.sendBinaryMessage(QByteArray(1, char(2)));

    // The response is the challenge DES-encrypted with the password as the key, each key byte
    // taken least significant bit first: the key order that des::setKey expects.
    QByteArray challenge;
    if (!read(16, challenge, timeoutMs))
        return false;
    const QByteArray key = credentials::vncPasswordBlock(password);
    credentials::des::setKey(reinterpret_cast<const unsigned char *>(key.constData()),
                             credentials::des::Encrypt);
    QByteArray response(16, '\0');
    for (int half = 0; half < 16; half += 8)
        credentials::des::transform(
            reinterpret_cast<const unsigned char *>(challenge.constData() + half),
            reinterpret_cast<unsigned char *>(response.data() + half));
    socket.sendBinaryMessage(response);
    if (!read(4, bytes, timeoutMs))
        return false;
    if (be32(bytes, 0) != 0)
        return fail(QStringLiteral("password refused"));

    socket.sendBinaryMessage(QByteArray(1, char(1))); // ClientInit, shared
    if (!read(24, bytes, timeoutMs))
        return false;
    width = be16(bytes, 0);
    height = be16(bytes, 2);
    QByteArray nameBytes;
    if (!read(int(be32(bytes, 20)), nameBytes, timeoutMs))
        return false;
    name = QString::fromUtf8(nameBytes);
    return true;
}

QImage RfbClient::screen(int timeoutMs)
{
    // 32 bits per pixel, depth 24, little-endian, true colour 0xRRGGBB: QImage's RGB32.
    QByteArray format(4, '\0');
    format[0] = 0; // SetPixelFormat
    format += QByteArray::fromHex("2018000100ff00ff00ff100800000000");
    QByteArray encodings;
    encodings.append(char(2)).append(char(0));
    put16(encodings, 2);
    put32(encodings, quint32(kRawEncoding));
    put32(encodings, quint32(kRichCursorEncoding));
    QByteArray request;
    request.append(char(3)).append(char(0)); // full, not incremental
    put16(request, 0);
    put16(request, 0);
    put16(request, quint16(width));
    put16(request, quint16(height));
    socket.sendBinaryMessage(format + encodings + request);

    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::black);
    QRegion missing(0, 0, width, height);
    QByteArray bytes;
    while (!missing.isEmpty()) {
        if (!read(4, bytes, timeoutMs))
            return QImage();
        if (bytes.at(0) != 0) { // anything but a framebuffer update: bell, colour map, ...
            fail(QStringLiteral("unexpected server message %1").arg(int(bytes.at(0))));
            return QImage();
        }
        const int rectangles = be16(bytes, 2);
        for (int i = 0; i < rectangles; ++i) {
            if (!read(12, bytes, timeoutMs))
                return QImage();
            const int x = be16(bytes, 0), y = be16(bytes, 2), w = be16(bytes, 4),
                      h = be16(bytes, 6);
            const qint32 encoding = qint32(be32(bytes, 8));
            QByteArray pixels;
            if (encoding == kRichCursorEncoding) {
                if (!read(w * h * 4 + (w + 7) / 8 * h, pixels, timeoutMs))
                    return QImage();
                continue;
            }
            if (encoding != kRawEncoding) {
                fail(QStringLiteral("unexpected encoding %1").arg(encoding));
                return QImage();
            }
            if (!read(w * h * 4, pixels, timeoutMs))
                return QImage();
            // Little-endian 0x00RRGGBB; QImage wants the unused byte set.
            for (int row = 0; row < h; ++row) {
                auto *line = reinterpret_cast<QRgb *>(image.scanLine(y + row)) + x;
                for (int column = 0; column < w; ++column)
                    line[column] =
                        qFromLittleEndian<quint32>(pixels.constData() + (row * w + column) * 4) |
                        0xff000000u;
            }
            missing -= QRect(x, y, w, h);
        }
        if (!missing.isEmpty()) // the server may split the update: ask for the rest
            socket.sendBinaryMessage(request);
    }
    return image;
}
