#include "server/beast/tlscontext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace velmora::server {

namespace {

// PEM files of certificates and keys are a few kilobytes; this bounds what a wrong path (a
// device, a big file) can make the program read.
constexpr std::size_t kPemLimit = 1024 * 1024;

// The whole file, so that an unreadable one gets the system's reason rather than OpenSSL's.
std::string readPem(const std::string &path, const char *what)
{
    const auto failure = [&](const std::string &why) {
        return std::runtime_error(std::string("cannot read ") + what + " " + path + ": " + why);
    };
    const std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file)
        throw failure(std::strerror(errno));
    std::string text;
    char chunk[4096];
    std::size_t size = 0;
    while (text.size() <= kPemLimit && (size = std::fread(chunk, 1, sizeof chunk, file.get())) > 0)
        text.append(chunk, size);
    if (std::ferror(file.get()))
        throw failure(std::strerror(errno));
    if (text.size() > kPemLimit)
        throw failure("larger than 1 MiB, which no PEM file of this kind is");
    return text;
}

std::unique_ptr<ssl::context> contextFor(ssl::context::method method)
{
    auto context = std::make_unique<ssl::context>(method);
    SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
    return context;
}

} // namespace

std::unique_ptr<ssl::context> serverTlsContext(const std::string &certFile,
                                               const std::string &keyFile)
{
    auto context = contextFor(ssl::context::tls_server);
    // Each renegotiation a client asks for would cost the server a handshake.
    SSL_CTX_set_options(context->native_handle(), SSL_OP_NO_RENEGOTIATION);
    // OpenSSL's record buffers (about 34 KB) go back while a connection has nothing in flight:
    // most of a server's TLS connections are idle agents.
    SSL_CTX_set_mode(context->native_handle(), SSL_MODE_RELEASE_BUFFERS);
    // Without a callback, OpenSSL would ask for an encrypted key's passphrase on the terminal.
    context->set_password_callback(
        [](std::size_t, ssl::context::password_purpose) { return std::string(); });

    // The key first: a certificate that does not match it then leaves no key behind, which the
    // final check names as a mismatch.
    const std::string key = readPem(keyFile, "TLS key file");
    beast::error_code ec;
    context->use_private_key(net::buffer(key), ssl::context::pem, ec);
    if (ec)
        throw std::runtime_error("TLS key file " + keyFile +
                                 " holds no usable private key: it must be PEM, without a "
                                 "passphrase (OpenSSL: " +
                                 ec.message() + ")");
    const std::string chain = readPem(certFile, "TLS certificate file");
    context->use_certificate_chain(net::buffer(chain), ec);
    if (ec)
        throw std::runtime_error("TLS certificate file " + certFile +
                                 " holds no usable certificate: it must be PEM, the server's "
                                 "first (OpenSSL: " +
                                 ec.message() + ")");
    if (SSL_CTX_check_private_key(context->native_handle()) != 1) {
        ERR_clear_error();
        throw std::runtime_error("the TLS key in " + keyFile +
                                 " does not belong to the certificate in " + certFile);
    }
    return context;
}

std::unique_ptr<ssl::context> clientTlsContext(const std::string &caFile)
{
    auto context = contextFor(ssl::context::tls_client);
    context->set_verify_mode(ssl::verify_peer);
    beast::error_code ec;
    if (caFile.empty()) {
        context->set_default_verify_paths(ec);
        if (ec)
            throw std::runtime_error("cannot load the system's trusted certificates: " +
                                     ec.message());
        return context;
    }
    const std::string authorities = readPem(caFile, "CA file");
    context->add_certificate_authority(net::buffer(authorities), ec);
    if (ec)
        throw std::runtime_error(
            "CA file " + caFile +
            " holds no usable certificate: it must be PEM (OpenSSL: " + ec.message() + ")");
    return context;
}

} // namespace velmora::server
