#include "testcertificates.h"

#include "toolrun.h"

#include <QSslCertificate>

TestCertificates::TestCertificates()
{
    if (!dir.isValid()) {
        problem = QStringLiteral("no temporary folder: ") + dir.errorString();
        return;
    }
    const ToolResult result =
        runTool(QStringLiteral("bash"), {QStringLiteral(VELMORA_TEST_CERTIFICATES), dir.path()},
                QProcessEnvironment::systemEnvironment());
    made = result.exitCode == 0;
    if (!made)
        problem = QStringLiteral("testcertificates.sh failed (exit %1): %2")
                      .arg(result.exitCode)
                      .arg(QString::fromLocal8Bit(result.output));
}

QSslConfiguration TestCertificates::clientConfiguration(const QString &caFile) const
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(QSslCertificate::fromPath(path(caFile)));
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    return configuration;
}

void TestCertificates::serveTls(velmora::server::ServerConfig &config, const QString &name) const
{
    config.options.tlsCert = path(name + ".crt").toStdString();
    config.options.tlsKey = path(name + ".key").toStdString();
    config.options.plainListen = velmora::server::HostPort{"127.0.0.1", 0};
}
