#include "wspeerserver.h"

#include <QFile>
#include <QHostAddress>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QWebSocket>
#include <QWebSocketServer>

WsPeerServer::WsPeerServer(QObject *parent)
    : QObject(parent), server(new QWebSocketServer(QStringLiteral("velmora-test"),
                                                   QWebSocketServer::NonSecureMode, this))
{
    wire();
}

WsPeerServer::~WsPeerServer() = default;

void WsPeerServer::wire()
{
    connect(server, &QWebSocketServer::newConnection, this, &WsPeerServer::onNewConnection);
}

void WsPeerServer::serveTls(const QSslConfiguration &configuration)
{
    delete server;
    server =
        new QWebSocketServer(QStringLiteral("velmora-test"), QWebSocketServer::SecureMode, this);
    server->setSslConfiguration(configuration);
    wire();
}

void WsPeerServer::serveTls(const QString &chainFile, const QString &keyFile)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(QSslCertificate::fromPath(chainFile));
    QFile key(keyFile);
    if (key.open(QIODevice::ReadOnly))
        configuration.setPrivateKey(QSslKey(key.readAll(), QSsl::Ec));
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    serveTls(configuration);
}

bool WsPeerServer::listen(quint16 port)
{
    return server->listen(QHostAddress::LocalHost, port);
}

void WsPeerServer::stopListening()
{
    server->close();
}

bool WsPeerServer::isListening() const
{
    return server->isListening();
}

quint16 WsPeerServer::port() const
{
    return server->serverPort();
}

QString WsPeerServer::url() const
{
    const bool tls = server->secureMode() == QWebSocketServer::SecureMode;
    return QStringLiteral("%1://127.0.0.1:%2").arg(tls ? "wss" : "ws").arg(port());
}

QWebSocket *WsPeerServer::peer() const
{
    return current.data();
}

void WsPeerServer::clearMessages()
{
    binary.clear();
    text.clear();
}

bool WsPeerServer::sendBinary(const QByteArray &message)
{
    if (!current)
        return false;
    current->sendBinaryMessage(message);
    return true;
}

bool WsPeerServer::sendText(const QString &message)
{
    if (!current)
        return false;
    current->sendTextMessage(message);
    return true;
}

void WsPeerServer::closePeer()
{
    if (current)
        current->close();
}

void WsPeerServer::abortPeer()
{
    if (current)
        current->abort();
}

void WsPeerServer::onNewConnection()
{
    while (QWebSocket *socket = server->nextPendingConnection()) {
        socket->setParent(this);
        handshakes << socket->request();
        current = socket;
        connect(socket, &QWebSocket::binaryMessageReceived, this,
                [this, socket](const QByteArray &m) {
                    if (socket != current)
                        return;
                    if (recording)
                        binary << m;
                    emit binaryReceived(m);
                });
        connect(socket, &QWebSocket::textMessageReceived, this, [this, socket](const QString &m) {
            if (socket != current)
                return;
            if (recording)
                text << m;
            emit textReceived(m);
        });
        connect(socket, &QWebSocket::disconnected, this, [this, socket] {
            ++disconnections;
            socket->deleteLater();
            emit peerDisconnected();
        });
        emit peerConnected();
    }
}
