#include "partitionrelay.h"

#include <QTcpSocket>

#include <algorithm>
#include <utility>

#ifdef Q_OS_LINUX
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

constexpr int kUplinkTickMs = 20;
// Qt's share of the shaped uplink; the kernel's is set on the listening socket.
constexpr qint64 kUplinkReadBuffer = 16 * 1024;

#ifdef Q_OS_LINUX
// A listening socket on 127.0.0.1 whose connections use real-network segment sizes and a small
// receive buffer; -1 on failure.
int smallBufferListener()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int segment = 1400;
    const int buffer = 16 * 1024;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
#endif

} // namespace

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
    uplinkTimer.setInterval(kUplinkTickMs);
    connect(&uplinkTimer, &QTimer::timeout, this, &PartitionRelay::onUplinkTick);
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
    if (uplinkRate == 0)
        return server.listen(QHostAddress::LocalHost, 0);
#ifdef Q_OS_LINUX
    const int fd = smallBufferListener();
    if (fd < 0 || !server.setSocketDescriptor(fd))
        return false;
    uplinkClock.start();
    uplinkTimer.start();
    return true;
#else
    return false; // the shaped uplink needs the kernel's buffers kept small
#endif
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

void PartitionRelay::cut()
{
    const QList<std::shared_ptr<Pair>> ended = std::exchange(pairs, {});
    for (const std::shared_ptr<Pair> &pair : ended) {
        pair->inbound->disconnect(this);
        pair->outbound->disconnect(this);
        pair->inbound->abort();
        pair->outbound->abort();
    }
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
        if (uplinkRate > 0)
            socket->setReadBufferSize(kUplinkReadBuffer);
        pair->outbound = std::make_unique<QTcpSocket>();
        pair->blackHoled = partitioned;
        Pair *raw = pair.get();
        pairs << pair;
        if (uplinkRate == 0)
            connect(raw->inbound.get(), &QTcpSocket::readyRead, this,
                    [this, raw] { forward(raw, raw->inbound.get(), raw->outbound.get()); });
        connect(raw->outbound.get(), &QTcpSocket::readyRead, this,
                [this, raw] { forward(raw, raw->outbound.get(), raw->inbound.get()); });
        // The outbound side forwards what arrived before it was up (a shaped uplink: at the
        // next tick).
        if (uplinkRate == 0)
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
    const QByteArray bytes = from->readAll();
    if (from == pair->inbound.get())
        forwardedUp += bytes.size();
    to->write(bytes);
}

void PartitionRelay::onUplinkTick()
{
    // The budget of the time since the last tick, shared by the connections in turn; a late
    // tick is not made up for beyond a few ticks, so that a stall is not followed by a burst.
    qint64 budget = uplinkRate * std::min<qint64>(uplinkClock.restart(), 5 * kUplinkTickMs) / 1000;
    for (const std::shared_ptr<Pair> &pair : pairs) {
        if (pair->blackHoled || pair->outbound->state() != QAbstractSocket::ConnectedState)
            continue;
        const QByteArray bytes =
            pair->inbound->read(std::min(budget, pair->inbound->bytesAvailable()));
        pair->outbound->write(bytes);
        forwardedUp += bytes.size();
        budget -= bytes.size();
    }
}

void PartitionRelay::onClosed(Pair *pair)
{
    if (pair->blackHoled)
        return;
    pair->inbound->disconnectFromHost();
    pair->outbound->disconnectFromHost();
}
