// A QWebSocket that behaves like the agent towards the server: presents its token in the cookie,
// takes "connection_info" and "start_session", and relays "rfb" envelopes.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QUrl>
#include <QWebSocket>

class AgentPeer : public QObject
{
    Q_OBJECT

public:
    enum class Mode {
        /// Relay nothing by itself; the test sends with sendRfb().
        Manual,
        /// Like an agent whose VNC server speaks first: answer "start_session" with `greeting`,
        /// then send every received payload back unchanged.
        Echo,
    };

    explicit AgentPeer(Mode mode = Mode::Manual, QObject *parent = nullptr);

    /// Connects to `url` presenting `token` ("VELMORA-SESSION-TOKEN=" alone when empty).
    void open(const QUrl &url, const QString &token = QString());
    /// Reconnects to the last URL with the last token received.
    void reconnect();
    /// Waits (processing events) for a connection_info after the last open().
    bool waitForId(int timeoutMs = 10000);

    /// Sends one compact "rfb" envelope carrying `bytes`.
    void sendRfb(const QByteArray &bytes);

    QWebSocket socket;
    Mode mode;
    QByteArray greeting = QByteArrayLiteral("RFB 003.008\n");
    QUrl url;
    QString id;
    QString token;
    int connectionInfos = 0;
    int sessionStarts = 0;
    /// Decoded payloads of the "rfb" envelopes received, in order.
    QList<QByteArray> payloads;
    /// Every binary message as received.
    QList<QByteArray> messages;
    qint64 payloadBytes = 0;
    int disconnections = 0;
    /// Waits for the next disconnection after the ones counted so far.
    bool waitForDisconnected(int timeoutMs = 10000);

signals:
    void identified();
    void sessionStarted();
    void payloadReceived(const QByteArray &bytes);

private:
    int infosAtOpen = 0;
    void onBinary(const QByteArray &message);
};
