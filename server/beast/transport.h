// The byte stream under HTTP and WebSocket: plain TCP, or TLS over TCP, chosen per connection
// when it is made, so that one session class and one connection class serve both.
#pragma once

#include "server/beast/beast.h"

#include <boost/beast/ssl.hpp>

#include <string>
#include <utility>
#include <variant>

namespace velmora::server {

namespace ssl = net::ssl;

/// A Beast stream (AsyncReadStream and AsyncWriteStream) over one TCP connection. Its next layer
/// is the TCP stream in both modes, so that beast::get_lowest_layer reaches the socket and the
/// timeouts. Reading and writing cost plain TCP one branch over a bare beast::tcp_stream.
class Transport
{
public:
    using executor_type = beast::tcp_stream::executor_type;
    using TlsStream = beast::ssl_stream<beast::tcp_stream>;

    /// Plain TCP on `socket` when `tls` is null; else TLS with `tls`, which must outlive the
    /// transport, and whose handshake comes next (async_handshake). `socket` may be connected
    /// already (a server's) or not yet (a client's, connected through the next layer).
    Transport(tcp::socket socket, ssl::context *tls);

    bool secure() const { return std::holds_alternative<TlsStream>(stream); }

    /// Plain TCP so far: TLS with `tls` (which must outlive the transport) from here on, its
    /// handshake next. A TLS stream costs tens of kilobytes before its first byte, so a server
    /// makes it only once a client has sent something. No operation may be pending.
    void startTls(ssl::context &tls);

    executor_type get_executor() { return next_layer().get_executor(); }
    beast::tcp_stream &next_layer();

    template <class Buffers, class Handler>
    BOOST_BEAST_ASYNC_RESULT2(Handler)
    async_read_some(const Buffers &buffers, Handler &&handler)
    {
        if (auto *tls = std::get_if<TlsStream>(&stream))
            return tls->async_read_some(buffers, std::forward<Handler>(handler));
        return std::get_if<beast::tcp_stream>(&stream)->async_read_some(
            buffers, std::forward<Handler>(handler));
    }

    template <class Buffers, class Handler>
    BOOST_BEAST_ASYNC_RESULT2(Handler)
    async_write_some(const Buffers &buffers, Handler &&handler)
    {
        if (auto *tls = std::get_if<TlsStream>(&stream))
            return tls->async_write_some(buffers, std::forward<Handler>(handler));
        return std::get_if<beast::tcp_stream>(&stream)->async_write_some(
            buffers, std::forward<Handler>(handler));
    }

    /// TLS only: the handshake as `type` (server or client), bounded by the next layer's timeout.
    template <class Handler>
    void async_handshake(ssl::stream_base::handshake_type type, Handler &&h)
    {
        std::get<TlsStream>(stream).async_handshake(type, std::forward<Handler>(h));
    }

    /// TLS only: sends close_notify, without waiting for the peer's: TLS allows that when the
    /// connection closes next, and a client that keeps its end open would hold it until the
    /// next layer's timeout.
    template <class Handler> void async_shutdown(Handler &&handler)
    {
        auto &tls = std::get<TlsStream>(stream);
        SSL_set_shutdown(tls.native_handle(),
                         SSL_get_shutdown(tls.native_handle()) | SSL_RECEIVED_SHUTDOWN);
        tls.async_shutdown(std::forward<Handler>(handler));
    }

    /// TLS client only, before the handshake: names `host` in SNI when it is a host name (an IP
    /// address may not be sent there) and accepts only a certificate that is valid for `host`,
    /// name or IP address. The context's verify mode decides whether it is checked at all.
    /// False when OpenSSL does not take `host` (a name too long for SNI, no memory): then the
    /// handshake must not go ahead, as no name would be checked.
    [[nodiscard]] bool expectHost(const std::string &host);

    /// After a failed TLS handshake: OpenSSL's X509_V_ERR_... code for why the peer's
    /// certificate was refused (X509_verify_cert_error_string words it), or X509_V_OK when it
    /// was not (or there is no TLS).
    long certificateError();

    /// WebSocket's closing handshake ends here: TLS's close_notify first, then the TCP socket.
    template <class Handler>
    friend void async_teardown(beast::role_type role, Transport &transport, Handler &&handler)
    {
        using beast::websocket::async_teardown;
        if (auto *tls = std::get_if<TlsStream>(&transport.stream))
            async_teardown(role, *tls, std::forward<Handler>(handler));
        else
            async_teardown(role, *std::get_if<beast::tcp_stream>(&transport.stream),
                           std::forward<Handler>(handler));
    }

private:
    std::variant<beast::tcp_stream, TlsStream> stream;
};

} // namespace velmora::server
