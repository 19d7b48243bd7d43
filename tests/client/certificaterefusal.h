// The check that the agent refuses a server's certificate, shared by the TLS tests.
#pragma once

#include <QString>

/// Starts a Client on the configuration in the current folder (with a proxy it never reaches)
/// and checks that it fails as a refused connection fails: status A goes to Disconnected, a
/// "Server certificate refused:" line that contains `reason` (any case) is logged, and the one next
/// attempt comes about 4 s later with the same outcome. Records failures on the running test;
/// callers that go on afterwards check QTest::currentTestFailed().
void checkCertificateRefused(const QString &reason);
