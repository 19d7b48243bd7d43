// How velmora-connect words a failed network operation for its user.
#pragma once

#include "server/beast/beast.h"
#include "server/beast/transport.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <string>

namespace velmora::server {

/// "no answer in time" for a timeout, else the system's text.
inline std::string describeFailure(const beast::error_code &ec)
{
    if (ec == beast::error::timeout)
        return "no answer in time";
    return ec.message();
}

/// A failed TLS handshake on `transport`: why the server's certificate was refused, with a hint
/// for a private CA; else what else failed (for instance a server that does not speak TLS).
inline std::string describeTlsFailure(Transport &transport, const beast::error_code &ec)
{
    const long error = transport.certificateError();
    if (error == X509_V_OK) {
        const bool notTls =
            ec.category() == net::error::get_ssl_category() &&
            ERR_GET_REASON(static_cast<unsigned long>(ec.value())) == SSL_R_WRONG_VERSION_NUMBER;
        return notTls ? "the server does not speak TLS on that port (" + ec.message() + ")"
                      : describeFailure(ec);
    }
    std::string text =
        std::string("its certificate was refused (") + X509_verify_cert_error_string(error) + ")";
    if (error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
        error == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
        error == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT)
        text += "; a server with a private CA needs that CA's certificate in --ca-file";
    return text;
}

} // namespace velmora::server
