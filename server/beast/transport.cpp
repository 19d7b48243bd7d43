#include "server/beast/transport.h"

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

namespace velmora::server {

namespace {

std::variant<beast::tcp_stream, Transport::TlsStream> streamFor(tcp::socket socket,
                                                                ssl::context *tls)
{
    if (tls)
        return Transport::TlsStream(std::move(socket), *tls);
    return beast::tcp_stream(std::move(socket));
}

} // namespace

Transport::Transport(tcp::socket socket, ssl::context *tls)
    : stream(streamFor(std::move(socket), tls))
{}

void Transport::startTls(ssl::context &tls)
{
    // The variant destroys its TCP stream before it makes the TLS one: moved out first.
    beast::tcp_stream tcp = std::move(std::get<beast::tcp_stream>(stream));
    stream.emplace<TlsStream>(std::move(tcp), tls);
}

beast::tcp_stream &Transport::next_layer()
{
    if (auto *tls = std::get_if<TlsStream>(&stream))
        return tls->next_layer();
    return *std::get_if<beast::tcp_stream>(&stream);
}

bool Transport::expectHost(const std::string &host)
{
    SSL *handle = std::get<TlsStream>(stream).native_handle();
    X509_VERIFY_PARAM *param = SSL_get0_param(handle);
    beast::error_code notAnAddress;
    net::ip::make_address(host, notAnAddress);
    if (!notAnAddress)
        return X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return SSL_set_tlsext_host_name(handle, host.c_str()) == 1 &&
           X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) == 1;
}

long Transport::certificateError()
{
    auto *tls = std::get_if<TlsStream>(&stream);
    return tls ? SSL_get_verify_result(tls->native_handle()) : X509_V_OK;
}

} // namespace velmora::server
