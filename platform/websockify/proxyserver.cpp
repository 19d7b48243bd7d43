#include "platform/websockify/proxyserver.h"

#include "platform/websockify/proxyconnection.h"

#include <QTcpSocket>

ProxyServer::ProxyServer(const console::HostPort &target, QObject *parent)
    : QObject(parent), target(target)
{
    connect(&server, &QTcpServer::newConnection, this, &ProxyServer::acceptConnections);
}

bool ProxyServer::listen(const QHostAddress &address, quint16 port)
{
    return server.listen(address, port);
}

QString ProxyServer::errorString() const
{
    return server.errorString();
}

void ProxyServer::acceptConnections()
{
    while (QTcpSocket *client = server.nextPendingConnection())
        new ProxyConnection(client, target, this);
}
