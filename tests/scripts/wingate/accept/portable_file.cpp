// The portable ways to the same ends: Qt for files and processes, the platform's own call only
// under the platform's guard.
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif
#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

static_assert(sizeof(void *) == 4, "the Windows target is 32-bit");

bool writeSecret(const QByteArray &bytes)
{
    QSaveFile file(QStringLiteral("secret.dat"));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
#ifdef Q_OS_UNIX
    ::chmod(QFile::encodeName(file.fileName()).constData(), 0600);
#endif
#ifdef Q_OS_WIN
    SetFileAttributesW(reinterpret_cast<const wchar_t *>(file.fileName().utf16()), FILE_ATTRIBUTE_NORMAL);
#endif
    return file.write(bytes) == bytes.size() && file.commit();
}

qint64 processId()
{
    return QCoreApplication::applicationPid();
}

qint64 toBytes(qint64 kilobytes)
{
    return kilobytes * 1024;
}

QString findProgram()
{
    return QStandardPaths::findExecutable(QStringLiteral("winvnc4.exe"));
}
