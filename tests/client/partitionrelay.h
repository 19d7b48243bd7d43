// A TCP relay between a client and a server that can be partitioned: while partitioned it
// forwards nothing and closes nothing, as a network that silently drops packets does.
#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpServer>

#include <memory>

class QTcpSocket;

/// Listens on 127.0.0.1 and connects each accepted connection to the target.
///
/// partition(): from then on every byte in either direction is read and thrown away, and a close
/// on one side is not passed to the other. Connections that lived through a partition stay that
/// way for good (their lost bytes would have corrupted the stream; a NAT entry or a balancer's
/// backend that is gone does not come back for them), and so do connections accepted during it.
/// heal(): connections accepted from then on are relayed again.
class PartitionRelay : public QObject
{
    Q_OBJECT

public:
    PartitionRelay(const QHostAddress &targetHost, quint16 targetPort, QObject *parent = nullptr);
    ~PartitionRelay() override;

    bool listen();
    quint16 port() const { return server.serverPort(); }

    void partition();
    void heal();
    /// Resets the client's side of every connection so far and black-holes the target's side,
    /// which stays open: the target is left with half-open connections, the client may connect
    /// again at once.
    void cutClients();
    bool isPartitioned() const { return partitioned; }

    /// Connections accepted so far, and bytes dropped so far (both directions).
    int acceptedCount() const { return accepted; }
    qint64 droppedBytes() const { return dropped; }

signals:
    void connectionAccepted();

private:
    struct Pair;
    void onNewConnection();
    void forward(Pair *pair, QTcpSocket *from, QTcpSocket *to);
    void onClosed(Pair *pair);

    QTcpServer server;
    QHostAddress targetHost;
    quint16 targetPort;
    bool partitioned = false;
    int accepted = 0;
    qint64 dropped = 0;
    QList<std::shared_ptr<Pair>> pairs;
};
