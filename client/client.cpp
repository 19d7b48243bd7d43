#include "client/client.h"

#include "client/certificatechain.h"
#include "client/clientconfig.h"
#include "protocol/base64.h"
#include "protocol/envelope.h"

#include <QDebug>
#include <QFile>
#include <QLoggingCategory>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslSocket>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <algorithm>
#include <utility>

namespace envelope = velmora::envelope;
namespace base64 = velmora::base64;
namespace certificatechain = velmora::certificatechain;

namespace {

constexpr int kReconnectIntervalMs = 4000;
// A connection attempt that has not finished its WebSocket handshake by then has failed: during a
// partition the TCP connection or the upgrade request can hang for as long as the partition lasts.
constexpr int kHandshakeTimeoutMs = 10000;
// A silent link delivers no FIN or RST; only the absence of pongs tells. Two pings missed and a
// third late: under the server's own 30 s limit, so both ends give up at about the same time.
// A ping waits behind the agent's own queued upload, so on a slow uplink no pong can come while
// a large message drains; the upload moving on counts as life too. On a real partition it stops.
constexpr int kPingIntervalMs = 10000;
constexpr int kSilenceLimitMs = 25000;
constexpr char kConfigFileName[] = "velmora.conf";
constexpr char kCookiePrefix[] = "VELMORA-SESSION-TOKEN=";

// qDebug() formats a whole line before Qt looks at whether debug output is on, and relay lines
// carry whole frames; so the category is tested first. The lines are the same when it is on.
bool debugEnabled()
{
    const QLoggingCategory *category = QLoggingCategory::defaultCategory();
    return !category || category->isDebugEnabled();
}

std::string_view view(const QByteArray &bytes)
{
    return std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

} // namespace

#define CLIENT_DEBUG                                                                               \
    if (!debugEnabled()) {                                                                         \
    } else                                                                                         \
        qDebug()

Client::Client(QObject *parent)
    : QObject(parent), apiVersion(QString::fromLatin1(envelope::kApiVersion.data(),
                                                      int(envelope::kApiVersion.size())))
{
    reconnectTimer = new QTimer(this);
    reconnectTimer->setInterval(kReconnectIntervalMs);
    reconnectTimer->stop();
    connect(reconnectTimer, SIGNAL(timeout()), this, SLOT(reconnectToServer()));
    handshakeTimer = new QTimer(this);
    handshakeTimer->setSingleShot(true);
    handshakeTimer->setInterval(kHandshakeTimeoutMs);
    connect(handshakeTimer, &QTimer::timeout, this, &Client::onServerHandshakeTimeout);
    pingTimer = new QTimer(this);
    pingTimer->setInterval(kPingIntervalMs);
    connect(pingTimer, &QTimer::timeout, this, &Client::pingServer);
    silenceTimer = new QTimer(this);
    silenceTimer->setSingleShot(true);
    connect(silenceTimer, &QTimer::timeout, this, &Client::onServerSilenceCheck);
    readConfigFile();
}

Client::~Client()
{
    // A socket reports its own closing while it is destroyed; nothing here may react to that
    // (the window that listens is itself being torn down).
    if (proxySocket)
        proxySocket->disconnect(this);
    if (serverSocket)
        serverSocket->disconnect(this);
    proxySocket.reset();
    serverSocket.reset();
}

void Client::setProxyHost(const QString &host)
{
    proxyHost = host;
}

void Client::setProxyPort(const QString &port)
{
    proxyPort = port;
}

void Client::clearSessionToken()
{
    sessionToken.clear();
}

void Client::readConfigFile()
{
    ClientConfig config;
    config.read(QString::fromLatin1(kConfigFileName));
    serverHost = config.serverHost();
    serverPort = config.serverPort();
    serverTls = config.serverTls();
    serverCaFile = config.serverCaFile();
}

void Client::run()
{
    CLIENT_DEBUG << "run...";
    if (serverHost.isEmpty() || proxyHost.isEmpty() || serverPort.isEmpty() || proxyPort.isEmpty())
        return;
    CLIENT_DEBUG << "Server host: " << serverHost;
    CLIENT_DEBUG << "Server port: " << serverPort;
    CLIENT_DEBUG << "";
    CLIENT_DEBUG << "Proxy host: " << proxyHost;
    CLIENT_DEBUG << "Proxy port: " << proxyPort;
    if (serverTls && serverCaFile.isEmpty()) {
        CLIENT_DEBUG << "Server TLS, trusting the system's CAs";
    } else if (serverTls) {
        CLIENT_DEBUG << "Server TLS, trusting only the CAs of " << serverCaFile;
    }

    // The replaced sockets still report their closing through the slots, which keeps the flags
    // and the status in step with them.
    std::unique_ptr<QWebSocket> previousServer = std::exchange(
        serverSocket, std::make_unique<QWebSocket>(QString(), QWebSocketProtocol::Version13));
    previousServer.reset();
    connect(serverSocket.get(), SIGNAL(connected()), this, SLOT(onConnectedToServer()));
    connect(serverSocket.get(), SIGNAL(disconnected()), this, SLOT(onDisconnectedFromServer()));
    connect(serverSocket.get(), SIGNAL(error(QAbstractSocket::SocketError)), this,
            SLOT(onErrorFromServer(QAbstractSocket::SocketError)));
    connect(serverSocket.get(), &QWebSocket::pong, this, &Client::onPongFromServer);
    connect(serverSocket.get(), &QWebSocket::bytesWritten, this, &Client::onBytesWrittenToServer);
    connect(serverSocket.get(), &QWebSocket::sslErrors, this, &Client::onSslErrorsFromServer);

    std::unique_ptr<QWebSocket> previousProxy =
        std::exchange(proxySocket, std::make_unique<QWebSocket>(QStringLiteral("localhost"),
                                                                QWebSocketProtocol::Version13));
    previousProxy.reset();
    connect(proxySocket.get(), SIGNAL(connected()), this, SLOT(onConnectedToProxy()));
    connect(proxySocket.get(), SIGNAL(disconnected()), this, SLOT(onDisconnectedFromProxy()));
    connect(proxySocket.get(), SIGNAL(error(QAbstractSocket::SocketError)), this,
            SLOT(onErrorFromProxy(QAbstractSocket::SocketError)));

    serverUrl = (serverTls ? QStringLiteral("wss://") : QStringLiteral("ws://")) + serverHost +
                QLatin1Char(':') + serverPort;
    proxyUrl = QStringLiteral("ws://") + proxyHost + QLatin1Char(':') + proxyPort;

    // A retry still pending for the old socket would reopen the new one in mid-attempt.
    reconnectTimer->stop();
    connectToServer();
}

void Client::connectToServer()
{
    if (!serverSocket)
        return;
    if (serverTls && !prepareServerTls()) {
        // Fails as a refused connection does; the socket never left the unconnected state.
        onDisconnectedFromServer();
        return;
    }
    QNetworkRequest request(QUrl(serverUrl, QUrl::TolerantMode));
    request.setRawHeader(QByteArrayLiteral("Cookie"),
                         QByteArray(kCookiePrefix) + sessionToken.toUtf8());
    // Before open(): an unusable URL fails inside it, and that failure must find the attempt's
    // deadline already running so as to stop it.
    handshakeTimer->start();
    serverSocket->open(request);
    if (!serverTls || serverAuthorities.isEmpty())
        return;
    // The QWebSocket owns its TLS socket as a Qt child, and `encrypted` is the last moment before
    // the buffered upgrade request (with the session token) leaves. A socket of an earlier attempt
    // may still be among the children; it will not be encrypted again.
    for (QSslSocket *socket : serverSocket->findChildren<QSslSocket *>())
        connect(socket, &QSslSocket::encrypted, this, &Client::onServerEncrypted,
                Qt::UniqueConnection);
}

bool Client::prepareServerTls()
{
    if (!QSslSocket::supportsSsl()) {
        CLIENT_DEBUG << "TLS not available: " << QSslSocket::sslLibraryBuildVersionString();
        return false;
    }
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    QList<QSslCertificate> authorities;
    if (!serverCaFile.isEmpty()) {
        // Read at every attempt, so that a file put right takes effect without a restart; never
        // replaced by the system's CAs when it is unusable.
        QFile file(serverCaFile);
        if (!file.open(QIODevice::ReadOnly)) {
            CLIENT_DEBUG << "Server CA file unreadable: " << serverCaFile << file.errorString();
            return false;
        }
        authorities = QSslCertificate::fromData(file.readAll());
        if (authorities.isEmpty()) {
            CLIENT_DEBUG << "Server CA file holds no PEM certificate: " << serverCaFile;
            return false;
        }
        // Also ends the loading of the system's CAs on demand.
        tls.setCaCertificates(authorities);
    }
    serverAuthorities = authorities;
    serverSocket->setSslConfiguration(tls);
    return true;
}

void Client::onConnectedToServer()
{
    CLIENT_DEBUG << "Connected to server";
    // Unique: should Qt ever report connected() twice without disconnected() in between, each
    // message must still be handled once.
    connect(serverSocket.get(), SIGNAL(binaryMessageReceived(const QByteArray &)), this,
            SLOT(binaryMessageReceivedA(const QByteArray &)), Qt::UniqueConnection);
    connect(serverSocket.get(), SIGNAL(textMessageReceived(const QString &)), this,
            SLOT(textMessageReceivedA(const QString &)), Qt::UniqueConnection);
    serverConnected = true;
    handshakeTimer->stop();
    lastLifeSign.start();
    unsentUpload = 0;
    pingTimer->start();
    silenceTimer->start(kSilenceLimitMs);
    emit sessionAStatusChanged(Client::Connected);
    emit connectedToServer();
}

void Client::onDisconnectedFromServer()
{
    CLIENT_DEBUG << "Disconnected from server";
    if (serverSocket) {
        disconnect(serverSocket.get(), SIGNAL(binaryMessageReceived(const QByteArray &)), this,
                   SLOT(binaryMessageReceivedA(const QByteArray &)));
        disconnect(serverSocket.get(), SIGNAL(textMessageReceived(const QString &)), this,
                   SLOT(textMessageReceivedA(const QString &)));
    }
    serverConnected = false;
    handshakeTimer->stop();
    pingTimer->stop();
    silenceTimer->stop();
    emit sessionAStatusChanged(Client::Disconnected);
    emit disconnectedFromServer();
    if (proxyConnected)
        closeProxyConnection();
    if (reconnectEnabled)
        reconnectTimer->start();
}

void Client::reconnectToServer()
{
    CLIENT_DEBUG << "Debug:: reconnectToServer";
    reconnectTimer->stop();
    connectToServer();
}

void Client::dropServerConnection()
{
    if (!serverSocket)
        return;
    // A connecting or open socket reports its disconnection from within abort().
    serverSocket->abort();
    // One that never left the unconnected state (an unusable URL) reports nothing; the attempt
    // still ends as a disconnection does, once: a pending retry shows it has been handled.
    if (serverSocket->state() == QAbstractSocket::UnconnectedState && !reconnectTimer->isActive())
        onDisconnectedFromServer();
}

void Client::onServerHandshakeTimeout()
{
    CLIENT_DEBUG << "Server handshake timed out";
    dropServerConnection();
}

void Client::pingServer()
{
    if (serverSocket)
        serverSocket->ping();
}

void Client::onPongFromServer()
{
    lastLifeSign.start();
}

void Client::onBytesWrittenToServer(qint64 written)
{
    // Only a backlog that drains shows the link alive: a ping or a small message goes straight
    // into the system's buffer even when nothing leaves the machine any more. Frame and TLS
    // overhead make `written` run slightly ahead of the message bytes, never behind.
    if (serverConnected && unsentUpload > written)
        lastLifeSign.start();
    unsentUpload = std::max<qint64>(0, unsentUpload - written);
}

void Client::onSslErrorsFromServer(const QList<QSslError> &errors)
{
    // Never ignored: the socket ends the attempt, which then fails as a refused one does.
    for (const QSslError &error : errors)
        CLIENT_DEBUG << "Server certificate refused: " << error.errorString();
}

void Client::onServerEncrypted()
{
    // Schannel still trusts the Windows root store beside the CA file's CAs, so the chain it
    // verified must be checked against the file; OpenSSL has already kept to the file's CAs.
    auto *socket = qobject_cast<QSslSocket *>(sender());
    if (!socket || socket->state() != QAbstractSocket::ConnectedState ||
        certificatechain::leadsToAuthority(socket->peerCertificateChain(), serverAuthorities))
        return;
    CLIENT_DEBUG << "Server certificate refused: "
                 << QStringLiteral("its chain leads to no CA of the CA file");
    // Synchronously, before the socket writes what it buffered; ends the attempt as a refused
    // certificate does.
    socket->abort();
}

void Client::onServerSilenceCheck()
{
    if (!serverConnected)
        return;
    // Messages only note the time; the check waits for the rest of the limit since the last one.
    const qint64 remaining = kSilenceLimitMs - lastLifeSign.elapsed();
    if (remaining > 0) {
        silenceTimer->start(int(remaining));
        return;
    }
    CLIENT_DEBUG << "Server silent, connection dropped";
    dropServerConnection();
}

void Client::onConnectedToProxy()
{
    CLIENT_DEBUG << "Connected to proxy";
    connect(proxySocket.get(), SIGNAL(binaryMessageReceived(const QByteArray &)), this,
            SLOT(binaryMessageReceivedB(const QByteArray &)), Qt::UniqueConnection);
    connect(proxySocket.get(), SIGNAL(textMessageReceived(const QString &)), this,
            SLOT(textMessageReceivedB(const QString &)), Qt::UniqueConnection);
    proxyConnected = true;
    emit sessionBStatusChanged(Client::Connected);
    emit connectedToProxy();
}

void Client::onDisconnectedFromProxy()
{
    CLIENT_DEBUG << "Disconnected from proxy";
    proxyConnected = false;
    emit sessionBStatusChanged(Client::Disconnected);
    emit disconnectedFromProxy();
    // The proxy's last messages may still wait in the socket: QWebSocket reads on a later turn
    // of the event loop, and on Windows the end of the connection can be reported first. They
    // are the session's own (a VNC server's refusal comes just before its close), so the wiring
    // stays until they are passed on, unless a new session has started on this socket by then.
    QMetaObject::invokeMethod(
        this,
        [this, socket = QPointer<QWebSocket>(proxySocket.get())] {
            if (!proxyConnected && socket && socket == proxySocket.get())
                unwireProxyMessages();
        },
        Qt::QueuedConnection);
}

void Client::unwireProxyMessages()
{
    if (!proxySocket)
        return;
    disconnect(proxySocket.get(), SIGNAL(binaryMessageReceived(const QByteArray &)), this,
               SLOT(binaryMessageReceivedB(const QByteArray &)));
    disconnect(proxySocket.get(), SIGNAL(textMessageReceived(const QString &)), this,
               SLOT(textMessageReceivedB(const QString &)));
}

void Client::closeProxyConnection()
{
    if (!proxySocket)
        return;
    proxySocket->close(QWebSocketProtocol::CloseCodeNormal, QString());
    // A socket that never got up has nothing to close and reports nothing; the session still
    // has to end, or every later server message would be taken for relay traffic.
    if (proxyConnected && proxySocket->state() == QAbstractSocket::UnconnectedState)
        onDisconnectedFromProxy();
}

void Client::onErrorFromServer(QAbstractSocket::SocketError error)
{
    CLIENT_DEBUG << "Server error: " << error;
    if (proxyConnected) {
        // The session ends as it does on an orderly disconnection: the proxy connection is
        // closed, and its socket keeps the wiring that the next session needs.
        unwireProxyMessages();
        proxyConnected = false;
        CLIENT_DEBUG << "Disconnected to proxy.";
        closeProxyConnection();
    }
    // A refused handshake leaves Qt's socket connecting for as long as the server keeps the
    // connection, and an unusable URL fails without leaving the unconnected state; either way
    // no disconnection would follow to schedule the next attempt.
    if (!serverSocket)
        return;
    const QAbstractSocket::SocketState state = serverSocket->state();
    if (state == QAbstractSocket::ConnectingState ||
        (state == QAbstractSocket::UnconnectedState && !reconnectTimer->isActive()))
        dropServerConnection();
}

void Client::onErrorFromProxy(QAbstractSocket::SocketError error)
{
    CLIENT_DEBUG << "Proxy error: " << error;
    if (!proxyConnected || !proxySocket)
        return;
    // An attempt that failed must end the session, or the agent would stay in relay mode.
    if (proxySocket->state() == QAbstractSocket::ConnectingState)
        proxySocket->abort(); // a refused handshake: the disconnection follows
    else if (proxySocket->state() == QAbstractSocket::UnconnectedState)
        onDisconnectedFromProxy(); // e.g. an unusable URL: no disconnection will be reported
}

void Client::textMessageReceivedA(const QString &)
{
    lastLifeSign.start();
    CLIENT_DEBUG << "textMessageReceivedA";
}

void Client::textMessageReceivedB(const QString &message)
{
    CLIENT_DEBUG << "textMessageReceivedB";
    if (serverSocket)
        unsentUpload += serverSocket->sendTextMessage(message);
}

void Client::binaryMessageReceivedA(const QByteArray &message)
{
    lastLifeSign.start();
    if (proxyConnected)
        relayToProxy(message);
    else
        handleHandshakeMessage(message);
}

void Client::handleHandshakeMessage(const QByteArray &message)
{
    try {
        const QString text =
            QString::fromUtf8(message.constData(), int(envelope::untilZero(view(message)).size()));
        CLIENT_DEBUG << text;
        const QByteArray utf8 = text.toUtf8();
        const std::optional<nlohmann::json> value = envelope::parse(view(utf8));
        if (!value) {
            CLIENT_DEBUG << "Error: Wrong input data. Not a JSON.";
            return;
        }
        const std::string *version = envelope::stringMember(*value, "api_version");
        if (!version || *version != envelope::kApiVersion)
            return;
        const std::string *action = envelope::stringMember(*value, "action");
        if (!action)
            return;
        if (*action == envelope::kActionConnectionInfo) {
            if (const std::string *id = envelope::stringMember(*value, "id"))
                sessionId = QString::fromStdString(*id);
            if (const std::string *token = envelope::stringMember(*value, "session_token"))
                sessionToken = QString::fromStdString(*token);
            CLIENT_DEBUG << "Your ID: " << sessionId;
            CLIENT_DEBUG << "Your Token: " << sessionToken;
            emit sessionIdChanged(sessionId);
        } else if (*action == envelope::kActionStartSession) {
            // Relay mode first: should the attempt fail while open() runs, the error handler
            // then sees the session it has to end.
            proxyConnected = true;
            if (proxySocket)
                proxySocket->open(QUrl(proxyUrl, QUrl::TolerantMode));
            CLIENT_DEBUG << "START_SESSION";
        }
    } catch (...) {
        CLIENT_DEBUG << "Error parsing JSON";
    }
}

void Client::relayToProxy(const QByteArray &message)
{
    CLIENT_DEBUG << "RECEIVED MESSAGE @5: " << message;
    // The stream's own envelopes take a short cut to the same payload as the general path: the
    // payload is decoded in the same pass that checks the envelope's shape.
    QByteArray bytes(int(base64::maxDecodedSize(std::size_t(message.size()))), Qt::Uninitialized);
    if (const std::optional<std::size_t> n =
            envelope::decodeCompactRfb(view(message), bytes.data())) {
        bytes.resize(int(*n));
        if (debugEnabled()) {
            for (const char *line : {"T1", "T2", "T3", "T4", "T5", "T5.1"})
                qDebug() << line;
            qDebug() << "Sending payload to proxy";
            const std::string_view payload = *envelope::matchCompactRfb(view(message));
            qDebug() << "T5.2:: " << QString::fromUtf8(payload.data(), int(payload.size()));
        }
        sendToProxy(bytes);
        return;
    }

    const QByteArray utf8 =
        QString::fromUtf8(message.constData(), int(envelope::untilZero(view(message)).size()))
            .toUtf8();
    const std::optional<nlohmann::json> value = envelope::parse(view(utf8));
    if (!value) {
        CLIENT_DEBUG << "Error: Wrong input data. Not a JSON.";
        return;
    }
    CLIENT_DEBUG << "T1";
    const std::string *version = envelope::stringMember(*value, "api_version");
    if (!version)
        return;
    CLIENT_DEBUG << "T2";
    if (*version != envelope::kApiVersion)
        return;
    CLIENT_DEBUG << "T3";
    const std::string *action = envelope::stringMember(*value, "action");
    if (!action)
        return;
    CLIENT_DEBUG << "T4";
    if (*action != envelope::kActionRfb)
        return;
    CLIENT_DEBUG << "T5";
    const std::string *payload = envelope::stringMember(*value, "payload");
    if (!payload)
        return;
    CLIENT_DEBUG << "T5.1";
    CLIENT_DEBUG << "Sending payload to proxy";
    const std::string_view encoded = envelope::untilZero(*payload);
    bytes.resize(int(base64::maxDecodedSize(encoded.size())));
    bytes.resize(int(base64::decode(encoded.data(), encoded.size(), bytes.data())));
    CLIENT_DEBUG << "T5.2:: " << QString::fromStdString(*payload);
    sendToProxy(bytes);
}

void Client::sendToProxy(const QByteArray &bytes)
{
    if (proxySocket)
        proxySocket->sendBinaryMessage(bytes);
    CLIENT_DEBUG << "T5.3";
}

void Client::binaryMessageReceivedB(const QByteArray &frame)
{
    if (!serverSocket)
        return;
    QByteArray message;
    if (apiVersion ==
        QLatin1String(envelope::kApiVersion.data(), int(envelope::kApiVersion.size()))) {
        message = QByteArray(int(envelope::rfbEnvelopeSize(std::size_t(frame.size()))),
                             Qt::Uninitialized);
        envelope::writeRfbEnvelope(frame.constData(), std::size_t(frame.size()), message.data());
    } else {
        const std::string built = envelope::rfbEnvelope(view(apiVersion.toUtf8()), view(frame));
        message = QByteArray(built.data(), int(built.size()));
    }
    unsentUpload += serverSocket->sendBinaryMessage(message);
}
