// scripts/cluster.sh as a child process: Redis, velmora-server nodes sharing it and haproxy in
// front, all on 127.0.0.1, with the addresses and pids that the script reports, and the means to
// take parts of it down and up again as an outage would.
#pragma once

#include "serverprocess.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class ClusterProcess
{
public:
    /// One node as haproxy's statistics show it.
    struct Backend
    {
        /// "UP", "DOWN", ...
        QString status;
        /// Connections haproxy has made to it since it started.
        qint64 sessions = 0;
        /// Those open now.
        qint64 current = 0;
    };

    /// `script`: scripts/cluster.sh; `server`: the velmora-server the nodes run. With
    /// VELMORA_KEEP_CLUSTER set in the environment the work folder (logs, configuration) stays.
    ClusterProcess(const QString &script, const QString &server);
    /// Stops everything: the script stops what it started, a Redis started again is killed here.
    ~ClusterProcess();
    ClusterProcess(const ClusterProcess &) = delete;
    ClusterProcess &operator=(const ClusterProcess &) = delete;

    /// Whether redis-server and haproxy are installed; a test skips with skipReason() when not.
    static bool available();
    static const char *skipReason();

    /// Starts `nodes` nodes, each with `nodeFlags` besides the script's own, and waits until the
    /// script says "ready" (every node passed haproxy's check). False, with output(), when not.
    /// `scriptFlags` go to the script first (e.g. "--sentinel").
    bool start(int nodes = 3, const QStringList &nodeFlags = {}, int timeoutMs = 30000,
               const QStringList &scriptFlags = {});

    int nodes() const { return nodeCount; }
    /// haproxy's public port.
    quint16 publicPort() const { return port(QStringLiteral("public")); }
    /// Node `node` (1 to nodes()): its own port, beside haproxy.
    quint16 nodePort(int node) const { return port(QStringLiteral("node%1").arg(node)); }
    quint16 redisPort() const { return port(QStringLiteral("redis")); }
    QString workDir() const { return values.value(QStringLiteral("dir")); }
    /// A value of the script's report by its key ("pid.node2", "stats", ...).
    QString value(const QString &key) const { return values.value(key); }

    /// What node `node` logged so far (its log file in the work folder).
    QStringList nodeLog(int node) const;
    /// The node whose log last says that the agent with `id` came online and has not said since
    /// that it went offline, among the nodes still running; 0 when none.
    int nodeOfAgent(const QString &id) const;
    /// A sample of node `node`'s /metrics (`name` with its labels, e.g.
    /// `velmora_agents_online`), or -1 when it is not there or the node did not answer.
    double metric(int node, const QByteArray &name) const;

    /// Kills node `node` (SIGKILL, as a crash) and waits for it to be gone.
    bool killNode(int node);
    bool nodeRunning(int node) const;
    /// Kills the Redis primary (SIGKILL) and waits for it to be gone: with --sentinel, for a
    /// failover.
    bool killRedis();
    /// Stops Redis (SIGTERM) and waits until its port refuses connections.
    bool stopRedis();
    /// Starts Redis again on the same port from the script's configuration, empty (nothing is
    /// saved), and waits until it answers PING.
    bool startRedis(int timeoutMs = 10000);
    /// Whether Redis answers PING.
    bool redisAnswers() const;

    /// haproxy's view of the nodes, by name ("node1", ...); empty when it did not answer.
    QMap<QString, Backend> backends() const;

    /// What the script printed, and the tails of the logs in its work folder.
    QString output() const;

    /// One plain HTTP GET of `target` from 127.0.0.1:`port` (HTTP/1.0); the whole answer, headers
    /// included and a chunked body joined, or empty when none came within `timeoutMs`.
    static QByteArray httpGet(quint16 port, const QByteArray &target, int timeoutMs = 5000);

private:
    quint16 port(const QString &key) const;
    qint64 pid(const QString &key) const;
    /// SIGKILL to one of the cluster's processes, then waits for it to be gone.
    static bool killPid(qint64 victim);

    QString script;
    QString server;
    QTemporaryDir dir;
    ServerProcess process;
    std::unique_ptr<ServerProcess> redisAgain;
    QMap<QString, QString> values;
    int nodeCount = 0;
};
