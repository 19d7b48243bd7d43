#include "platform/websockify/proxyconnection.h"

#include <QHostAddress>
#include <QList>
#include <QTcpSocket>

#include <algorithm>

namespace {

// A handshake request larger than this is refused; real clients send well under 1 KiB.
constexpr int maxRequest = 8192;
// What goes into one message towards the client, and into one read of either side.
constexpr qint64 chunkSize = 64 * 1024;
// A client that has not finished its handshake by then is dropped.
constexpr int handshakeTimeoutMs = 10000;

QByteArray headerValue(const QList<QByteArray> &lines, const QByteArray &name)
{
    QByteArray value;
    for (const QByteArray &line : lines) {
        const int colon = line.indexOf(':');
        if (colon <= 0 || line.left(colon).trimmed().toLower() != name)
            continue;
        if (!value.isEmpty())
            value += ", ";
        value += line.mid(colon + 1).trimmed();
    }
    return value;
}

bool hasToken(const QByteArray &list, const QByteArray &token)
{
    for (const QByteArray &item : list.split(','))
        if (item.trimmed().toLower() == token)
            return true;
    return false;
}

} // namespace

ProxyConnection::ProxyConnection(QTcpSocket *client, const console::HostPort &target,
                                 QObject *parent)
    : QObject(parent), client(client), target(new QTcpSocket(this)), targetAddress(target)
{
    client->setParent(this);
    // Keystrokes and pointer moves must not wait for more bytes to fill a packet.
    client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Whatever is not taken from a socket stays in the kernel, where TCP slows the sender.
    client->setReadBufferSize(pendingBound);
    this->target->setReadBufferSize(pendingBound);

    connect(client, &QTcpSocket::readyRead, this, &ProxyConnection::readClient);
    connect(client, &QTcpSocket::bytesWritten, this, &ProxyConnection::readTarget);
    connect(client, &QTcpSocket::disconnected, this, &ProxyConnection::onClientDisconnected);
    connect(this->target, &QTcpSocket::connected, this, &ProxyConnection::onTargetConnected);
    connect(this->target, &QTcpSocket::readyRead, this, &ProxyConnection::readTarget);
    connect(this->target, &QTcpSocket::bytesWritten, this, &ProxyConnection::readFrames);
    connect(this->target, &QTcpSocket::stateChanged, this, &ProxyConnection::onTargetStateChanged);

    handshakeTimer.setSingleShot(true);
    connect(&handshakeTimer, &QTimer::timeout, client, &QTcpSocket::abort);
    handshakeTimer.start(handshakeTimeoutMs);
    retryTimer.setSingleShot(true);
    retryTimer.setInterval(targetRetryMs);
    connect(&retryTimer, &QTimer::timeout, this, &ProxyConnection::connectTarget);
    readClient();
}

void ProxyConnection::readClient()
{
    if (state == State::Handshake)
        readHandshake();
    else
        readFrames();
}

void ProxyConnection::readHandshake()
{
    request += client->read(maxRequest + 1 - request.size());
    const int end = request.indexOf("\r\n\r\n");
    if (end < 0) {
        if (request.size() > maxRequest)
            refuse("400 Bad Request", QStringLiteral("handshake request too large"));
        return;
    }
    inbound = request.mid(end + 4);
    const QList<QByteArray> lines = request.left(end).replace('\r', "").split('\n');
    request.clear();

    const QByteArray &requestLine = lines.first();
    if (!requestLine.startsWith("GET ") || !requestLine.endsWith(" HTTP/1.1")) {
        refuse("400 Bad Request", QStringLiteral("not a WebSocket handshake"));
        return;
    }
    const QByteArray key = headerValue(lines, "sec-websocket-key");
    if (!hasToken(headerValue(lines, "upgrade"), "websocket") ||
        !hasToken(headerValue(lines, "connection"), "upgrade") ||
        QByteArray::fromBase64(key).size() != 16) {
        refuse("400 Bad Request", QStringLiteral("not a WebSocket handshake"));
        return;
    }
    if (headerValue(lines, "sec-websocket-version") != "13") {
        refuse("426 Upgrade Required", QStringLiteral("WebSocket version is not 13"),
               "Sec-WebSocket-Version: 13\r\n");
        return;
    }
    // The proxy has no authentication of its own and leads straight to the desktop: nothing but
    // the agent's own origin, so that no web page in the user's browser can reach it.
    const QByteArray origin = headerValue(lines, "origin");
    if (origin != "localhost") {
        console::say(
            QStringLiteral("Invalid Origin '%1' from %2").arg(QString::fromLatin1(origin), peer()));
        refuse("403 Forbidden", QString());
        return;
    }

    QByteArray response = "HTTP/1.1 101 Switching Protocols\r\n"
                          "Upgrade: websocket\r\n"
                          "Connection: Upgrade\r\n"
                          "Sec-WebSocket-Accept: " +
                          wsframe::acceptKey(key) + "\r\n";
    // noVNC asks for "binary", which is what this proxy speaks; the agent asks for nothing.
    if (hasToken(headerValue(lines, "sec-websocket-protocol"), "binary"))
        response += "Sec-WebSocket-Protocol: binary\r\n";
    client->write(response + "\r\n");
    handshakeTimer.stop();
    state = State::Open;
    targetWait.start();
    connectTarget();
    readFrames();
}

