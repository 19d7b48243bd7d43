// The certificates of the TLS tests (tests/support/testcertificates.sh: a CA, server
// certificates for 127.0.0.1 and localhost, one for another name, a second CA and one it
// signed), made with the openssl CLI into a temporary folder when the object is made.
#pragma once

#include "server/core/serverconfig.h"

#include <QSslConfiguration>
#include <QString>
#include <QTemporaryDir>

class TestCertificates
{
public:
    TestCertificates();

    /// False when the certificates could not be made; error() then says why.
    bool ok() const { return made; }
    QString error() const { return problem; }

    /// The path of one file of the set, such as "server.crt" or "ca.crt".
    QString path(const QString &file) const { return dir.filePath(file); }
    /// A temporary folder for the test's own files beside the set.
    QString folder() const { return dir.path(); }

    /// A Qt client's TLS settings that trust `caFile`'s CA only.
    QSslConfiguration clientConfiguration(const QString &caFile = QStringLiteral("ca.crt")) const;

    /// Makes `config` serve TLS with `name`.crt and `name`.key on its listen address and plain
    /// HTTP on a second one (whose address ServerThread picks).
    void serveTls(velmora::server::ServerConfig &config,
                  const QString &name = QStringLiteral("server")) const;

private:
    QTemporaryDir dir;
    bool made = false;
    QString problem;
};
