#include "credentials/vncpasswordfile.h"

#include "credentials/des.h"
#include "credentials/privatefile.h"

#include <QFileInfo>

#include <cstring>

namespace credentials {

// The key with which VNC servers (TigerVNC among them) decode their password files.
const unsigned char vncPasswordKey[8] = {23, 82, 107, 6, 35, 78, 88, 7};

namespace {

constexpr int blockSize = 8;

} // namespace

QByteArray vncPasswordBlock(const QString &password)
{
    // Padding the text with U+0000 to 8 units would only add bytes after the cut, so it is left
    // out.
    const QByteArray utf8 = password.left(blockSize).toUtf8();
    int length = utf8.indexOf('\0');
    if (length < 0 || length > blockSize)
        length = qMin(int(utf8.size()), blockSize);
    QByteArray block(blockSize, '\0');
    std::memcpy(block.data(), utf8.constData(), std::size_t(length));
    return block;
}

QByteArray encodeVncPassword(const QString &password)
{
    QByteArray block = vncPasswordBlock(password);
    auto *bytes = reinterpret_cast<unsigned char *>(block.data());
    des::setKey(vncPasswordKey, des::Encrypt);
    des::transform(bytes, bytes);
    return block;
}

QString decodeVncPassword(const QByteArray &file)
{
    if (file.size() != blockSize)
        return {};
    QByteArray block = file;
    auto *bytes = reinterpret_cast<unsigned char *>(block.data());
    des::setKey(vncPasswordKey, des::Decrypt);
    des::transform(bytes, bytes);
    const int end = block.indexOf('\0');
    return QString::fromUtf8(block.left(end < 0 ? blockSize : end));
}

bool writePasswordFile(const QString &fileName, const QByteArray &data)
{
    if (fileName.isEmpty())
        return false;
    // Opening a read-only file for writing fails; keep that refusal although a rename would not.
    const QFileInfo existing(fileName);
    if (!existing.isSymLink() && existing.isFile() && !existing.isWritable())
        return false;

    return replaceWithPrivateFile(fileName, data);
}

} // namespace credentials
