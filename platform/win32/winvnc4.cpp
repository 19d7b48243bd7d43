// Windows stand-in for the VNC server in the tests under Wine, with the agent's command line
//   winvnc4.exe LocalHost=yes ShowTrayIcon=false Log=*:file:100 PortNumber=N rfbauth=FILE
// It relays each connection on 127.0.0.1:N to the Linux VNC server that the test started, at
// VELMORA_VNC_TARGET (HOST:PORT).
#include "platform/websockify/console.h"
#include "platform/win32/tcprelay.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>

using namespace console;

namespace {

void serve(QTcpSocket *client, const HostPort &target)
{
    client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    auto *relay = new TcpRelay;
    QObject::connect(client, &QTcpSocket::readyRead, relay,
                     [client, relay] { relay->send(client->readAll()); });
    QObject::connect(client, &QTcpSocket::disconnected, relay, [client, relay] {
        relay->send(client->readAll());
        relay->close();
    });
    QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    QObject::connect(relay, &TcpRelay::received, client,
                     [client](const QByteArray &bytes) { client->write(bytes); });
    QObject::connect(relay, &TcpRelay::closed, client, [client](const QString &error) {
        if (!error.isEmpty())
            say(error);
        client->disconnectFromHost();
    });
    relay->open(target.host, target.port);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("winvnc4.exe"));

    // The agent's log shows what it asked for, even when that is refused below.
    const QStringList args = QCoreApplication::arguments().mid(1);
    say(QStringLiteral("arguments: ") + args.join(QLatin1Char(' ')));

    // The agent always passes exactly these; anything else means it changed, which the tests
    // must notice rather than paper over.
    const QStringList fixed = {QStringLiteral("LocalHost=yes"),
                               QStringLiteral("ShowTrayIcon=false"),
                               QStringLiteral("Log=*:file:100")};
    if (args.size() != 5 || args.mid(0, 3) != fixed ||
        !args[3].startsWith(QLatin1String("PortNumber=")) ||
        !args[4].startsWith(QLatin1String("rfbauth=")))
        fail(QStringLiteral("usage: winvnc4.exe LocalHost=yes ShowTrayIcon=false Log=*:file:100 "
                            "PortNumber=N rfbauth=FILE"));
    const QString portText = args[3].section(QLatin1Char('='), 1);
    const quint16 port = parsePort(portText);
    if (port == 0)
        fail(QStringLiteral("PortNumber needs a port between 1 and 65535, not '%1'").arg(portText));
    // A VNC password file holds the obfuscated password: always 8 bytes.
    const QFileInfo passwordFile(args[4].section(QLatin1Char('='), 1));
    if (!passwordFile.isFile() || passwordFile.size() != 8)
        fail(QStringLiteral(
                 "rfbauth needs a password file of 8 bytes; '%1' is missing or is not one")
                 .arg(passwordFile.filePath()));

    const QString targetText = qEnvironmentVariable("VELMORA_VNC_TARGET");
    const std::optional<HostPort> target = parseHostPort(targetText);
    if (!target)
        fail(QStringLiteral("VELMORA_VNC_TARGET is '%1', expected HOST:PORT of the VNC server")
                 .arg(targetText));

    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, port))
        fail(
            QStringLiteral("cannot listen on 127.0.0.1:%1: %2").arg(port).arg(server.errorString()),
            1);
    QObject::connect(&server, &QTcpServer::newConnection, [&server, &target] {
        while (server.hasPendingConnections())
            serve(server.nextPendingConnection(), *target);
    });
    say(QStringLiteral("listening on 127.0.0.1:%1, forwarding to %2").arg(port).arg(targetText));
    return app.exec();
}
