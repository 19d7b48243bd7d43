// Windows stand-in for websockify in the tests under Wine:
//   websockify.exe LISTEN_HOST:PORT TARGET_HOST:PORT
// It relays each WebSocket's binary messages to a TCP connection of its own to the target.
#include "platform/win32/standin.h"
#include "platform/win32/tcprelay.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QWebSocket>
#include <QWebSocketServer>

using namespace standin;

namespace {

void serve(QWebSocket *client, const HostPort &target)
{
    QObject::connect(client, &QWebSocket::disconnected, client, &QObject::deleteLater);
    // Like the Linux proxy: nothing but the agent's own origin, so that no web page in the user's
    // browser can reach the desktop through it.
    if (client->origin() != QLatin1String("localhost")) {
        say(QStringLiteral("Invalid Origin '%1' from %2")
                .arg(client->origin(), client->peerAddress().toString()));
        client->close(QWebSocketProtocol::CloseCodePolicyViolated,
                      QStringLiteral("Invalid Origin"));
        return;
    }
    auto *relay = new TcpRelay;
    QObject::connect(client, &QWebSocket::binaryMessageReceived, relay, &TcpRelay::send);
    QObject::connect(client, &QWebSocket::disconnected, relay, &TcpRelay::close);
    QObject::connect(relay, &TcpRelay::received, client,
                     [client](const QByteArray &bytes) { client->sendBinaryMessage(bytes); });
    QObject::connect(relay, &TcpRelay::closed, client, [client](const QString &error) {
        if (!error.isEmpty())
            say(error);
        client->close();
    });
    relay->open(target.host, target.port);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("websockify.exe"));

    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.size() != 2)
        fail(QStringLiteral("usage: websockify.exe LISTEN_HOST:PORT TARGET_HOST:PORT (got %1 "
                            "arguments)")
                 .arg(args.size()));
    for (const QString &arg : args) {
        if (!parseHostPort(arg))
            fail(QStringLiteral("'%1' is not HOST:PORT with a port between 1 and 65535").arg(arg));
    }
    const HostPort listen = *parseHostPort(args[0]);
    const HostPort target = *parseHostPort(args[1]);

    const QList<QHostAddress> addresses = QHostInfo::fromName(listen.host).addresses();
    if (addresses.isEmpty())
        fail(QStringLiteral("cannot listen on %1: no such host").arg(args[0]), 1);
    QWebSocketServer server(QStringLiteral("websockify.exe"), QWebSocketServer::NonSecureMode);
    if (!server.listen(addresses.first(), listen.port))
        fail(QStringLiteral("cannot listen on %1: %2").arg(args[0], server.errorString()), 1);
    QObject::connect(&server, &QWebSocketServer::newConnection, [&server, &target] {
        while (server.hasPendingConnections())
            serve(server.nextPendingConnection(), target);
    });
    say(QStringLiteral("listening on %1, forwarding to %2").arg(args[0], args[1]));
    return app.exec();
}
