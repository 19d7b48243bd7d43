// A TCP relay between a client and a server that can be partitioned: while partitioned it
// forwards nothing and closes nothing, as a network that silently drops packets does. It can also
// play a slow uplink: the client's bytes forwarded at a set rate.
#pragma once

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <memory>

class QTcpSocket;

/// Listens on 127.0.0.1 and connects each accepted connection to the target.
///
/// partition(): from then on every byte in either direction is read and thrown away, and a close
/// on one side is not passed to the other. Connections that lived through a partition stay that
/// way for good (their lost bytes would have corrupted the stream; a NAT entry or a balancer's
/// backend that is gone does not come back for them), and so do connections accepted during it.
/// heal(): connections accepted from then on are relayed again.
///
/// setUplinkRate(): the client's bytes are forwarded at that many bytes a second, and the kernel's
/// buffers on that path are kept small (segments of 1400 bytes, a small receive buffer), as on a
/// real uplink; on loopback the client's kernel would otherwise take megabytes at once. While
/// partitioned, a shaped uplink is not read at all: the client's bytes pile up in its own buffers
/// as they do when no acknowledgement comes back.
class PartitionRelay : public QObject
{
    Q_OBJECT

public:
    PartitionRelay(const QHostAddress &targetHost, quint16 targetPort, QObject *parent = nullptr);
    ~PartitionRelay() override;

    /// Call before listen(); 0 (the default) forwards at once.
    void setUplinkRate(qint64 bytesPerSecond) { uplinkRate = bytesPerSecond; }
    bool listen();
    quint16 port() const { return server.serverPort(); }

    void partition();
    void heal();
    /// Ends every relayed connection on both sides at once, as a reset does.
    void cut();
    /// Resets the client's side of every connection so far and black-holes the target's side,
    /// which stays open: the target is left with half-open connections, the client may connect
    /// again at once.
    void cutClients();
    bool isPartitioned() const { return partitioned; }

    /// Connections accepted so far, and bytes dropped so far (both directions).
    int acceptedCount() const { return accepted; }
    qint64 droppedBytes() const { return dropped; }
    /// Bytes forwarded from clients to the target so far.
    qint64 uplinkBytes() const { return forwardedUp; }

signals:
    void connectionAccepted();

private:
    struct Pair;
    void onNewConnection();
    void forward(Pair *pair, QTcpSocket *from, QTcpSocket *to);
    void onClosed(Pair *pair);
    void onUplinkTick();

    QTcpServer server;
    QHostAddress targetHost;
    quint16 targetPort;
    bool partitioned = false;
    int accepted = 0;
    qint64 dropped = 0;
    qint64 forwardedUp = 0;
    qint64 uplinkRate = 0;
    QTimer uplinkTimer;
    QElapsedTimer uplinkClock;
    QList<std::shared_ptr<Pair>> pairs;
};
