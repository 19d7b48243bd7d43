#include "partitionrelay.h"

#include <QTcpSocket>

struct PartitionRelay::Pair
{
    std::unique_ptr<QTcpSocket> inbound;
    std::unique_ptr<QTcpSocket> outbound;
    bool blackHoled = false;
};

PartitionRelay::PartitionRelay(const QHostAddress &targetHost, quint16 targetPort, QObject *parent)
    : QObject(parent), targetHost(targetHost), targetPort(targetPort)
{
    connect(&server, &QTcpServer::newConnection, this, &PartitionRelay::onNewConnection);
}

PartitionRelay::~PartitionRelay()
{
    for (const std::shared_ptr<Pair> &pair : pairs) {
        pair->inbound->disconnect(this);
        pair->outbound->disconnect(this);
    }
}

bool PartitionRelay::listen()
{
    return server.listen(QHostAddress::LocalHost, 0);
}

void PartitionRelay::partition()
{
    partitioned = true;
    for (const std::shared_ptr<Pair> &pair : pairs)
        pair->blackHoled = true;
}

void PartitionRelay::heal()
{
    partitioned = false;
}

void PartitionRelay::cutClients()
{
    for (const std::shared_ptr<Pair> &pair : pairs) {
        pair->blackHoled = true;
        pair->inbound->abort();
    }
}

void PartitionRelay::onNewConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        ++accepted;
        auto pair = std::make_shared<Pair>();
        pair->inbound.reset(socket);
        socket->setParent(nullptr);
        pair->outbound = std::make_unique<QTcpSocket>();
        pair->blackHoled = partitioned;
        Pair *raw = pair.get();
        pairs << pair;
        connect(raw->inbound.get(), &QTcpSocket::readyRead, this,
                [this, raw] { forward(raw, raw->inbound.get(), raw->outbound.get()); });
        connect(raw->outbound.get(), &QTcpSocket::readyRead, this,
                [this, raw] { forward(raw, raw->outbound.get(), raw->inbound.get()); });
        // The outbound side forwards what arrived before it was up.
        connect(raw->outbound.get(), &QTcpSocket::connected, this,
                [this, raw] { forward(raw, raw->inbound.get(), raw->outbound.get()); });
        connect(raw->inbound.get(), &QTcpSocket::disconnected, this,
                [this, raw] { onClosed(raw); });
        connect(raw->outbound.get(), &QTcpSocket::disconnected, this,
                [this, raw] { onClosed(raw); });
        // A target that refuses: the client sees its connection closed, as it would directly.
        connect(raw->outbound.get(), &QTcpSocket::errorOccurred, this, [this, raw] {
            if (raw->outbound->state() == QAbstractSocket::UnconnectedState)
                onClosed(raw);
        });
        if (!raw->blackHoled)
            raw->outbound->connectToHost(targetHost, targetPort);
        emit connectionAccepted();
    }
}

void PartitionRelay::forward(Pair *pair, QTcpSocket *from, QTcpSocket *to)
{
    if (pair->blackHoled) {
        dropped += from->readAll().size();
        return;
    }
    if (to->state() != QAbstractSocket::ConnectedState)
        return; // kept in `from` until the outbound side is up
    to->write(from->readAll());
}

void PartitionRelay::onClosed(Pair *pair)
{
    if (pair->blackHoled)
        return;
    pair->inbound->disconnectFromHost();
    pair->outbound->disconnectFromHost();
}
