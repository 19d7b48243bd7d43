// A QWebSocket that plays the supporter's viewer: raw RFB in binary messages.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QUrl>
#include <QWebSocket>

class SupporterPeer : public QObject
{
    Q_OBJECT

public:
    explicit SupporterPeer(QObject *parent = nullptr);

    void open(const QUrl &url);
    bool waitForConnected(int timeoutMs = 10000);
    bool waitForDisconnected(int timeoutMs = 10000);
    /// Waits until `count` messages arrived in all.
    bool waitForMessages(int count, int timeoutMs = 20000);

    QWebSocket socket;
    QList<QByteArray> messages;
    qint64 bytes = 0;
    bool disconnected = false;
};
