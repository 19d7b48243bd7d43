#include "credentials/privatefile.h"

#include <QFile>
#include <QTemporaryFile>

#include <filesystem>
#include <string>
#include <system_error>

#include <unistd.h>

namespace credentials {

namespace {

std::filesystem::path nativePath(const QString &fileName)
{
    const QByteArray encoded = QFile::encodeName(fileName);
    return std::filesystem::path(std::string(encoded.constData(), std::size_t(encoded.size())));
}

} // namespace

bool replaceWithPrivateFile(const QString &fileName, const QByteArray &data)
{
    // QTemporaryFile creates its file exclusively and owner-only (0600) in the same folder, so
    // the secret is never readable by others and the rename below stays on one file system.
    QTemporaryFile file(fileName + QStringLiteral(".XXXXXX"));
    if (!file.open())
        return false;
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return false;
    // Durable before the rename publishes it: a crash cannot leave an empty file in place of the
    // old one.
    if (file.write(data) != data.size() || !file.flush() || ::fsync(file.handle()) != 0)
        return false;
    file.close();
    if (file.error() != QFileDevice::NoError)
        return false;

    // rename() replaces an existing target in one step, which QFile::rename refuses to do; a
    // symbolic link in the target's place is replaced, not followed.
    std::error_code error;
    std::filesystem::rename(nativePath(file.fileName()), nativePath(fileName), error);
    if (error)
        return false; // the temporary file removes itself
    file.setAutoRemove(false);
    return true;
}

} // namespace credentials
