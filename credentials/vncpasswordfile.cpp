#include "credentials/vncpasswordfile.h"

#include "credentials/des.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace credentials {

// The key with which VNC servers (TigerVNC among them) decode their password files.
const unsigned char vncPasswordKey[8] = {23, 82, 107, 6, 35, 78, 88, 7};

namespace {

constexpr int blockSize = 8;

std::filesystem::path nativePath(const QString &fileName)
{
#ifdef Q_OS_WIN
    return std::filesystem::path(fileName.toStdWString());
#else
    const QByteArray encoded = QFile::encodeName(fileName);
    return std::filesystem::path(std::string(encoded.constData(), std::size_t(encoded.size())));
#endif
}

// Makes the written bytes durable before the rename publishes them, so that a crash cannot leave
// an empty file in place of the old one.
bool syncToDisk(QFile &file)
{
#ifdef Q_OS_UNIX
    return ::fsync(file.handle()) == 0;
#else
    Q_UNUSED(file);
    return true;
#endif
}

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

    // QTemporaryFile creates its file exclusively and owner-only (0600 on Unix) in the same folder,
    // so the secret is never readable by others and the rename below stays on one file system.
    QTemporaryFile file(fileName + QStringLiteral(".XXXXXX"));
    if (!file.open())
        return false;
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return false;
    if (file.write(data) != data.size() || !file.flush() || !syncToDisk(file))
        return false;
    file.close();
    if (file.error() != QFileDevice::NoError)
        return false;

    // std::filesystem::rename replaces an existing target in one step on every platform (POSIX
    // rename, MoveFileEx with MOVEFILE_REPLACE_EXISTING), which QFile::rename refuses to do.
    std::error_code error;
    std::filesystem::rename(nativePath(file.fileName()), nativePath(fileName), error);
    if (error)
        return false; // the temporary file removes itself
    file.setAutoRemove(false);
    return true;
}

} // namespace credentials
