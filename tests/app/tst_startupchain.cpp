// The start-up chain with the real Client, VNCServer and VNCWsProxy. The two outside programs are
// small scripts of this test that record their command line and then wait for the agent to end
// them; the rendezvous server is a QWebSocketServer in this process.

#include "app/mainwindow.h"
#include "credentials/vncpasswordfile.h"
#include "logcapture.h"
#include "protocol/envelope.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>
#include <QWebSocketServer>

#include <memory>

namespace {

const char passwordFile[] = "vnc_password_session.dat";

// Sets its own PATH, as the test's PATH holds only the stand-ins. Records the arguments
// (atomically, so that a reader never sees half a file), then blocks on standard input, which the
// agent's process object keeps open until it ends the program.
[[maybe_unused]] const char standIn[] = "#!/bin/sh\n"
                                        "PATH=/usr/bin:/bin\n"
                                        "name=$(basename \"$0\")\n"
                                        "printf '%s\\n' \"$*\" > \"$name.args.part\"\n"
                                        "mv \"$name.args.part\" \"$name.args\"\n"
                                        "exec cat > /dev/null\n";

QByteArray readFile(const QString &name)
{
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QString copyText()
{
    return QGuiApplication::clipboard()->text(QClipboard::Clipboard);
}

QString copied(const QString &id, const QString &password)
{
    return QStringLiteral("Velmora. ID: ") + id +
           QString::fromUtf8(" Contrase\xc3\xb1"
                             "a: ") +
           password;
}

/// The rendezvous server's side: accepts the agent's connections and keeps the last one.
class RendezvousServer : public QObject
{
    Q_OBJECT

public:
    RendezvousServer() : server(QStringLiteral("rendezvous"), QWebSocketServer::NonSecureMode)
    {
        connect(&server, &QWebSocketServer::newConnection, this, [this] {
            while (QWebSocket *socket = server.nextPendingConnection()) {
                socket->setParent(this);
                cookies << socket->request().rawHeader("Cookie");
                last = socket;
            }
        });
    }

    bool listen() { return server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return server.serverPort(); }
    void send(const std::string &envelope)
    {
        last->sendBinaryMessage(QByteArray::fromStdString(envelope));
    }

    QWebSocketServer server;
    QList<QByteArray> cookies;
    QPointer<QWebSocket> last;
};

} // namespace

class TestStartupChain : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void missingVncServerStopsTheChain();
    void unwritablePasswordFileStopsBeforeVncServer();
    void chainReachesServerAndProxy();
    void exitButtonForgetsTheToken_data();
    void exitButtonForgetsTheToken();

private:
    void installPrograms(const QStringList &names);
    void writeConfig(quint16 port);
    // Where the stand-in called `program` recorded its arguments.
    QString argsFile(const char *program) const;
    QLabel *label(const char *name) const { return window->findChild<QLabel *>(name); }
    QPushButton *button(const char *name) const { return window->findChild<QPushButton *>(name); }

    QString savedCwd;
    QByteArray savedPath;
    std::unique_ptr<QTemporaryDir> work;
    std::unique_ptr<QTemporaryDir> bin;
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<MainWindow> window;
};

void TestStartupChain::initTestCase()
{
    savedCwd = QDir::currentPath();
    savedPath = qgetenv("PATH");
    // Closing the window must not stop the test's own event loops.
    QApplication::setQuitOnLastWindowClosed(false);
}

void TestStartupChain::init()
{
    work = std::make_unique<QTemporaryDir>();
    bin = std::make_unique<QTemporaryDir>();
    QVERIFY(work->isValid());
    QVERIFY(bin->isValid());
    QVERIFY(QDir::setCurrent(work->path()));
    // Only the stand-ins: nothing else on PATH may answer to the programs' names.
    qputenv("PATH", QFile::encodeName(bin->path()));
    log = std::make_unique<LogCapture>();
}

void TestStartupChain::cleanup()
{
    // Ends the stand-in programs before their folder goes.
    window.reset();
    log.reset();
    QDir::setCurrent(savedCwd);
    qputenv("PATH", savedPath);
    bin.reset();
    work.reset();
}

void TestStartupChain::installPrograms(const QStringList &names)
{
    for (const QString &name : names) {
#ifdef Q_OS_WIN
        // The compiled stand-in records its arguments in NAME.args too.
        QVERIFY(QFile::copy(QStringLiteral(VELMORA_TEST_STANDIN), bin->filePath(name)));
#else
        QFile file(bin->filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(standIn) == qint64(sizeof standIn - 1));
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                    QFileDevice::ExeOwner));
#endif
    }
}

