// The Linux stand-in winvnc4.exe with TigerVNC: started by VNCServer on a private X server it
// serves the desktop to a real VNC client that knows the password, on the loopback interface only;
// without a usable display it brings up a desktop of its own and takes it down when it ends.
#include "vnc/launch.h"
#include "vnc/vncserver.h"

#include "oshelpers.h"
#include "xvfb.h"

#include <QDir>
#include <QFile>
#include <QNetworkInterface>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const char *const sessionPassword = "4821";

// The 8 bytes of a VNC password file, as TigerVNC's own tool writes them.
QByteArray vncpasswd(const QByteArray &password)
{
    QProcess tool;
    tool.start(QStringLiteral("vncpasswd"), {QStringLiteral("-f")});
    if (!tool.waitForStarted())
        return QByteArray();
    tool.write(password + '\n');
    tool.closeWriteChannel();
    tool.waitForFinished();
    return tool.readAllStandardOutput();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The protocol version that an RFB server sends first, or nothing when there is no server.
QByteArray rfbGreeting(const QHostAddress &address, quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(address, port);
    if (!socket.waitForConnected(2000))
        return QByteArray();
    while (socket.bytesAvailable() < 12 && socket.waitForReadyRead(2000)) {
    }
    return socket.read(12);
}

struct Snapshot
{
    int exitCode = -1;
    QByteArray image;
};

// A real VNC client: vncsnapshot logs in with the password file and saves the screen as JPEG.
Snapshot snapshot(const QString &passwordFile, const QString &port, const QString &imagePath)
{
    QProcess client;
    client.start(QStringLiteral("vncsnapshot"),
                 {QStringLiteral("-allowblank"), QStringLiteral("-nocursor"),
                  QStringLiteral("-encodings"), QStringLiteral("raw"), QStringLiteral("-quiet"),
                  QStringLiteral("-passwd"), passwordFile, QStringLiteral("127.0.0.1::") + port,
                  imagePath});
    Snapshot out;
    if (!client.waitForFinished(60000)) {
        client.kill();
        client.waitForFinished();
        return out;
    }
    out.exitCode = client.exitStatus() == QProcess::NormalExit ? client.exitCode() : -1;
    out.image = readFile(imagePath);
    return out;
}

QString fixedCommandArguments(const QString &port)
{
    return QStringLiteral("LocalHost=yes ShowTrayIcon=false Log=*:file:100 PortNumber=%1 "
                          "rfbauth=./vnc_password_session.dat")
        .arg(port);
}

} // namespace

class TestWinvnc4 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void rejectsWhatItCannotTranslate_data();
    void rejectsWhatItCannotTranslate();
    void servesDisplayToPasswordHolder();
    void listensOnLoopbackOnly();
    void privateDesktopEndsWithServer_data();
    void privateDesktopEndsWithServer();

private:
    // Starts VNCServer on the test's X server and waits until the program answers; check
    // QTest::currentTestFailed() after.
    void startServer(VNCServer &server);

    QString standIn;
    std::unique_ptr<Xvfb> xvfb;
    std::unique_ptr<QTemporaryDir> workDir;
    QString previousDir;
};

void TestWinvnc4::initTestCase()
{
    standIn = QStandardPaths::findExecutable(QStringLiteral("winvnc4.exe"));
    QVERIFY2(!standIn.isEmpty(), "winvnc4.exe is not on PATH");
    QCOMPARE(QFileInfo(standIn).canonicalFilePath(),
             QFileInfo(qEnvironmentVariable("VELMORA_SOURCE_DIR") +
                       QStringLiteral("/platform/linux/winvnc4.exe"))
                 .canonicalFilePath());
    for (const char *tool : {"X0tigervnc", "Xvfb", "vncpasswd", "vncsnapshot", "openbox", "xterm",
                             "xdpyinfo", "setpriv"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is missing (scripts/install-deps.sh --test)")
                                 .arg(QString::fromLatin1(tool))));
    }
    xvfb.reset(new Xvfb);
    QVERIFY2(xvfb->isRunning(), "the test's X server did not start");
}

