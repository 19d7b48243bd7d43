// Debian's websockify (/usr/bin/websockify) as a child process in front of a TCP port: the real
// WebSocket-to-TCP proxy of the relay tests and the benchmark.
#pragma once

#include <QObject>
#include <QProcess>
#include <QString>

class WebsockifyProcess : public QObject
{
    Q_OBJECT

public:
    explicit WebsockifyProcess(QObject *parent = nullptr);
    /// Ends the program and its per-connection children.
    ~WebsockifyProcess() override;

    /// Starts "websockify 127.0.0.1:P 127.0.0.1:targetPort" on a free port P and waits until it
    /// accepts connections. False, with errorString() set, when it does not within timeoutMs.
    bool start(quint16 targetPort, int timeoutMs = 20000);
    void stop();
    quint16 port() const { return listenPort; }
    /// The port as text, the form the Client takes.
    QString portText() const { return QString::number(listenPort); }
    QString errorString() const { return error; }
    qint64 processId() const { return process.processId(); }

    static QString program();

private:
    bool waitUntilListening(int timeoutMs);

    QProcess process;
    quint16 listenPort = 0;
    QString error;
};
