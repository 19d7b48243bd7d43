// The agent's network side: the WebSocket to the rendezvous server (side A) and the WebSocket to
// the local WebSocket-to-TCP proxy (side B), reconnection, and the relay between the two.
#pragma once

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>

#include <memory>
#include <string_view>

class QSslError;
class QTimer;
class QWebSocket;

/// One per process, created by the main window with no parent and deleted by it.
///
/// Construction reads "velmora.conf" from the working directory (see ClientConfig). The owner
/// then calls setProxyHost(), setProxyPort() and run(); from there the Client keeps a connection
/// to the server, retrying 4000 ms after each loss without limit, and relays a session between
/// the server and the proxy when the server starts one.
///
/// Every failed attempt, whether Qt reports it as a disconnection or only as an error (an unusable
/// URL), reports Disconnected and leads to exactly one new attempt 4000 ms later. An attempt whose
/// WebSocket handshake has not completed within 10 s is ended as failed. While connected, the
/// Client pings the server every 10 s and ends a connection on which for 25 s nothing (pong or
/// message) has arrived and its own queued messages have not moved on (a write to the network
/// that leaves more of them behind), as a dropped connection
/// ends: a link that goes silent without a FIN or RST is noticed, and the agent does not show an
/// ID that no supporter can reach; a slow uplink that is still draining is not taken for one.
///
/// With TLS configured the server is reached at "wss://": its certificate must be valid for the
/// configured host (name or IP address) and chain to the system's CAs, or to those of the
/// configured CA file only (the verified chain must lead to one of that file's CAs, whatever else
/// the platform trusts). Nothing is sent before it is verified, and a refused certificate, or
/// a CA file that cannot be read or holds no certificate, fails the attempt as a refused
/// connection does, with the reason in the debug log.
///
/// Everything runs on the thread that created the object; all connections are direct.
class Client : public QObject
{
    Q_OBJECT

public:
    /// State of one side's connection; carried by direct connections only, so not a meta-type.
    enum Status { Disconnected = 0, Connected = 1 };

    explicit Client(QObject *parent = nullptr);
    ~Client() override;

    void setProxyHost(const QString &host);
    void setProxyPort(const QString &port);
    /// Forgets the session token, so that the next handshake asks the server for a new session.
    void clearSessionToken();

signals:
    void sessionIdChanged(QString sessionId);
    void sessionAStatusChanged(Client::Status status);
    void sessionBStatusChanged(Client::Status status);
    void connectedToServer();
    void disconnectedFromServer();
    void connectedToProxy();
    void disconnectedFromProxy();

private slots:
    void readConfigFile();

public slots:
    /// Creates and wires both sockets and connects to the server; does nothing but log when a
    /// server or proxy setting is empty.
    void run();
    void onConnectedToServer();
    void onConnectedToProxy();
    void onDisconnectedFromServer();
    void onDisconnectedFromProxy();
    void binaryMessageReceivedA(const QByteArray &);
    void binaryMessageReceivedB(const QByteArray &);
    void textMessageReceivedA(const QString &message);
    void textMessageReceivedB(const QString &message);
    void onErrorFromServer(QAbstractSocket::SocketError error);
    void onErrorFromProxy(QAbstractSocket::SocketError error);
    void onSslErrorsFromServer(const QList<QSslError> &errors);

private slots:
    void reconnectToServer();
    void onServerHandshakeTimeout();
    void onServerSilenceCheck();
    void onPongFromServer();
    void onBytesWrittenToServer(qint64 written);
    // With a CA file: refuses a verified chain that leads to none of its CAs.
    void onServerEncrypted();
    void pingServer();

private:
    void connectToServer();
    // The TLS settings of the next attempt; false (after logging why) when it cannot be made.
    bool prepareServerTls();
    void handleHandshakeMessage(const QByteArray &message);
    void relayToProxy(const QByteArray &message);
    void sendToProxy(const QByteArray &bytes);
    // Removes the two message connections of the proxy socket that onConnectedToProxy made.
    void unwireProxyMessages();
    void closeProxyConnection();
    // Ends the server connection as a failed attempt or a drop: disconnected, one retry later.
    void dropServerConnection();

    QTimer *reconnectTimer = nullptr; // Qt child
    QTimer *handshakeTimer = nullptr; // Qt child; runs while an attempt is connecting
    QTimer *pingTimer = nullptr;      // Qt child; runs while connected
    QTimer *silenceTimer = nullptr;   // Qt child; runs while connected
    QElapsedTimer lastLifeSign;       // since anything arrived or the upload last moved on
    qint64 unsentUpload = 0;          // message bytes given to the server socket, not yet written
    QString apiVersion;
    bool serverConnected = false;
    bool proxyConnected = false; // true: server messages are relayed; false: handshake
    bool reconnectEnabled = true;
    QString sessionId;
    QString sessionToken;
    QString serverUrl;
    QString proxyUrl;
    QString serverHost;
    QString serverPort;
    bool serverTls = false;
    QString serverCaFile;
    QList<QSslCertificate> serverAuthorities; // the CA file's, as last read; empty without one
    QString proxyHost;
    QString proxyPort;
    std::unique_ptr<QWebSocket> serverSocket;
    std::unique_ptr<QWebSocket> proxySocket;
};
