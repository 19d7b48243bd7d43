// A real redis-server as a child process for the tests: nothing written to disk, a Unix socket in
// a temporary folder and, when asked, a TCP port on 127.0.0.1 that it reports.
#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class RedisProcess
{
public:
    struct Options
    {
        /// Also listen on a free TCP port of 127.0.0.1 (chosen at the first start and kept).
        bool tcp = false;
        /// requirepass: clients must AUTH with it.
        QByteArray password;
        /// A replica of the primary on this TCP port of 127.0.0.1 (0: a primary).
        quint16 replicaOf = 0;
    };

    RedisProcess();
    explicit RedisProcess(Options options);
    /// Kills the server.
    ~RedisProcess();
    RedisProcess(const RedisProcess &) = delete;
    RedisProcess &operator=(const RedisProcess &) = delete;

    /// Whether redis-server is on the PATH; a test skips with skipReason() when it is not.
    static bool available();
    static const char *skipReason();

    /// Starts the server and waits until it answers PING; false, with error(), when it did not
    /// within `timeoutMs`.
    bool start(int timeoutMs = 10000);
    /// Kills it (SIGKILL: gone as if the machine had died) and waits for the exit.
    void stop();
    /// Starts it again on the same socket and port, empty (nothing persists).
    bool restart(int timeoutMs = 10000);
    bool running() const;
    /// Stops the process where it is (SIGSTOP): connections stay open and nothing answers, as
    /// with a network that drops everything; false resumes it.
    void freeze(bool frozen);

    QString socketPath() const;
    /// The TCP port, 0 without Options::tcp.
    quint16 port() const { return tcpPort; }
    /// "unix://SOCKET[?db=N]", with the password when there is one.
    QString unixUrl(int database = 0) const;
    /// "redis://[:PASSWORD@]127.0.0.1:PORT[/N]"; only with Options::tcp.
    QString tcpUrl(int database = 0) const;

    /// Sends one command over a connection of its own (AUTH and SELECT `database` first) and
    /// returns the reply as Redis sent it (RESP), or an empty array when there was none within
    /// `timeoutMs`. For checks beside the client under test.
    QByteArray call(const QList<QByteArray> &arguments, int database = 0,
                    int timeoutMs = 5000) const;

    /// A port of 127.0.0.1 that was free a moment ago: Redis cannot be asked to pick one and
    /// report it, so a start tries again when another process took it first.
    static quint16 freePort();
    /// `arguments` as one RESP command.
    static QByteArray encode(const QList<QByteArray> &arguments);
    /// Writes `request` on `socket` (connected) and returns the reply after the first `skip`
    /// ones as sent (RESP), or an empty array when there was none within `timeoutMs`.
    static QByteArray exchange(QIODevice &socket, const QByteArray &request, int skip,
                               int timeoutMs);

    /// Why start or restart failed, with the server's output.
    QString error() const { return lastError; }

private:
    bool launch(int timeoutMs);
    bool answersPing() const;

    Options options;
    QTemporaryDir dir;
    QProcess process;
    quint16 tcpPort = 0;
    QString lastError;
};
