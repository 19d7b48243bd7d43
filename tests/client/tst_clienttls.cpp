// The server link over TLS: the real Client against a real TLS WebSocket server in-process that
// plays the rendezvous server, with certificates made by the openssl CLI for this run
// (tests/support/testcertificates.sh). A certificate that fails verification never carries a byte
// of the agent's; the attempt fails and is retried.

#include "certificaterefusal.h"
#include "client/client.h"
#include "configdir.h"
#include "logcapture.h"
#include "partitionrelay.h"
#include "protocol/envelope.h"
#include "statuslog.h"
#include "wspeerserver.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kWaitMs = 10000;
// One reconnect interval (4 s) plus slack for a loaded machine.
constexpr int kRetryWaitMs = 9000;

QByteArray bytes(const std::string &text)
{
    return QByteArray::fromStdString(text);
}

QByteArray configFor(quint16 port, const QByteArray &tlsLines)
{
    return "server_host: 127.0.0.1\nserver_port: " + QByteArray::number(port) + "\n" + tlsLines;
}

} // namespace

class TestClientTls : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir certificates;

    QString path(const QString &file) const { return certificates.filePath(file); }
    QByteArray pathLine(const char *key, const QString &file) const
    {
        return QByteArray(key) + ": " + path(file).toUtf8() + "\n";
    }

    // The server's side of TLS with `name`.crt and `name`.key.
    void serve(WsPeerServer &server, const QString &name) const
    {
        server.serveTls(path(name + ".crt"), path(name + ".key"));
    }

private slots:
    void initTestCase();
    void trustedServer_data();
    void trustedServer();
    void refusedCertificate_data();
    void refusedCertificate();
    void unusableCaFile_data();
    void unusableCaFile();
};

void TestClientTls::initTestCase()
{
    QVERIFY2(QSslSocket::supportsSsl(), "Qt finds no TLS library");
    QVERIFY(certificates.isValid());
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("bash"),
                  {QStringLiteral(VELMORA_TEST_CERTIFICATES), certificates.path()});
    QVERIFY(openssl.waitForFinished(60000));
    QVERIFY2(openssl.exitCode() == 0, openssl.readAll().constData());
}

void TestClientTls::trustedServer_data()
{
    QTest::addColumn<bool>("caFile");
    QTest::addColumn<QString>("certificate");
    QTest::newRow("the CA file's CAs") << true << "server";
    QTest::newRow("the CA file's CAs, the root sent too") << true << "rooted";
    // The process's default trust is what the system's store gives it, plus the tests' CA.
    QTest::newRow("the system's CAs") << false << "server";
}

void TestClientTls::trustedServer()
{
    QFETCH(bool, caFile);
    QFETCH(QString, certificate);

    const QSslConfiguration systemDefault = QSslConfiguration::defaultConfiguration();
    if (!caFile) {
        QSslConfiguration trusting = systemDefault;
        trusting.addCaCertificates(QSslCertificate::fromPath(path("ca.crt")));
        QSslConfiguration::setDefaultConfiguration(trusting);
    }
    const auto restore =
        qScopeGuard([&] { QSslConfiguration::setDefaultConfiguration(systemDefault); });

    WsPeerServer server;
    serve(server, certificate);
    QVERIFY(server.listen());
    // Between the agent and the server, so that the link can be cut.
    PartitionRelay relay(QHostAddress::LocalHost, server.port());
    QVERIFY(relay.listen());
    WsPeerServer proxy;
    QVERIFY(proxy.listen());
    ConfigDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.writeConfig(
        configFor(relay.port(), caFile ? "server_tls: 1\n" + pathLine("server_ca_file", "ca.crt")
                                       : QByteArray("server_tls: true\n"))));
    Client client;
    client.setProxyHost(QStringLiteral("127.0.0.1"));
    client.setProxyPort(QString::number(proxy.port()));
    StatusLog status(&client);
    QSignalSpy ids(&client, &Client::sessionIdChanged);
    client.run();
    QTRY_COMPARE_WITH_TIMEOUT(status.a, QList<Client::Status>{Client::Connected}, kWaitMs);
    QCOMPARE(server.connectionCount(), 1);
    QCOMPARE(server.requests().first().rawHeader("Cookie"), QByteArray("VELMORA-SESSION-TOKEN="));
    server.sendBinary(bytes(velmora::envelope::connectionInfoEnvelope("123456789", "secret")));
    QVERIFY(ids.wait(kWaitMs));
    QCOMPARE(ids.last().at(0).toString(), QStringLiteral("123456789"));

    // A session relays both ways over the encrypted link.
    server.sendBinary(bytes(velmora::envelope::startSessionEnvelope()));
    QTRY_COMPARE_WITH_TIMEOUT(proxy.connectionCount(), 1, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(proxy.peer(), kWaitMs);
    QVERIFY(proxy.sendBinary("from the desktop"));
    QTRY_COMPARE_WITH_TIMEOUT(server.binaryMessages().size(), 1, kWaitMs);
    QCOMPARE(server.binaryMessages().first(),
             bytes(velmora::envelope::rfbEnvelope("110", "from the desktop")));
    server.sendBinary(bytes(velmora::envelope::rfbEnvelope("110", "from the supporter")));
    QTRY_COMPARE_WITH_TIMEOUT(proxy.binaryMessages(), QList<QByteArray>{"from the supporter"},
                              kWaitMs);

    // The link is reset: the agent comes back over TLS, with its token.
    relay.cut();
    QTRY_COMPARE_WITH_TIMEOUT(status.a.size(), 2, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(status.a.size(), 3, kRetryWaitMs);
    QCOMPARE(status.a.last(), Client::Connected);
    QCOMPARE(server.connectionCount(), 2);
    QCOMPARE(server.requests().last().rawHeader("Cookie"),
             QByteArray("VELMORA-SESSION-TOKEN=secret"));
    QCOMPARE(relay.acceptedCount(), 2);
}

void TestClientTls::refusedCertificate_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QString>("trusted"); // the CA file; empty: the system's CAs
    QTest::addColumn<QString>("reason");  // in the refusal's log line

    const QString ca = QStringLiteral("ca.crt");
    QTest::newRow("for another name") << "elsewhere" << ca << "host name";
    QTest::newRow("from another CA") << "stranger" << ca << "issuer certificate";
    QTest::newRow("expired") << "expired" << ca << "expired";
    QTest::newRow("self-signed") << "self" << ca << "self-signed";
    // Verified by the TLS library through the file's CA, yet sent with a root the file does not
    // hold: how Schannel's chain ends when the Windows store vouches for it.
    QTest::newRow("a chain that leads to no CA of the file")
        << "reissued" << ca << "no CA of the CA file";
    QTest::newRow("the tests' CA, which the system does not know")
        << "server" << QString() << "issuer certificate";
}

