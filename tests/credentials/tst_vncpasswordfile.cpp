// The VNC password file: the plaintext block, the encoding against TigerVNC's own vncpasswd, and
// the file on disk.
//
// How `vncpasswd -f` (TigerVNC 1.12) treats its input, found by trying it: it reads up to two
// lines from stdin (the password and an optional view-only password; further lines are ignored)
// and writes 8 bytes of password file for each. The line's "\n" is dropped; the password ends at
// the first zero byte (it is handled as a C string); only its first 8 bytes count, even where that
// splits a UTF-8 character. In -f mode it takes passwords of any length, four digits included, and
// an empty line gives the file of the empty password, but input without any line (immediate end of
// file) makes it exit with status 1 and write nothing. So each password is fed as its UTF-8 bytes
// followed by "\n", and the empty password as a lone "\n".
#include "credentials/des.h"
#include "credentials/vncpasswordfile.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>

#include <aclapi.h>
#endif

namespace {

const QString fileName = QStringLiteral("vnc_password_session.dat");

// Runs `vncpasswd -f` on `input`; an empty result when it fails.
QByteArray vncpasswd(const QByteArray &input)
{
    QProcess process;
    process.start(QStringLiteral("vncpasswd"), {QStringLiteral("-f")});
    if (!process.waitForStarted())
        return {};
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return {};
    return process.readAllStandardOutput();
}

QByteArray decrypt(const QByteArray &file)
{
    QByteArray block = file;
    auto *bytes = reinterpret_cast<unsigned char *>(block.data());
    credentials::des::setKey(credentials::vncPasswordKey, credentials::des::Decrypt);
    credentials::des::transform(bytes, bytes);
    return block;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Every entry below `root` (hidden ones too) with its kind and contents, to show that nothing was
// created or changed.
QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString name = QDir(root).relativeFilePath(path);
        if (info.isSymLink())
            entries[name] = "link to " + info.symLinkTarget().toUtf8();
        else if (info.isDir())
            entries[name] = "folder";
        else
            entries[name] = readAll(path);
    }
    return entries;
}

#ifndef Q_OS_WIN
// The permission bits that say who may touch the file, without Qt's "user" bits, which merely
// repeat the owner's for a file of ours.
QFileDevice::Permissions accessBits(const QString &path)
{
    return QFile::permissions(path) &
           (QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
            QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
            QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther);
}
#endif

const QFileDevice::Permissions ownerReadWrite = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
const QFileDevice::Permissions worldReadable =
    ownerReadWrite | QFileDevice::ReadGroup | QFileDevice::ReadOther;

#ifdef Q_OS_WIN
// Whether the file's access list lets this user alone in: every entry allows, and names this
// user or the system itself (which Wine, whose access lists are made from Unix modes, always
// lists). What "owner only" means on Windows, where Qt's permission bits only mirror the
// read-only attribute.
bool privateToThisUser(const QString &path)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    BYTE userBuffer[256];
    DWORD size = 0;
    const bool haveUser =
        GetTokenInformation(token, TokenUser, userBuffer, sizeof userBuffer, &size);
    CloseHandle(token);
    if (!haveUser)
        return false;
    const PSID user = reinterpret_cast<TOKEN_USER *>(userBuffer)->User.Sid;
    BYTE systemBuffer[SECURITY_MAX_SID_SIZE];
    DWORD systemSize = sizeof systemBuffer;
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, systemBuffer, &systemSize))
        return false;

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(
            reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
            SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
            &descriptor) != ERROR_SUCCESS)
        return false;
    bool userHasFullControl = false;
    bool othersLetIn = !dacl; // no list at all lets everyone in
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void *ace = nullptr;
        if (!GetAce(dacl, i, &ace))
            othersLetIn = true;
        const auto *allowed = static_cast<ACCESS_ALLOWED_ACE *>(ace);
        if (!ace || allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue; // a denial lets nobody in
        PSID sid = const_cast<DWORD *>(&allowed->SidStart);
        if (EqualSid(sid, user))
            userHasFullControl = (allowed->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS;
        else if (!EqualSid(sid, systemBuffer))
            othersLetIn = true;
    }
    LocalFree(descriptor);
    return userHasFullControl && !othersLetIn;
}
#endif

// Readable and writable by its owner alone.
bool ownerOnlyAccess(const QString &path)
{
#ifdef Q_OS_WIN
    return privateToThisUser(path);
#else
    return accessBits(path) == ownerReadWrite;
#endif
}

// As an ordinary file of its folder is: others may read it (Unix: 0644; Windows: whatever the
// folder passes on).
bool ordinaryAccess(const QString &path)
{
#ifdef Q_OS_WIN
    return !privateToThisUser(path);
#else
    return accessBits(path) == worldReadable;
#endif
}