void ProxyConnection::readFrames()
{
    while (state == State::Open) {
        if (inbound.size() < chunkSize)
            inbound += client->read(chunkSize - inbound.size());
        if (frameLeft == 0) {
            if (!takeFrameHeader())
                return;
            continue;
        }
        if (inbound.isEmpty() || pendingToTarget() >= pendingBound)
            return;
        QByteArray payload =
            inbound.left(int(std::min<quint64>(frameLeft, quint64(inbound.size()))));
        inbound.remove(0, payload.size());
        wsframe::unmask(payload, frameMask, frameOffset);
        frameOffset += quint64(payload.size());
        frameLeft -= quint64(payload.size());
        writeToTarget(payload);
    }
}

bool ProxyConnection::takeFrameHeader()
{
    const std::optional<wsframe::Header> header = wsframe::parseHeader(inbound);
    if (!header)
        return false;
    if (!header->masked || header->reserved != 0) {
        closeBoth(1002, "unmasked frame or unknown extension");
        return false;
    }
    if (header->opcode >= wsframe::Close) {
        if (header->opcode > wsframe::Pong || !header->final || header->length > 125) {
            closeBoth(1002, "bad control frame");
            return false;
        }
        const int size = header->size + int(header->length);
        if (inbound.size() < size)
            return false;
        QByteArray payload = inbound.mid(header->size, int(header->length));
        inbound.remove(0, size);
        wsframe::unmask(payload, header->mask, 0);
        handleControlFrame(header->opcode, payload);
        return state == State::Open;
    }
    if (header->opcode == wsframe::Text) {
        closeBoth(1003, "binary messages only");
        return false;
    }
    const bool continuation = header->opcode == wsframe::Continuation;
    if (header->opcode > wsframe::Binary || continuation != inMessage) {
        closeBoth(1002, "bad data frame");
        return false;
    }
    inMessage = !header->final;
    inbound.remove(0, header->size);
    frameLeft = header->length;
    frameOffset = 0;
    std::copy(std::begin(header->mask), std::end(header->mask), std::begin(frameMask));
    return true;
}

void ProxyConnection::handleControlFrame(quint8 opcode, const QByteArray &payload)
{
    if (opcode == wsframe::Ping) {
        sendFrame(wsframe::Pong, payload);
    } else if (opcode == wsframe::Close) {
        // The client's own close, or its answer to ours: either way both ends go now, and the
        // target gets what the client sent before it.
        if (!closeSent) {
            sendFrame(wsframe::Close, payload.left(2));
            closeSent = true;
        }
        closeBoth(1000, QByteArray());
    }
}

void ProxyConnection::readTarget()
{
    const bool targetEnded = target->state() == QAbstractSocket::UnconnectedState;
    while (state == State::Open && (targetEnded || client->bytesToWrite() < pendingBound)) {
        const QByteArray bytes = target->read(chunkSize);
        if (bytes.isEmpty())
            return;
        sendFrame(wsframe::Binary, bytes);
    }
}