void TestWinvnc4::init()
{
    workDir.reset(new QTemporaryDir);
    QVERIFY(workDir->isValid());
    previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workDir->path()));
    const QByteArray passwordFile = vncpasswd(sessionPassword);
    QCOMPARE(passwordFile.size(), 8);
    QVERIFY(writeFile(QStringLiteral("vnc_password_session.dat"), passwordFile));
}

void TestWinvnc4::cleanup()
{
    QDir::setCurrent(previousDir);
    workDir.reset();
}

void TestWinvnc4::startServer(VNCServer &server)
{
    qputenv("DISPLAY", xvfb->display().toLocal8Bit());
    QSignalSpy started(&server, &VNCServer::started);
    server.start();
    QVERIFY(started.wait());
    const quint16 port = server.port().toUShort();
    QTRY_COMPARE_WITH_TIMEOUT(rfbGreeting(QHostAddress::LocalHost, port),
                              QByteArray("RFB 003.008\n"), 30000);
}

void TestWinvnc4::rejectsWhatItCannotTranslate_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    const QStringList good = fixedCommandArguments(QStringLiteral("5999")).split(QLatin1Char(' '));
    auto with = [&good](int index, const QString &replacement) {
        QStringList out = good;
        out[index] = replacement;
        return out;
    };
    QTest::newRow("unknown parameter")
        << good + QStringList{"QueryConnect=1"} << "unknown parameter 'QueryConnect'";
    QTest::newRow("not Name=value") << with(0, "-localhost") << "unexpected argument '-localhost'";
    // TigerVNC would ignore these values and listen on all interfaces, or on port 5900.
    QTest::newRow("LocalHost not a yes or no") << with(0, "LocalHost=maybe") << "LocalHost needs";
    QTest::newRow("PortNumber 0") << with(3, "PortNumber=0") << "PortNumber needs";
    QTest::newRow("PortNumber too big") << with(3, "PortNumber=65536") << "PortNumber needs";
    QTest::newRow("PortNumber with leading zero")
        << with(3, "PortNumber=05900") << "PortNumber needs";
    QTest::newRow("PortNumber empty") << with(3, "PortNumber=") << "PortNumber needs";
    QTest::newRow("Log to the event log")
        << with(2, "Log=*:eventlog:100") << "unsupported log setting";
    QTest::newRow("Log without level") << with(2, "Log=*:file") << "unsupported log setting";
    QTest::newRow("rfbauth empty") << with(4, "rfbauth=") << "rfbauth needs a password file";
}

void TestWinvnc4::rejectsWhatItCannotTranslate()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    QProcess program;
    program.start(standIn, arguments);
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 2);
    const QString error = QString::fromUtf8(program.readAllStandardError());
    QVERIFY2(error.startsWith(QStringLiteral("winvnc4.exe: ") + message), qPrintable(error));
    QVERIFY(program.readAllStandardOutput().isEmpty());
}

void TestWinvnc4::servesDisplayToPasswordHolder()
{
    VNCServer server;
    startServer(server);
    if (QTest::currentTestFailed())
        return;
    const QString port = server.port();

    const Snapshot granted =
        snapshot(QStringLiteral("vnc_password_session.dat"), port, QStringLiteral("granted.jpg"));
    QCOMPARE(granted.exitCode, 0);
    QVERIFY(granted.image.startsWith("\xff\xd8\xff"));

    QVERIFY(writeFile(QStringLiteral("wrong.dat"), vncpasswd("1234")));
    const Snapshot refused =
        snapshot(QStringLiteral("wrong.dat"), port, QStringLiteral("refused.jpg"));
    QVERIFY(refused.exitCode != 0);
    QVERIFY(refused.image.isEmpty());

    // TigerVNC's own log reaches the agent's log file through standard error.
    const QByteArray log = readFile(QStringLiteral("vncserver.log"));
    QVERIFY2(log.contains("Listening for VNC connections on local interface(s), port " +
                          port.toLatin1()),
             log.constData());
    QVERIFY2(log.contains("Authentication failure"), log.constData());
}

