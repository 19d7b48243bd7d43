// Fuzz target: the Client's handling of a message from the server, in both modes, and of a frame
// from the proxy. A real Client is driven through its public slots; its sockets never connect
// (both addresses are closed ports on 127.0.0.1 and the event loop is not run), so nothing leaves
// the process and Qt drops what the Client sends.
//
// Input: one selector byte, then the message.
//   selector & 3: 0 handshake mode, 1 and 3 relay mode, 2 a frame from the proxy
//   selector & 4: debug output off (the relay's lines are then never formatted)

#include "client/client.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QTcpServer>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {

struct Harness
{
    Harness()
    {
        // Lines are formatted as usual but not printed.
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        QDir::setCurrent(dir.path());
        const QString closed = QString::number(closedPort());
        QFile config(QStringLiteral("velmora.conf"));
        if (config.open(QIODevice::WriteOnly))
            config.write("server_host: 127.0.0.1\nserver_port: " + closed.toLatin1() + "\n");
        config.close();
        client = new Client;
        client->setProxyHost(QStringLiteral("127.0.0.1"));
        client->setProxyPort(closed);
        client->run();
    }

    static quint16 closedPort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }

    QTemporaryDir dir;
    Client *client = nullptr; // lives as long as the process
};

Harness *harness = nullptr;

const QByteArray startSession(R"({"action":"start_session","api_version":"110"})");

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    harness = new Harness;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 1 << 24)
        return 0;
    Client *client = harness->client;
    const unsigned selector = data[0];
    const QByteArray message(reinterpret_cast<const char *>(data) + 1, int(size - 1));
    QLoggingCategory *category = QLoggingCategory::defaultCategory();

    // A known mode first: leaving relay mode is always possible, and a session start enters it.
    category->setEnabled(QtDebugMsg, true);
    client->onDisconnectedFromProxy();
    const unsigned mode = selector & 3;
    if (mode == 1 || mode == 3)
        client->binaryMessageReceivedA(startSession);

    category->setEnabled(QtDebugMsg, (selector & 4) == 0);
    if (mode == 2)
        client->binaryMessageReceivedB(message);
    else
        client->binaryMessageReceivedA(message);
    category->setEnabled(QtDebugMsg, true);

    // What the event loop would do between two messages, short of polling the sockets: Qt's
    // queued work, then the socket objects that a session start replaced (deferred deletions are
    // only carried out when asked for by name outside a running loop).
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