void ProxyConnection::connectTarget()
{
    target->connectToHost(targetAddress.host, targetAddress.port);
}

bool ProxyConnection::retryTarget(QAbstractSocket::SocketError error)
{
    // Only a refusal: nothing listens there yet. Tried while the client is there, or while
    // bytes it sent before it left wait for the target.
    if (targetConnected || error != QAbstractSocket::ConnectionRefusedError ||
        targetWait.elapsed() >= targetWaitMs || (state != State::Open && held.isEmpty()))
        return false;
    retryTimer.start();
    return true;
}

void ProxyConnection::onTargetConnected()
{
    targetConnected = true;
    target->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    target->write(held);
    held.clear();
    if (state != State::Open)
        target->disconnectFromHost();
    else
        readFrames();
}

void ProxyConnection::onTargetStateChanged()
{
    if (target->state() != QAbstractSocket::UnconnectedState)
        return;
    // The socket takes this state before it reports the error, which is already set then.
    const QAbstractSocket::SocketError error = target->error();
    if (retryTarget(error))
        return;
    const bool failed = error != QAbstractSocket::UnknownSocketError &&
                        error != QAbstractSocket::RemoteHostClosedError;
    if (failed && state == State::Open)
        console::say(QStringLiteral("%1:%2: %3")
                         .arg(targetAddress.host)
                         .arg(targetAddress.port)
                         .arg(target->errorString()));
    // Bytes that came in with the end still go out before it.
    readTarget();
    closeBoth(failed ? 1011 : 1000, failed ? "target unreachable" : "target closed");
    deleteWhenDone();
}

void ProxyConnection::onClientDisconnected()
{
    state = State::Closing;
    endTarget();
    deleteWhenDone();
}

void ProxyConnection::refuse(const QByteArray &status, const QString &why,
                             const QByteArray &headers)
{
    if (!why.isEmpty())
        console::say(QStringLiteral("refused %1: %2").arg(peer(), why));
    client->write("HTTP/1.1 " + status + "\r\nConnection: close\r\nContent-Length: 0\r\n" +
                  headers + "\r\n");
    state = State::Closing;
    client->disconnectFromHost();
}

void ProxyConnection::sendFrame(wsframe::Opcode opcode, const QByteArray &payload)
{
    client->write(wsframe::serverHeader(opcode, quint64(payload.size())));
    client->write(payload);
}

void ProxyConnection::closeBoth(quint16 code, const QByteArray &reason)
{
    if (state == State::Closing)
        return;
    state = State::Closing;
    if (!closeSent && client->state() == QAbstractSocket::ConnectedState) {
        sendFrame(wsframe::Close, wsframe::closePayload(code, reason));
        closeSent = true;
    }
    // Both wait for what they still have to write.
    client->disconnectFromHost();
    endTarget();
}

void ProxyConnection::endTarget()
{
    switch (target->state()) {
    case QAbstractSocket::ConnectedState:
        target->disconnectFromHost(); // after the bytes it still has to write
        break;
    case QAbstractSocket::HostLookupState:
    case QAbstractSocket::ConnectingState:
        // Bytes held for it go out first: onTargetConnected() ends it then.
        if (held.isEmpty())
            target->abort();
        break;
    case QAbstractSocket::UnconnectedState:
        // Between two attempts: bytes held for it keep it trying, else it is given up.
        if (held.isEmpty())
            retryTimer.stop();
        break;
    default: // closing already
        break;
    }
}

void ProxyConnection::writeToTarget(const QByteArray &bytes)
{
    if (target->state() == QAbstractSocket::ConnectedState)
        target->write(bytes);
    else
        held += bytes;
}

qint64 ProxyConnection::pendingToTarget() const
{
    return target->state() == QAbstractSocket::ConnectedState ? target->bytesToWrite()
                                                              : qint64(held.size());
}

void ProxyConnection::deleteWhenDone()
{
    if (client->state() == QAbstractSocket::UnconnectedState &&
        target->state() == QAbstractSocket::UnconnectedState && !retryTimer.isActive())
        deleteLater();
}

QString ProxyConnection::peer() const
{
    return client->peerAddress().toString() + QLatin1Char(':') +
           QString::number(client->peerPort());
}
