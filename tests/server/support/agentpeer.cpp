#include "agentpeer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QTest>

AgentPeer::AgentPeer(Mode mode, QObject *parent)
    : QObject(parent), socket(QString(), QWebSocketProtocol::Version13), mode(mode)
{
    connect(&socket, &QWebSocket::binaryMessageReceived, this, &AgentPeer::onBinary);
    socket.setMaxAllowedIncomingMessageSize(64 * 1024 * 1024);
    connect(&socket, &QWebSocket::disconnected, this, [this] { ++disconnections; });
}

bool AgentPeer::waitForDisconnected(int timeoutMs)
{
    const int before = disconnections;
    return QTest::qWaitFor([&] { return disconnections > before; }, timeoutMs);
}

void AgentPeer::open(const QUrl &target, const QString &presented)
{
    url = target;
    token = presented;
    infosAtOpen = connectionInfos;
    QNetworkRequest request(url);
    request.setRawHeader("Cookie", "VELMORA-SESSION-TOKEN=" + presented.toUtf8());
    socket.open(request);
}

void AgentPeer::reconnect()
{
    socket.abort();
    open(url, token);
}

bool AgentPeer::waitForId(int timeoutMs)
{
    return QTest::qWaitFor([&] { return connectionInfos > infosAtOpen; }, timeoutMs);
}

void AgentPeer::sendRfb(const QByteArray &bytes)
{
    socket.sendBinaryMessage("{\"action\":\"rfb\",\"api_version\":\"110\",\"payload\":\"" +
                             bytes.toBase64() + "\"}");
}

void AgentPeer::onBinary(const QByteArray &message)
{
    messages.append(message);
    const QJsonObject envelope = QJsonDocument::fromJson(message).object();
    if (envelope.value("api_version").toString() != "110")
        return;
    const QString action = envelope.value("action").toString();
    if (action == "connection_info") {
        id = envelope.value("id").toString();
        token = envelope.value("session_token").toString();
        ++connectionInfos;
        emit identified();
    } else if (action == "start_session") {
        ++sessionStarts;
        if (mode == Mode::Echo)
            sendRfb(greeting);
        emit sessionStarted();
    } else if (action == "rfb") {
        const QByteArray bytes =
            QByteArray::fromBase64(envelope.value("payload").toString().toLatin1());
        payloads.append(bytes);
        payloadBytes += bytes.size();
        if (mode == Mode::Echo)
            sendRfb(bytes);
        emit payloadReceived(bytes);
    }
}
