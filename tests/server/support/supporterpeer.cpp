#include "supporterpeer.h"

#include <QTest>

SupporterPeer::SupporterPeer(QObject *parent)
    : QObject(parent), socket(QString(), QWebSocketProtocol::Version13)
{
    socket.setMaxAllowedIncomingMessageSize(64 * 1024 * 1024);
    connect(&socket, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray &message) {
        messages.append(message);
        bytes += message.size();
    });
    connect(&socket, &QWebSocket::disconnected, this, [this] { disconnected = true; });
}

void SupporterPeer::open(const QUrl &url)
{
    socket.open(url);
}

bool SupporterPeer::waitForConnected(int timeoutMs)
{
    return QTest::qWaitFor(
               [this] { return socket.state() == QAbstractSocket::ConnectedState || disconnected; },
               timeoutMs) &&
           !disconnected;
}

bool SupporterPeer::waitForDisconnected(int timeoutMs)
{
    return QTest::qWaitFor([this] { return disconnected; }, timeoutMs);
}

bool SupporterPeer::waitForMessages(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return messages.size() >= count; }, timeoutMs);
}
