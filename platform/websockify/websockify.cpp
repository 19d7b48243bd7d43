// The WebSocket-to-TCP proxy that the agent starts in front of the VNC server:
//   websockify.exe LISTEN_HOST:PORT TARGET_HOST:PORT
// Each WebSocket gets its own TCP connection to the target. Messages go to standard error.
#include "platform/websockify/console.h"
#include "platform/websockify/proxyserver.h"

#include <QCoreApplication>
#include <QHostInfo>

using namespace console;

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
    ProxyServer server(target);
    if (!server.listen(addresses.first(), listen.port))
        fail(QStringLiteral("cannot listen on %1: %2").arg(args[0], server.errorString()), 1);
    say(QStringLiteral("listening on %1, forwarding to %2").arg(args[0], args[1]));
    return app.exec();
}
