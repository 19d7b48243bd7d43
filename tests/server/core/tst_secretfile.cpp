// The server secret on disk: made once with owner-only permissions, kept afterwards, and a clear
// error instead of a new secret when the file is unusable.
#include "server/core/secretfile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using namespace velmora::server;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

unsigned mode(const QString &path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return 0xFFFF;
    return info.st_mode & 07777;
}

} // namespace

class TestSecretFile : public QObject
{
    Q_OBJECT

private slots:
    void missingFileIsCreatedOwnerOnly()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("velmora-server.secret");
        const SecretFile made = loadOrCreateSecret(path.toStdString());
        QVERIFY2(made.ok, made.error.c_str());
        QVERIFY(made.created);
        QCOMPARE(made.secret.size(), std::size_t(32));
        QCOMPARE(mode(path), 0600u);
        const QByteArray content = readAll(path);
        QCOMPARE(content.size(), 65);
        QVERIFY(content.endsWith('\n'));
        QCOMPARE(QByteArray::fromHex(content.trimmed()), QByteArray::fromStdString(made.secret));
        // No temporary file is left beside it.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"velmora-server.secret"});
    }

    void existingFileIsKept()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("secret");
        const SecretFile first = loadOrCreateSecret(path.toStdString());
        const QByteArray before = readAll(path);
        const SecretFile second = loadOrCreateSecret(path.toStdString());
        QVERIFY(second.ok);
        QVERIFY(!second.created);
        QCOMPARE(second.secret, first.secret);
        QCOMPARE(readAll(path), before);
    }

    void handWrittenSecretIsRead_data()
    {
        QTest::addColumn<QByteArray>("content");
        const QByteArray hex = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
        QTest::newRow("with line break") << hex + "\n";
        QTest::newRow("without line break") << hex;
        QTest::newRow("Windows line break") << hex + "\r\n";
        QTest::newRow("upper case") << hex.toUpper() + "\n";
    }
    void handWrittenSecretIsRead()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const QString path = dir.filePath("secret");
        writeFile(path, content);
        ::chmod(QFile::encodeName(path).constData(), 0600);
        const SecretFile loaded = loadOrCreateSecret(path.toStdString());
        QVERIFY2(loaded.ok, loaded.error.c_str());
        QCOMPARE(QByteArray::fromStdString(loaded.secret).toHex(), content.trimmed().toLower());
        QVERIFY(loaded.warning.empty());
    }

    void malformedFileIsAnErrorAndStaysUntouched_data()
    {
        QTest::addColumn<QByteArray>("content");
        const QByteArray hex = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("one digit short") << hex.left(63);
        QTest::newRow("one digit more") << hex + "0";
        QTest::newRow("not hexadecimal") << QByteArray(hex).replace(10, 1, "g");
        QTest::newRow("two lines") << hex + "\n" + hex + "\n";
        QTest::newRow("leading space") << " " + hex;
        QTest::newRow("binary") << QByteArray(4096, '\xff');
    }
    void malformedFileIsAnErrorAndStaysUntouched()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const QString path = dir.filePath("secret");
        writeFile(path, content);
        const SecretFile loaded = loadOrCreateSecret(path.toStdString());
        QVERIFY(!loaded.ok);
        QVERIFY(loaded.secret.empty());
        QVERIFY2(QString::fromStdString(loaded.error).contains("malformed"), loaded.error.c_str());
        QVERIFY(QString::fromStdString(loaded.error).contains(path));
        QCOMPARE(readAll(path), content);
    }

    void unreadablePathIsAnError()
    {
        // A directory in place of the file cannot be read (as root too, unlike mode 000).
        QTemporaryDir dir;
        const SecretFile loaded = loadOrCreateSecret(dir.path().toStdString());
        QVERIFY(!loaded.ok);
        QVERIFY2(QString::fromStdString(loaded.error).startsWith("cannot read secret file"),
                 loaded.error.c_str());
    }

    // A FIFO would block the start-up on its first read, with no output at all.
    void fifoIsRefusedAtOnce()
    {
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.filePath("secret"));
        QCOMPARE(::mkfifo(path.constData(), 0600), 0);
        const SecretFile loaded = loadOrCreateSecret(path.toStdString());
        QVERIFY(!loaded.ok);
        QCOMPARE(QString::fromStdString(loaded.error),
                 "cannot read secret file " + QString::fromUtf8(path) + ": not a regular file");
    }

    void missingFolderIsAnError()
    {
        QTemporaryDir dir;
        const SecretFile loaded =
            loadOrCreateSecret(dir.filePath("no/such/folder/secret").toStdString());
        QVERIFY(!loaded.ok);
        QVERIFY2(QString::fromStdString(loaded.error).startsWith("cannot create secret file"),
                 loaded.error.c_str());
    }

    void loosePermissionsAreReported()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("secret");
        QVERIFY(loadOrCreateSecret(path.toStdString()).ok);
        ::chmod(QFile::encodeName(path).constData(), 0644);
        const SecretFile loaded = loadOrCreateSecret(path.toStdString());
        QVERIFY(loaded.ok);
        QVERIFY2(QString::fromStdString(loaded.warning).contains("chmod 600"),
                 loaded.warning.c_str());
    }

    void secretsDiffer()
    {
        QTemporaryDir dir;
        const SecretFile a = loadOrCreateSecret(dir.filePath("a").toStdString());
        const SecretFile b = loadOrCreateSecret(dir.filePath("b").toStdString());
        QVERIFY(a.ok && b.ok);
        QVERIFY(a.secret != b.secret);
    }
};

QTEST_GUILESS_MAIN(TestSecretFile)
#include "tst_secretfile.moc"