QString TestStartupChain::argsFile(const char *program) const
{
    const QString name = QLatin1String(program) + QStringLiteral(".args");
#ifdef Q_OS_WIN
    return bin->filePath(name); // the compiled stand-in records beside itself
#else
    return name; // the script records in the working directory
#endif
}

void TestStartupChain::writeConfig(quint16 port)
{
    QFile file(QStringLiteral("velmora.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Text));
    file.write("server_host: 127.0.0.1\nserver_port: " + QByteArray::number(port) + "\n");
}

void TestStartupChain::missingVncServerStopsTheChain()
{
    installPrograms({"websockify.exe"});
    window = std::make_unique<MainWindow>();

    QTRY_VERIFY(log->debugLines().contains("VNC Server errorOccurred QProcess::FailedToStart"));
    // The links before it ran.
    QCOMPARE(readFile(passwordFile).size(), 8);
    // Nothing after it.
    QVERIFY(!QFile::exists(argsFile("websockify.exe")));
    QVERIFY(!log->debugLines().contains("run..."));
    QCOMPARE(label("mui_id")->text(), QStringLiteral("---"));
    QCOMPARE(label("mui_password")->text(), QStringLiteral("---"));
    QCOMPARE(label("mui_state")->text(), QStringLiteral("Iniciando..."));
}

void TestStartupChain::unwritablePasswordFileStopsBeforeVncServer()
{
    installPrograms({"winvnc4.exe", "websockify.exe"});
    // A directory in the file's place: opening it for writing fails, even as root.
    QVERIFY(QDir().mkdir(passwordFile));
    window = std::make_unique<MainWindow>();

    QTRY_COMPARE(label("mui_state")->text(),
                 QString::fromUtf8("No se pudo preparar la sesi\xc3\xb3n"));
    QCOMPARE(log->debugLines(), QStringList({"Cannot write the password file, VNC server not "
                                             "started: \"./vnc_password_session.dat\""}));
    QCOMPARE(label("mui_state")->styleSheet(),
             QStringLiteral("background: rgb(0, 170, 0);\ncolor: rgb(255, 255, 255);"));
    QCOMPARE(label("mui_id")->text(), QStringLiteral("---"));
    QCOMPARE(label("mui_password")->text(), QStringLiteral("---"));
    QVERIFY(!QFile::exists(argsFile("winvnc4.exe")));
    QVERIFY(!QFile::exists("vncserver.log"));
}

void TestStartupChain::chainReachesServerAndProxy()
{
    installPrograms({"winvnc4.exe", "websockify.exe"});
    RendezvousServer server;
    QVERIFY(server.listen());
    writeConfig(server.port());
    QSignalSpy connections(&server.server, &QWebSocketServer::newConnection);
    // Holds the client at its handshake while the state before the connection is looked at.
    server.server.pauseAccepting();

    window = std::make_unique<MainWindow>();

    // The VNC server gets a free port and the freshly written password file.
    QTRY_VERIFY(QFile::exists(argsFile("winvnc4.exe")));
    const QRegularExpression vncArgs(
        "^LocalHost=yes ShowTrayIcon=false Log=\\*:file:100 PortNumber=([1-9][0-9]*) "
        "rfbauth=\\./vnc_password_session\\.dat\n$");
    const QString vncLine = QString::fromUtf8(readFile(argsFile("winvnc4.exe")));
    const QRegularExpressionMatch vncMatch = vncArgs.match(vncLine);
    QVERIFY2(vncMatch.hasMatch(), qPrintable(vncLine));
    const QString vncPort = vncMatch.captured(1);
    QVERIFY(vncPort.toUInt() <= 65535);

    // Copying before the server has given an ID: "---" and the generated password, which the
    // password label does not show yet.
    button("mui_clipboard")->click();
    const QRegularExpression copyBeforeId(QRegularExpression::escape(copied("---", "")) +
                                          "([0-9]{4})$");
    const QRegularExpressionMatch copyMatch = copyBeforeId.match(copyText());
    QVERIFY2(copyMatch.hasMatch(), qPrintable(copyText()));
    const QString password = copyMatch.captured(1);
    QCOMPARE(label("mui_password")->text(), QStringLiteral("---"));
    QCOMPARE(readFile(passwordFile), credentials::encodeVncPassword(password));

    // The proxy forwards to the VNC server, listening on a port of its own.
    QTRY_VERIFY(QFile::exists(argsFile("websockify.exe")));
    const QString proxyLine = QString::fromUtf8(readFile(argsFile("websockify.exe")));
    const QRegularExpressionMatch proxyMatch =
        QRegularExpression("^127\\.0\\.0\\.1:([1-9][0-9]*) 127\\.0\\.0\\.1:([0-9]+)\n$")
            .match(proxyLine);
    QVERIFY2(proxyMatch.hasMatch(), qPrintable(proxyLine));
    const QString proxyPort = proxyMatch.captured(1);
    QCOMPARE(proxyMatch.captured(2), vncPort);
    QVERIFY(proxyPort != vncPort);

    QCOMPARE(label("mui_state")->text(), QStringLiteral("Iniciando..."));

    // The client, given the proxy's address, connects to the server named in velmora.conf.
    server.server.resumeAccepting();
    QVERIFY(connections.count() == 1 || connections.wait());
    QCOMPARE(server.cookies, QList<QByteArray>{"VELMORA-SESSION-TOKEN="});
    const QStringList lines = log->debugLines();
    QVERIFY(lines.contains("Proxy host:  \"127.0.0.1\""));
    QVERIFY(lines.contains("Proxy port:  \"" + proxyPort + "\""));
    QTRY_COMPARE(label("mui_state")->text(), QStringLiteral("Listo"));
    QCOMPARE(label("mui_password")->text(), password);
    QCOMPARE(label("mui_id")->text(), QStringLiteral("---"));
    button("mui_clipboard")->click();
    QCOMPARE(copyText(), copied("---", password));

    server.send(velmora::envelope::connectionInfoEnvelope("482 193 775", "tok-1"));
    QTRY_COMPARE(label("mui_id")->text(), QStringLiteral("482 193 775"));
    button("mui_clipboard")->click();
    QCOMPARE(copyText(), copied("482 193 775", password));

    // A session start makes the client open its proxy socket at exactly that address. The test
    // listens there itself, sharing the port with the probe socket that still holds it.
    QWebSocketServer proxy(QStringLiteral("proxy"), QWebSocketServer::NonSecureMode);
    QVERIFY2(proxy.listen(QHostAddress::LocalHost, proxyPort.toUShort()),
             qPrintable(proxy.errorString()));
    QSignalSpy proxyConnections(&proxy, &QWebSocketServer::newConnection);
    server.send(velmora::envelope::startSessionEnvelope());
    QVERIFY(proxyConnections.count() == 1 || proxyConnections.wait());
    proxy.close();

    // Losing the server forgets the ID but keeps the password on screen.
    server.last->close();
    QTRY_COMPARE(label("mui_state")->text(), QStringLiteral("No conectado"));
    QCOMPARE(label("mui_id")->text(), QStringLiteral("---"));
    QCOMPARE(label("mui_password")->text(), password);
    button("mui_clipboard")->click();
    QCOMPARE(copyText(), copied("---", password));
}

void TestStartupChain::exitButtonForgetsTheToken_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QByteArray>("cookie");

    QTest::newRow("exit button") << "button" << QByteArray("VELMORA-SESSION-TOKEN=");
    QTest::newRow("escape key") << "escape" << QByteArray("VELMORA-SESSION-TOKEN=tok-7");
    QTest::newRow("window closed") << "close" << QByteArray("VELMORA-SESSION-TOKEN=tok-7");
}

void TestStartupChain::exitButtonForgetsTheToken()
{
    QFETCH(QString, how);
    QFETCH(QByteArray, cookie);

    installPrograms({"winvnc4.exe", "websockify.exe"});
    RendezvousServer server;
    QVERIFY(server.listen());
    writeConfig(server.port());
    QSignalSpy connections(&server.server, &QWebSocketServer::newConnection);

    window = std::make_unique<MainWindow>();
    window->show();
    QApplication::setActiveWindow(window.get());
    QVERIFY(QTest::qWaitForWindowActive(window.get()));

    QVERIFY(connections.count() == 1 || connections.wait());
    server.send(velmora::envelope::connectionInfoEnvelope("482 193 775", "tok-7"));
    QTRY_COMPARE(label("mui_id")->text(), QStringLiteral("482 193 775"));
    QTRY_COMPARE(label("mui_state")->text(), QStringLiteral("Listo"));
    button("mui_clipboard")->click();
    QVERIFY(copyText().startsWith(copied("482 193 775", "")));

    if (how == "button")
        QTest::mouseClick(button("mui_close"), Qt::LeftButton);
    else if (how == "escape")
        QTest::keyClick(window.get(), Qt::Key_Escape);
    else
        QVERIFY(window->close());
    QTRY_VERIFY(!window->isVisible());

    // The client outlives the closed window here, so its next handshake tells what it kept.
    server.last->close();
    QTRY_COMPARE_WITH_TIMEOUT(server.cookies.size(), 2, 15000);
    QCOMPARE(server.cookies.at(0), QByteArray("VELMORA-SESSION-TOKEN="));
    QCOMPARE(server.cookies.at(1), cookie);
}

QTEST_MAIN(TestStartupChain)
#include "tst_startupchain.moc"
