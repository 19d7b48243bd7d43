#include "echoserver.h"

#include <QTcpSocket>

EchoServer::EchoServer(QObject *parent) : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &EchoServer::onNewConnection);
}

bool EchoServer::listen()
{
    return server.listen(QHostAddress::LocalHost, 0);
}

void EchoServer::onNewConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        ++connections;
        socket->setParent(this);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            const QByteArray bytes = socket->readAll();
            echoed += bytes.size();
            socket->write(bytes);
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}
