// The TLS settings of the server and velmora-connect: TLS 1.2 at least, the server's files read
// and checked with a clear error for each way they can be unusable, and the client's CA file.
#include "testcertificates.h"
#include "toolrun.h"

#include "server/beast/tlscontext.h"

#include <QFile>
#include <QtTest>

#include <openssl/ssl.h>

#include <stdexcept>

using namespace velmora::server;

namespace {

// The message of what `make` throws; empty when it throws nothing.
template <class Make> QString thrown(Make make)
{
    try {
        make();
    } catch (const std::runtime_error &error) {
        return QString::fromStdString(error.what());
    }
    return {};
}

} // namespace

class TestTlsContext : public QObject
{
    Q_OBJECT

private:
    TestCertificates certificates;

    std::string file(const QString &name) const { return certificates.path(name).toStdString(); }

private slots:
    void initTestCase()
    {
        QVERIFY2(certificates.ok(), qPrintable(certificates.error()));
        QFile garbage(certificates.path("garbage.pem"));
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write("not a PEM file\n");
        garbage.close();
        const ToolResult encrypted =
            runTool("openssl",
                    {"pkey", "-in", certificates.path("server.key"), "-aes256", "-passout",
                     "pass:secret", "-out", certificates.path("encrypted.key")},
                    QProcessEnvironment::systemEnvironment());
        QVERIFY2(encrypted.exitCode == 0, encrypted.output.constData());
    }

    void serverContextAllowsTls12AndLater()
    {
        const auto context = serverTlsContext(file("server.crt"), file("server.key"));
        QVERIFY(context);
        QCOMPARE(SSL_CTX_get_min_proto_version(context->native_handle()), TLS1_2_VERSION);
        QCOMPARE(SSL_CTX_get_max_proto_version(context->native_handle()), 0);
    }

    void unusableServerFilesAreNamed_data()
    {
        QTest::addColumn<QString>("cert");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("message");
        QTest::newRow("no certificate file")
            << "missing.crt"
            << "server.key"
            << "cannot read TLS certificate file %1missing.crt: No such file or directory";
        QTest::newRow("no key file") << "server.crt"
                                     << "missing.key"
                                     << "cannot read TLS key file %1missing.key: No such file or "
                                        "directory";
        QTest::newRow("a folder as certificate")
            << "."
            << "server.key"
            << "cannot read TLS certificate file %1.: Is a directory";
        QTest::newRow("a device as key") << "server.crt"
                                         << "/dev/zero"
                                         << "cannot read TLS key file /dev/zero: larger than 1 MiB";
        QTest::newRow("certificate not PEM")
            << "garbage.pem"
            << "server.key"
            << "TLS certificate file %1garbage.pem holds no usable certificate";
        QTest::newRow("key not PEM") << "server.crt"
                                     << "garbage.pem"
                                     << "TLS key file %1garbage.pem holds no usable private key";
        QTest::newRow("certificate as key")
            << "server.crt"
            << "server.crt"
            << "TLS key file %1server.crt holds no usable private key";
        QTest::newRow("encrypted key")
            << "server.crt"
            << "encrypted.key"
            << "TLS key file %1encrypted.key holds no usable private key";
        QTest::newRow("another certificate's key")
            << "server.crt"
            << "elsewhere.key"
            << "the TLS key in %1elsewhere.key does not belong to the certificate in "
               "%1server.crt";
        QTest::newRow("a CA's key") << "server.crt"
                                    << "ca.key"
                                    << "the TLS key in %1ca.key does not belong to the certificate "
                                       "in %1server.crt";
    }
    void unusableServerFilesAreNamed()
    {
        QFETCH(QString, cert);
        QFETCH(QString, key);
        QFETCH(QString, message);
        const QString folder = certificates.folder() + '/';
        const auto pathOf = [&](const QString &name) {
            return name.startsWith('/') ? name.toStdString() : file(name);
        };
        const QString error = thrown([&] { serverTlsContext(pathOf(cert), pathOf(key)); });
        QVERIFY2(error.startsWith(message.replace("%1", folder)), qPrintable(error));
        if (key == "encrypted.key")
            QVERIFY2(error.contains("without a passphrase"), qPrintable(error));
    }

    void clientContextVerifiesPeers()
    {
        for (const std::string &caFile : {file("ca.crt"), std::string()}) {
            const auto context = clientTlsContext(caFile);
            QVERIFY(context);
            QCOMPARE(SSL_CTX_get_verify_mode(context->native_handle()), SSL_VERIFY_PEER);
            QCOMPARE(SSL_CTX_get_min_proto_version(context->native_handle()), TLS1_2_VERSION);
        }
    }

    void unusableCaFileIsNamed()
    {
        const QString folder = certificates.folder() + '/';
        QCOMPARE(thrown([&] { clientTlsContext(file("missing.crt")); }),
                 "cannot read CA file " + folder + "missing.crt: No such file or directory");
        const QString notPem = thrown([&] { clientTlsContext(file("server.key")); });
        QVERIFY2(notPem.startsWith("CA file " + folder + "server.key holds no usable certificate"),
                 qPrintable(notPem));
    }
};

QTEST_GUILESS_MAIN(TestTlsContext)
#include "tst_tlscontext.moc"