void TestWinvnc4::listensOnLoopbackOnly()
{
    QHostAddress external;
    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &address : addresses) {
        if (!address.isLoopback() && address.protocol() == QAbstractSocket::IPv4Protocol) {
            external = address;
            break;
        }
    }
    if (external.isNull())
        QSKIP("this machine has no address besides loopback");

    VNCServer server;
    startServer(server);
    if (QTest::currentTestFailed())
        return;
    const quint16 port = server.port().toUShort();
    QCOMPARE(rfbGreeting(QHostAddress::LocalHost, port), QByteArray("RFB 003.008\n"));
    QTcpSocket outside;
    outside.connectToHost(external, port);
    QVERIFY2(!outside.waitForConnected(5000), qPrintable(external.toString()));
    QCOMPARE(outside.error(), QAbstractSocket::ConnectionRefusedError);
}

void TestWinvnc4::privateDesktopEndsWithServer_data()
{
    QTest::addColumn<bool>("deadDisplay");
    QTest::addColumn<bool>("destroy");

    QTest::newRow("no DISPLAY, terminated") << false << false;
    // What the agent does: its process object kills the program when it is destroyed.
    QTest::newRow("no DISPLAY, process object destroyed") << false << true;
    QTest::newRow("DISPLAY not answering, terminated") << true << false;
}

void TestWinvnc4::privateDesktopEndsWithServer()
{
    QFETCH(bool, deadDisplay);
    QFETCH(bool, destroy);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    if (deadDisplay) {
        QString display;
        {
            Xvfb stopped;
            QVERIFY(stopped.isRunning());
            display = stopped.display();
        }
        environment.insert(QStringLiteral("DISPLAY"), display);
    }

    std::unique_ptr<QTcpSocket> probe;
    const QString port = bindFreePort(probe);
    QVERIFY(!port.isEmpty());
    auto program = std::make_unique<QProcess>();
    program->setProcessEnvironment(environment);
    program->start(standIn, fixedCommandArguments(port).split(QLatin1Char(' ')));
    QVERIFY(program->waitForStarted());
    const qint64 serverPid = program->processId();

    const QRegularExpression announced(
        QStringLiteral("private desktop :(\\d+) \\(Xvfb (\\d+), openbox (\\d+), xterm (\\d+)\\)"));
    QString errors;
    QRegularExpressionMatch match;
    QTRY_VERIFY_WITH_TIMEOUT((errors += QString::fromUtf8(program->readAllStandardError()),
                              match = announced.match(errors), match.hasMatch()),
                             30000);
    const QString xSocket = QStringLiteral("/tmp/.X11-unix/X%1").arg(match.captured(1));
    const QList<qint64> helpers{match.captured(2).toLongLong(), match.captured(3).toLongLong(),
                                match.captured(4).toLongLong()};
    QVERIFY(QFile::exists(xSocket));
    for (qint64 helper : helpers)
        QVERIFY(!processGone(helper));
    QTRY_COMPARE_WITH_TIMEOUT(rfbGreeting(QHostAddress::LocalHost, port.toUShort()),
                              QByteArray("RFB 003.008\n"), 30000);

    if (destroy) {
        program.reset();
    } else {
        program->terminate();
        QVERIFY(program->waitForFinished(30000));
    }
    QVERIFY(processGone(serverPid));
    for (qint64 helper : helpers)
        QTRY_VERIFY2_WITH_TIMEOUT(processGone(helper), qPrintable(QString::number(helper)), 20000);
    // Xvfb ended in order, removing its socket.
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(xSocket), 20000);
}

QTEST_GUILESS_MAIN(TestWinvnc4)
#include "tst_winvnc4.moc"
