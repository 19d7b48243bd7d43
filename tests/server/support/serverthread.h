// The rendezvous server running in-process on its own thread, on 127.0.0.1 and a free port, with
// its log captured.
#pragma once

#include "server/server.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

/// A fixed secret for tests that do not care which.
QByteArray testSecret();

class ServerThread
{
public:
    /// Listens at once; the caller's options may set timeouts, limits, handlers and TLS. The
    /// listen address, and the plain one beside TLS if set, are forced to 127.0.0.1:0.
    explicit ServerThread(velmora::server::ServerConfig config = defaultConfig());
    ~ServerThread();
    ServerThread(const ServerThread &) = delete;
    ServerThread &operator=(const ServerThread &) = delete;

    static velmora::server::ServerConfig defaultConfig();

    quint16 port() const { return boundPort; }
    /// The plain listener's port beside TLS; 0 without one.
    quint16 plainPort() const { return boundPlainPort; }
    /// "ws://127.0.0.1:PORT" (where agents connect): the plain listener's port when there is
    /// one, else the port ("wss://" with TLS).
    QUrl agentUrl() const;
    /// "ws://127.0.0.1:PORT/viewer/ID" ("wss://" with TLS).
    QUrl viewerUrl(const QString &id) const;

    QStringList log() const;
    /// Lines that contain `needle`.
    QStringList logMatching(const QString &needle) const;
    /// Processes Qt events until a line contains `needle`; false after `timeoutMs`.
    bool waitForLog(const QString &needle, int timeoutMs = 10000) const;

    velmora::server::ServerStats stats() const { return server->stats(); }

    /// Asks the server to stop, without waiting.
    void requestStop();
    /// Stops the server and waits for its thread, processing Qt events meanwhile so that peers in
    /// this thread can answer the closing handshakes; idempotent.
    void stop();

private:
    mutable std::mutex mutex;
    QStringList lines;
    std::unique_ptr<velmora::server::Server> server;
    std::thread thread;
    quint16 boundPort = 0;
    quint16 boundPlainPort = 0;
    bool tls = false;
    std::atomic<bool> finished{false};
};