bool writeRaw(const QString &path, const QByteArray &bytes, QFileDevice::Permissions permissions)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() &&
           file.setPermissions(permissions);
}

// True when this process can write files whatever their permissions say (root, for instance).
bool permissionsAreBypassed(const QString &folder)
{
    const QString probe = folder + QStringLiteral("/probe");
    writeRaw(probe, "x", QFileDevice::ReadOwner);
    QFile file(probe);
    const bool bypassed = file.open(QIODevice::WriteOnly | QIODevice::Append);
    file.close();
    QFile::setPermissions(probe, ownerReadWrite);
    QFile::remove(probe);
    return bypassed;
}

} // namespace

class TestVncPasswordFile : public QObject
{
    Q_OBJECT

private slots:
    void block_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("block");
        const auto row = [](const char *name, const QString &password, const char *hex) {
            QTest::newRow(name) << password << QByteArray::fromHex(hex);
        };
        row("four digits", QStringLiteral("0042"), "3030343200000000");
        row("empty", QString(), "0000000000000000");
        row("exactly eight", QStringLiteral("abcdefgh"), "6162636465666768");
        // Passwords that agree in their first 8 characters give the same file.
        row("longer than eight", QStringLiteral("abcdefghijk"), "6162636465666768");
        row("longer than eight, other tail", QStringLiteral("abcdefgh12"), "6162636465666768");
        row("two-byte character cut", QStringLiteral("abcdefg\u00e9"), "61626364656667c3");
        row("three-byte character cut", QStringLiteral("123456\u20ac"), "313233343536e282");
        row("embedded U+0000", QStringLiteral("12") + QChar(0) + QStringLiteral("4"),
            "3132000000000000");
        row("leading U+0000", QChar(0) + QStringLiteral("1234"), "0000000000000000");
        // The cut at 8 UTF-16 units splits the surrogate pair of U+1F600; Qt encodes the lone
        // high surrogate that remains as '?'.
        row("surrogate pair cut", QStringLiteral("1234567") + QString::fromUtf8("\xf0\x9f\x98\x80"),
            "313233343536373f");
    }
    void block()
    {
        QFETCH(QString, password);
        QFETCH(QByteArray, block);
        QCOMPARE(credentials::vncPasswordBlock(password).toHex(), block.toHex());
        QCOMPARE(decrypt(credentials::encodeVncPassword(password)).toHex(), block.toHex());
    }

    // Files that TigerVNC 1.12's `vncpasswd -f` wrote, kept so that the key and the key-bit order
    // are checked where vncpasswd is not installed.
    void knownFiles_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("1234") << QStringLiteral("1234") << QByteArray::fromHex("ee5b0e48c8fe9771");
        QTest::newRow("empty") << QString() << QByteArray::fromHex("5ab2cdc0badcaf13");
        QTest::newRow("12345678") << QStringLiteral("12345678")
                                  << QByteArray::fromHex("f0e43164f6c2e373");
    }
    void knownFiles()
    {
        QFETCH(QString, password);
        QFETCH(QByteArray, file);
        QCOMPARE(credentials::encodeVncPassword(password).toHex(), file.toHex());
        QCOMPARE(credentials::decodeVncPassword(file),
                 password.isNull() ? QStringLiteral("") : password);
    }

    void decodeIsTheInverseForSessionPasswords()
    {
        for (int n = 0; n < 10000; n += 7) {
            const QString password = QString::number(n).rightJustified(4, QLatin1Char('0'));
            QCOMPARE(credentials::decodeVncPassword(credentials::encodeVncPassword(password)),
                     password);
        }
        QVERIFY(credentials::decodeVncPassword(QByteArray(7, 'x')).isNull());
        QVERIFY(credentials::decodeVncPassword(QByteArray(9, 'x')).isNull());
    }

    void sameWithVncpasswd_data()
    {
        QTest::addColumn<QString>("password");
        const auto row = [](const char *name, const QString &password) {
            QTest::newRow(name) << password;
        };
        row("0000", QStringLiteral("0000"));
        row("0042", QStringLiteral("0042"));
        row("9999", QStringLiteral("9999"));
        row("empty", QString());
        row("seven characters", QStringLiteral("abcdefg"));
        row("exactly eight", QStringLiteral("abcdefgh"));
        row("longer than eight", QStringLiteral("abcdefghijkl"));
        row("symbols and space", QStringLiteral("p@ss w0rd!"));
        row("non-ASCII, exactly eight bytes", QStringLiteral("a\u00f1o\u00f1\u00e9"));
        row("two-byte character cut", QStringLiteral("abcdefg\u00e9"));
        row("two-byte character cut later", QStringLiteral("\u00f1and\u00fa\u00f1and\u00fa"));
        row("three-byte character cut", QStringLiteral("123456\u20ac"));
        row("four-byte character cut",
            QStringLiteral("12345") + QString::fromUtf8("\xf0\x9f\x98\x80"));
        row("embedded U+0000", QStringLiteral("12") + QChar(0) + QStringLiteral("4"));
        row("leading U+0000", QChar(0) + QStringLiteral("1234"));
    }
    void sameWithVncpasswd()
    {
        QFETCH(QString, password);
        if (QStandardPaths::findExecutable(QStringLiteral("vncpasswd")).isEmpty())
            QSKIP("vncpasswd not found: install the Debian package tigervnc-tools "
                  "(scripts/install-deps.sh --test)");
        // vncpasswd gets the whole password and does its own cut at 8 bytes and at a zero byte.
        const QByteArray expected = vncpasswd(password.toUtf8() + '\n');
        QCOMPARE(expected.size(), 8);
        QCOMPARE(credentials::encodeVncPassword(password).toHex(), expected.toHex());
    }

    // Session passwords across the whole range, two per run of vncpasswd (as password and
    // view-only password): n and 9999 - n for n = 0, 202, 404, ...
    void sessionPasswordsSameWithVncpasswd()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("vncpasswd")).isEmpty())
            QSKIP("vncpasswd not found: install the Debian package tigervnc-tools "
                  "(scripts/install-deps.sh --test)");
        for (int n = 0; n < 10000; n += 202) {
            const QString first = QString::number(n).rightJustified(4, QLatin1Char('0'));
            const QString second = QString::number(9999 - n).rightJustified(4, QLatin1Char('0'));
            const QByteArray theirs = vncpasswd(first.toLatin1() + '\n' + second.toLatin1() + '\n');
            QCOMPARE(theirs.size(), 16);
            QVERIFY2(credentials::encodeVncPassword(first) == theirs.left(8), qPrintable(first));
            QVERIFY2(credentials::encodeVncPassword(second) == theirs.mid(8), qPrintable(second));
        }
    }

    // The key bytes are read least significant bit first; read in plain FIPS 46-3 order (which
    // is what feeding their bit-reversal to setKey amounts to) they give another file.
    void plainKeyOrderGivesAnotherFile()
    {
        unsigned char plainOrder[8];
        for (int i = 0; i < 8; ++i) {
            unsigned char reversed = 0;
            for (int bit = 0; bit < 8; ++bit)
                reversed = static_cast<unsigned char>(
                    (reversed << 1) | ((credentials::vncPasswordKey[i] >> bit) & 1u));
            plainOrder[i] = reversed;
        }
        QByteArray block = credentials::vncPasswordBlock(QStringLiteral("1234"));
        auto *bytes = reinterpret_cast<unsigned char *>(block.data());
        credentials::des::setKey(plainOrder, credentials::des::Encrypt);
        credentials::des::transform(bytes, bytes);
        QVERIFY(block != credentials::encodeVncPassword(QStringLiteral("1234")));
    }

    void writesExactlyTheBytes_data()
    {
        QTest::addColumn<QByteArray>("older");
        QTest::addColumn<bool>("olderExists");
        QTest::newRow("new file") << QByteArray() << false;
        QTest::newRow("older empty file") << QByteArray() << true;
        QTest::newRow("older longer file") << QByteArray(100, 'x') << true;
        QTest::newRow("older shorter file") << QByteArray("abc") << true;
    }
    void writesExactlyTheBytes()
    {
        QFETCH(QByteArray, older);
        QFETCH(bool, olderExists);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(fileName);
        if (olderExists)
            QVERIFY(writeRaw(path, older, ownerReadWrite));
        const QByteArray data = credentials::encodeVncPassword(QStringLiteral("0042"));

        QVERIFY(credentials::writePasswordFile(path, data));
        QCOMPARE(readAll(path).toHex(), data.toHex());
        QCOMPARE(QFileInfo(path).size(), 8);
        QCOMPARE(snapshot(dir.path()).keys(), QStringList{fileName}); // no temporary file left
    }

    // The name as start-up uses it, relative to the working directory.
    void relativeNameInTheWorkingDirectory()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        const bool written =
            credentials::writePasswordFile(QStringLiteral("./") + fileName, QByteArray("12345678"));
        QVERIFY(QDir::setCurrent(previous));
        QVERIFY(written);
        QCOMPARE(snapshot(dir.path()), (QMap<QString, QByteArray>{{fileName, "12345678"}}));
    }

    void ownerOnly_data()
    {
        QTest::addColumn<bool>("olderExists");
        QTest::addColumn<bool>("permissiveUmask");
        QTest::newRow("new file") << false << false;
        QTest::newRow("new file, umask 0") << false << true;
        QTest::newRow("over an older 0644 file") << true << false;
        QTest::newRow("over an older 0644 file, umask 0") << true << true;
    }
    void ownerOnly()
    {
        QFETCH(bool, olderExists);
        QFETCH(bool, permissiveUmask);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(fileName);
        if (olderExists) {
            QVERIFY(writeRaw(path, "older secret", worldReadable));
            QVERIFY(ordinaryAccess(path));
        }
#ifdef Q_OS_LINUX
        const mode_t previousMask = ::umask(permissiveUmask ? 0 : 022);
#else
        if (permissiveUmask)
            QSKIP("umask is a Unix notion");
#endif
        const bool written = credentials::writePasswordFile(path, QByteArray("12345678"));
#ifdef Q_OS_LINUX
        ::umask(previousMask);
#endif
        QVERIFY(written);
        QVERIFY(ownerOnlyAccess(path));
        QCOMPARE(readAll(path), QByteArray("12345678"));
    }

    // A link of that name is replaced by the file itself; what it pointed to stays as it was.
    void symbolicLinkIsReplacedNotFollowed()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(fileName);
        const QString other = dir.filePath(QStringLiteral("other.txt"));
        QVERIFY(writeRaw(other, "someone else's data", worldReadable));
        if (!QFile::link(other, path))
            QSKIP("cannot create symbolic links here");

        QVERIFY(credentials::writePasswordFile(path, QByteArray("12345678")));
        QVERIFY(!QFileInfo(path).isSymLink());
        QCOMPARE(readAll(path), QByteArray("12345678"));
        QVERIFY(ownerOnlyAccess(path));
        QCOMPARE(readAll(other), QByteArray("someone else's data"));
        QVERIFY(ordinaryAccess(other));
    }

    void refusedWithoutChange_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("needsPermissions");
        QTest::newRow("folder does not exist") << QStringLiteral("missing/") + fileName << false;
        QTest::newRow("a file stands for the folder")
            << QStringLiteral("plain/") + fileName << false;
        QTest::newRow("a folder of that name") << QStringLiteral("folder") << false;
        QTest::newRow("empty name") << QString() << false;
        QTest::newRow("read-only older file") << QStringLiteral("readonly.dat") << true;
        QTest::newRow("read-only folder") << QStringLiteral("locked/") + fileName << true;
    }
    void refusedWithoutChange()
    {
        QFETCH(QString, target);
        QFETCH(bool, needsPermissions);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        if (needsPermissions && permissionsAreBypassed(dir.path()))
            QSKIP("this process writes files whatever their permissions (running as root?)");
        const QString root = dir.path() + QLatin1Char('/');
        QVERIFY(writeRaw(root + QStringLiteral("plain"), "plain file", ownerReadWrite));
        QVERIFY(QDir(root).mkpath(QStringLiteral("folder")));
        QVERIFY(writeRaw(root + QStringLiteral("folder/inside"), "inside", ownerReadWrite));
        QVERIFY(
            writeRaw(root + QStringLiteral("readonly.dat"), "read-only", QFileDevice::ReadOwner));
        QVERIFY(QDir(root).mkpath(QStringLiteral("locked")));
        QVERIFY(writeRaw(root + QStringLiteral("locked/") + fileName, "locked", ownerReadWrite));
        QVERIFY(QFile::setPermissions(root + QStringLiteral("locked"),
                                      QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        const auto before = snapshot(dir.path());

        const bool written = credentials::writePasswordFile(
            target.isEmpty() ? QString() : root + target, QByteArray("12345678"));

        QFile::setPermissions(root + QStringLiteral("locked"),
                              ownerReadWrite | QFileDevice::ExeOwner);
        QVERIFY(!written);
        QCOMPARE(snapshot(dir.path()), before);
    }

#ifdef Q_OS_LINUX
    // A write that fails part-way (the file-size limit stops it after 4 of 8 bytes) is reported,
    // and the older file stays whole.
    void failedWriteKeepsTheOlderFile()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(fileName);
        QVERIFY(writeRaw(path, "older", ownerReadWrite));
        const auto before = snapshot(dir.path());

        rlimit previousLimit{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &previousLimit), 0);
        rlimit limit = previousLimit;
        limit.rlim_cur = 4;
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
        const bool written = credentials::writePasswordFile(path, QByteArray("12345678"));
        ::setrlimit(RLIMIT_FSIZE, &previousLimit);
        std::signal(SIGXFSZ, previousHandler);

        QVERIFY(!written);
        QCOMPARE(snapshot(dir.path()), before);
    }
#endif
};

QTEST_APPLESS_MAIN(TestVncPasswordFile)
#include "tst_vncpasswordfile.moc"
