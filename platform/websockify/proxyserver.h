// The proxy's listening end.
#pragma once

#include "platform/websockify/console.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>

/// Accepts connections on one address and serves each with a ProxyConnection of its own towards
/// `target`.
class ProxyServer : public QObject
{
    Q_OBJECT

public:
    explicit ProxyServer(const console::HostPort &target, QObject *parent = nullptr);

    /// False when the address cannot be had; errorString() then says why.
    bool listen(const QHostAddress &address, quint16 port);
    QString errorString() const;

private:
    void acceptConnections();

    QTcpServer server;
    const console::HostPort target;
};
