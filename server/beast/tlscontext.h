// The TLS settings of velmora-server and velmora-connect: TLS 1.2 at least, OpenSSL's default
// ciphers, PEM files read and checked up front so that a bad file is named before anything
// listens or connects.
#pragma once

#include "server/beast/transport.h"

#include <memory>
#include <string>

namespace velmora::server {

/// A server's context with the certificate chain in `certFile` (the server's certificate first,
/// then any intermediates) and its private key in `keyFile`, both PEM. Throws
/// std::runtime_error naming the file and the problem: unreadable, no PEM certificate, no
/// usable private key (an encrypted one included: no one could type its passphrase), or a key
/// that does not belong to the certificate.
std::unique_ptr<ssl::context> serverTlsContext(const std::string &certFile,
                                               const std::string &keyFile);

/// A client's context that verifies the server's certificate against the CA certificates in
/// `caFile` (PEM; only those), or against the system's trust store when `caFile` is empty.
/// Which name the certificate must carry is set per connection (Transport::expectHost).
/// Throws std::runtime_error naming the file when it is unreadable or holds no certificate.
std::unique_ptr<ssl::context> clientTlsContext(const std::string &caFile);

} // namespace velmora::server
