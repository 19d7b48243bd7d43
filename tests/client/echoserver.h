// A TCP server on 127.0.0.1 that sends back every byte it receives: the far end of the proxy in
// the relay tests and the benchmark.
#pragma once

#include <QObject>
#include <QTcpServer>

class EchoServer : public QObject
{
    Q_OBJECT

public:
    explicit EchoServer(QObject *parent = nullptr);

    /// Listens on 127.0.0.1 on a port the system chooses.
    bool listen();
    quint16 port() const { return server.serverPort(); }
    /// Bytes echoed so far, over all connections.
    qint64 bytesEchoed() const { return echoed; }
    int connectionCount() const { return connections; }

private:
    void onNewConnection();

    QTcpServer server;
    qint64 echoed = 0;
    int connections = 0;
};