void TestClientTls::refusedCertificate()
{
    QFETCH(QString, certificate);
    QFETCH(QString, trusted);
    QFETCH(QString, reason);

    WsPeerServer server;
    serve(server, certificate);
    QVERIFY(server.listen());
    PartitionRelay relay(QHostAddress::LocalHost, server.port());
    QVERIFY(relay.listen());
    ConfigDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.writeConfig(configFor(relay.port(), trusted.isEmpty()
                                                        ? QByteArray("server_tls: 1\n")
                                                        : pathLine("server_ca_file", trusted))));
    checkCertificateRefused(reason);
    if (QTest::currentTestFailed())
        return;
    // One attempt per failure.
    QCOMPARE(relay.acceptedCount(), 2);

    // Nothing of the agent's reached the server: no upgrade request was ever decrypted.
    QCOMPARE(server.connectionCount(), 0);
}

void TestClientTls::unusableCaFile_data()
{
    QTest::addColumn<QByteArray>("content"); // of the CA file; null: no file
    QTest::addColumn<QString>("logLine");

    QTest::newRow("missing") << QByteArray() << "Server CA file unreadable:";
    QTest::newRow("empty") << QByteArray("") << "Server CA file holds no PEM certificate:";
    QTest::newRow("no certificate")
        << QByteArray("-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n")
        << "Server CA file holds no PEM certificate:";
}

void TestClientTls::unusableCaFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, logLine);

    WsPeerServer server;
    serve(server, "server");
    QVERIFY(server.listen());
    PartitionRelay relay(QHostAddress::LocalHost, server.port());
    QVERIFY(relay.listen());
    ConfigDir dir;
    QVERIFY(dir.isValid());
    if (!content.isNull()) {
        QFile file(QDir(dir.path()).filePath(QStringLiteral("ca.pem")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), content.size());
    }
    QVERIFY(dir.writeConfig(configFor(relay.port(), "server_ca_file: ca.pem\n")));
    Client client;
    client.setProxyHost(QStringLiteral("127.0.0.1"));
    client.setProxyPort(QStringLiteral("1"));
    StatusLog status(&client);
    LogCapture log;
    client.run();

    // Failed at once and retried; never a connection without the CA file's verification.
    QCOMPARE(status.a, QList<Client::Status>{Client::Disconnected});
    QCOMPARE(log.debugLines().filter(logLine).size(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(log.debugLines().filter(logLine).size(), 2, kRetryWaitMs);
    QCOMPARE(status.a.size(), 2);
    QCOMPARE(relay.acceptedCount(), 0);
}

QTEST_GUILESS_MAIN(TestClientTls)
#include "tst_clienttls.moc"
