// A real WebSocket server on 127.0.0.1 that plays the rendezvous server or the local proxy in the
// relay client's tests.
#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QStringList>

class QSslConfiguration;
class QWebSocket;
class QWebSocketServer;

/// Accepts any number of connections one after the other; the latest is "the peer". Records the
/// handshake request of every connection and every message of the current peer.
class WsPeerServer : public QObject
{
    Q_OBJECT

public:
    explicit WsPeerServer(QObject *parent = nullptr);
    ~WsPeerServer() override;

    /// Serves TLS with this configuration (its certificate and key) instead of plain
    /// WebSocket; call before listen().
    void serveTls(const QSslConfiguration &configuration);
    /// Serves TLS with the PEM certificate chain of `chainFile` (leaf first) and the PEM EC key
    /// of `keyFile`, asking no certificate of the client.
    void serveTls(const QString &chainFile, const QString &keyFile);
    /// Listens on 127.0.0.1; port 0 lets the system choose. False when the port is taken.
    bool listen(quint16 port = 0);
    /// Stops accepting; connections already made stay up.
    void stopListening();
    bool isListening() const;
    quint16 port() const;
    /// "ws://127.0.0.1:PORT" ("wss://" with TLS).
    QString url() const;

    /// The latest accepted connection, or null once it has gone.
    QWebSocket *peer() const;
    /// Handshake requests seen, one per accepted connection, oldest first.
    QList<QNetworkRequest> requests() const { return handshakes; }
    int connectionCount() const { return handshakes.size(); }
    int disconnectionCount() const { return disconnections; }

    QList<QByteArray> binaryMessages() const { return binary; }
    QStringList textMessages() const { return text; }
    void clearMessages();
    /// Whether messages are kept (on by default); the signals come either way.
    void setRecording(bool on) { recording = on; }

    /// Sends on the current peer; false when there is none.
    bool sendBinary(const QByteArray &message);
    bool sendText(const QString &message);
    /// Ends the current connection with a close handshake.
    void closePeer();
    /// Ends the current connection at the TCP level, without a close handshake.
    void abortPeer();

signals:
    void peerConnected();
    void peerDisconnected();
    void binaryReceived(const QByteArray &message);
    void textReceived(const QString &message);

private:
    void onNewConnection();
    void wire();

    QWebSocketServer *server; // Qt child
    QPointer<QWebSocket> current;
    QList<QNetworkRequest> handshakes;
    QList<QByteArray> binary;
    QStringList text;
    int disconnections = 0;
    bool recording = true;
};
