// The agent as the 32-bit Windows program it ships as: velmora.exe under Wine on an X desktop,
// with the package's own websockify.exe and the Windows stand-in of the VNC server in place of
// the real one (it relays to a real TigerVNC that this test runs on the same desktop with the
// agent's own password file, so that frames can be compared byte for byte with the X server's),
// and the Linux velmora-server. tst_winechain runs the real winvnc4.exe.
// The package, the window, the ID, a real viewer's login and picture through velmora-connect, a
// whole frame byte for byte, the exit button, the agent's programs ending with it (also when it is
// killed), and a second run in the same folder.
#include "credentials/vncpasswordfile.h"
#include "rfbclient.h"
#include "serverprocess.h"
#include "toolrun.h"
#include "vncviewer.h"
#include "xvfb.h"

#include <QPainter>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

const QColor desktopColour(0x33, 0x66, 0xcc);
const QString title = QStringLiteral("Velmora (beta 155)");
const QString win32Build = QStringLiteral(VELMORA_WIN32_BUILD_DIR);

QString artifacts()
{
    return qEnvironmentVariable("VELMORA_ARTIFACT_DIR", QDir::tempPath());
}

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

bool accepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(2000);
}

// The port a program said it listens on, from the log the agent gave it.
quint16 listeningPort(const QString &logFile)
{
    QFile log(logFile);
    if (!log.open(QIODevice::ReadOnly))
        return 0;
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"))
            .match(QString::fromUtf8(log.readAll()));
    return match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
}

// The smallest rectangle holding every pixel in which two pictures of one size differ.
QRect differingRect(const QImage &a, const QImage &b)
{
    QRect found;
    for (int y = 0; y < a.height(); ++y) {
        const auto *lineA = reinterpret_cast<const QRgb *>(a.constScanLine(y));
        const auto *lineB = reinterpret_cast<const QRgb *>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x)
            if (lineA[x] != lineB[x])
                found |= QRect(x, y, 1, 1);
    }
    return found;
}

} // namespace

class TestAgentWine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void windowShowsIdAndPassword();
    void supporterSeesTheDesktop();
    void wholeFrameCrossesTheRelayExactly();
    void exitButtonEndsAgentAndItsPrograms();
    void secondRunReplacesThePasswordFile();
    void killedAgentTakesItsProgramsAlong();

private:
    void startAgent();
    void startTigerVnc();
    QString readPassword();
    QImage desktopPicture(const QString &name);
    void clickExit();

    std::unique_ptr<Xvfb> xvfb;
    QProcess windowManager;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<ServerProcess> server;
    std::unique_ptr<ServerProcess> agent;
    std::unique_ptr<ServerProcess> tigervnc;
    std::unique_ptr<ServerProcess> bridge;
    quint16 serverPort = 0;
    quint16 vncPort = 0;
    QString sessionId;
    QString password;
};

void TestAgentWine::initTestCase()
{
    for (const char *tool : {"wine", "Xvfb", "openbox", "X0tigervnc", "xtightvncviewer",
                             "vncpasswd", "xsetroot", "xwininfo", "import", "xdotool"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            QSKIP(qPrintable(
                QStringLiteral("%1 is missing (scripts/install-deps.sh --test)").arg(tool)));
    }
    xvfb.reset(new Xvfb);
    QVERIFY2(xvfb->isRunning(), "the test's X server did not start");
    // A desktop as the user has one: Wine's windows are placed, activated and focused through it.
    windowManager.setProcessEnvironment(xvfb->environment());
    windowManager.start(QStringLiteral("openbox"), QStringList());
    QVERIFY(windowManager.waitForStarted());
    QCOMPARE(runTool(QStringLiteral("xsetroot"), {QStringLiteral("-solid"), desktopColour.name()},
                     xvfb->environment())
                 .exitCode,
             0);

    // The package as a user gets it, with the stand-in in place of its VNC server.
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
    QCOMPARE(runTool(QStringLiteral("cmake"),
                     {QStringLiteral("-E"), QStringLiteral("chdir"), dir->path(),
                      QStringLiteral("cmake"), QStringLiteral("-E"), QStringLiteral("tar"),
                      QStringLiteral("xf"), win32Build + QStringLiteral("/velmora-win32.zip")},
                     QProcessEnvironment::systemEnvironment())
                 .exitCode,
             0);
    QCOMPARE(
        QDir(dir->path()).entryList(QDir::Files, QDir::Name),
        (QStringList{"LEEME.txt", "velmora.conf", "velmora.exe", "websockify.exe", "winvnc4.exe"}));
    QFile instructions(dir->filePath(QStringLiteral("LEEME.txt")));
    QVERIFY(instructions.open(QIODevice::ReadOnly));
    const QByteArray text = instructions.readAll();
    QVERIFY(text.startsWith("\xef\xbb\xbf") && text.contains("\r\n"));
    QVERIFY(text.contains("winvnc4.exe") && text.contains("websockify.exe"));
    QVERIFY(QFile::remove(dir->filePath(QStringLiteral("winvnc4.exe"))));
    QVERIFY(QFile::copy(win32Build + QStringLiteral("/platform/win32/bin/winvnc4.exe"),
                        dir->filePath(QStringLiteral("winvnc4.exe"))));

    server.reset(new ServerProcess(QStringLiteral(VELMORA_SERVER_BIN)));
    server->start({QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                   QStringLiteral("--secret-file"),
                   dir->filePath(QStringLiteral("server.secret"))});
    QVERIFY2(server->waitForLine(QStringLiteral("listening on")), qPrintable(server->output()));
    serverPort = server->portFrom(QStringLiteral("listening on"));
    // The example's form (Windows line ends), with this test's server.
    QFile conf(dir->filePath(QStringLiteral("velmora.conf")));
    QVERIFY(conf.open(QIODevice::WriteOnly | QIODevice::Truncate));
    conf.write(
        QStringLiteral("server_host: 127.0.0.1\r\nserver_port: %1\r\n").arg(serverPort).toUtf8());
    conf.close();

    vncPort = freePort();
    QVERIFY(vncPort != 0);
}

void TestAgentWine::cleanupTestCase()
{
    bridge.reset();
    agent.reset();
    tigervnc.reset();
    server.reset();
    if (windowManager.state() != QProcess::NotRunning) {
        windowManager.kill();
        windowManager.waitForFinished();
    }
    xvfb.reset();
}

void TestAgentWine::startAgent()
{
    agent.reset(new ServerProcess(QStringLiteral(VELMORA_SOURCE_DIR "/scripts/wine-run.sh")));
    QProcessEnvironment env = xvfb->environment();
    // The test's own Wine prefix, and where the VNC server stand-in finds TigerVNC.
    env.insert(QStringLiteral("WINEPREFIX"), win32Build + QStringLiteral("/wine-e2e"));
    env.insert(QStringLiteral("VELMORA_VNC_TARGET"), QStringLiteral("127.0.0.1:%1").arg(vncPort));
    agent->process.setProcessEnvironment(env);
    agent->process.setWorkingDirectory(dir->path());
    agent->start({dir->filePath(QStringLiteral("velmora.exe"))});
}

void TestAgentWine::startTigerVnc()
{
    tigervnc.reset(new ServerProcess(QStringLiteral("X0tigervnc")));
    tigervnc->process.setProcessEnvironment(xvfb->environment());
    tigervnc->start({QStringLiteral("rfbport=%1").arg(vncPort), QStringLiteral("localhost=yes"),
                     QStringLiteral("SecurityTypes=VncAuth"),
                     QStringLiteral("PasswordFile=") +
                         dir->filePath(QStringLiteral("vnc_password_session.dat"))});
    QVERIFY2(tigervnc->waitForLine(QStringLiteral("Listening for VNC connections"), 20000),
             qPrintable(tigervnc->output()));
}

QString TestAgentWine::readPassword()
{
    QFile file(dir->filePath(QStringLiteral("vnc_password_session.dat")));
    return file.open(QIODevice::ReadOnly) ? credentials::decodeVncPassword(file.readAll())
                                          : QString();
}

QImage TestAgentWine::desktopPicture(const QString &name)
{
    const QString path = artifacts() + QLatin1Char('/') + name;
    if (runTool(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), path},
                xvfb->environment())
            .exitCode != 0)
        return QImage();
    return QImage(path).convertToFormat(QImage::Format_RGB32);
}

void TestAgentWine::clickExit()
{
    // The button's mnemonic, Alt+S, on the focused window: the same as a click.
    const ToolResult found = runTool(
        QStringLiteral("xdotool"),
        {QStringLiteral("search"), QStringLiteral("--name"), QRegularExpression::escape(title)},
        xvfb->environment());
    QCOMPARE(found.exitCode, 0);
    const QString window = QString::fromUtf8(found.output).split(QLatin1Char('\n')).first();
    QCOMPARE(runTool(QStringLiteral("xdotool"),
                     {QStringLiteral("windowactivate"), QStringLiteral("--sync"), window,
                      QStringLiteral("key"), QStringLiteral("--clearmodifiers"),
                      QStringLiteral("alt+s")},
                     xvfb->environment())
                 .exitCode,
             0);
}

void TestAgentWine::windowShowsIdAndPassword()
{
    startAgent();
    sessionId = waitForAnnouncedId(*agent, 1, 60000);
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{9}$")).match(sessionId).hasMatch(),
             qPrintable(agent->output()));
    password = readPassword();
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}$")).match(password).hasMatch(),
             qPrintable(password));
    startTigerVnc();

    // The window as the X server sees it: Wine maps it as a real top-level window.
    QString line;
    QVERIFY(QTest::qWaitFor(
        [&] {
            const QStringList lines =
                QString::fromUtf8(runTool(QStringLiteral("xwininfo"),
                                          {QStringLiteral("-root"), QStringLiteral("-tree")},
                                          xvfb->environment())
                                      .output)
                    .split(QLatin1Char('\n'))
                    .filter(QLatin1Char('"') + title + QLatin1Char('"'));
            line = lines.value(0);
            return !line.isEmpty();
        },
        30000));
    QVERIFY2(line.contains(QStringLiteral(" 329x270+")), qPrintable(line));

    // Its picture, once the server connection is up (the status line is drawn in green).
    QImage picture;
    QVERIFY(QTest::qWaitFor(
        [&] {
            picture = desktopPicture(QStringLiteral("agent-wine-window.png"));
            return hasStatusGreen(picture);
        },
        30000));

    // Both programs were started as the agent's command lines say, and log where it said.
    QFile vncLog(dir->filePath(QStringLiteral("vncserver.log")));
    QVERIFY(QTest::qWaitFor([&] { return listeningPort(vncLog.fileName()) != 0; }, 30000));
    QVERIFY(vncLog.open(QIODevice::ReadOnly));
    QVERIFY2(QRegularExpression(QStringLiteral("arguments: LocalHost=yes ShowTrayIcon=false "
                                               "Log=\\*:file:100 PortNumber=\\d+ "
                                               "rfbauth=\\./vnc_password_session\\.dat"))
                 .match(QString::fromUtf8(vncLog.readAll()))
                 .hasMatch(),
             qPrintable(vncLog.fileName()));
    QVERIFY(QTest::qWaitFor(
        [&] { return listeningPort(dir->filePath(QStringLiteral("vncwsproxy.log"))) != 0; },
        30000));
}

void TestAgentWine::supporterSeesTheDesktop()
{
    VncViewer viewer;
    QVERIFY2(viewer.isUsable(), "the viewer's X server did not start");
    const QString viewerPassword = dir->filePath(QStringLiteral("viewer-password"));
    QVERIFY(writeViewerPasswordFile(password, viewerPassword));
    bridge.reset(new ServerProcess(QStringLiteral(VELMORA_CONNECT_BIN)));
    bridge->start({QStringLiteral("--server"), QStringLiteral("ws://127.0.0.1:%1").arg(serverPort),
                   QStringLiteral("--id"), sessionId, QStringLiteral("--listen"),
                   QStringLiteral("127.0.0.1:0")});
    QVERIFY(bridge->waitForLine(QStringLiteral("127.0.0.1:")));
    viewer.connectTo(bridge->portFrom(QStringLiteral("127.0.0.1:")), viewerPassword);
    const bool shown = viewer.waitForColour(desktopColour, 0.3);
    viewer.lastPicture().save(artifacts() + QStringLiteral("/agent-wine-viewer.png"));
    QVERIFY2(shown, qPrintable(viewer.output()));
    viewer.close();
    bridge.reset();
    QVERIFY(server->waitForLine(QStringLiteral("session end id=") + sessionId));
}

void TestAgentWine::wholeFrameCrossesTheRelayExactly()
{
    // The agent comes back 4 s after the session, with its token and the same ID.
    QCOMPARE(waitForAnnouncedId(*agent, 2, 60000), sessionId);
    // TigerVNC draws the pointer into the frames it scrapes; the X server's own picture has none.
    // Parked in the corner, the pointer covers a few pixels that are left out of the comparison.
    QCOMPARE(runTool(QStringLiteral("xdotool"),
                     {QStringLiteral("mousemove"), QStringLiteral("1023"), QStringLiteral("767")},
                     xvfb->environment())
                 .exitCode,
             0);
    // Server to desktop: the login's response must arrive exactly or TigerVNC refuses it.
    // Desktop to server: every pixel of a raw frame, compared with the X server's own.
    RfbClient client;
    QVERIFY2(client.login(
                 QUrl(QStringLiteral("ws://127.0.0.1:%1/viewer/%2").arg(serverPort).arg(sessionId)),
                 password),
             qPrintable(client.error()));
    // The server scrapes the X server on its own schedule: on a busy machine a frame may still
    // show what the screen was a moment earlier (the pointer leaving, a window redrawing). A
    // still desktop gives equal pictures within a few tries; a relay that alters bytes never does.
    QImage relayed;
    QRect differs;
    for (int attempt = 0; attempt < 5; ++attempt) {
        relayed = client.screen();
        QVERIFY2(!relayed.isNull(), qPrintable(client.error()));
        QImage direct = desktopPicture(QStringLiteral("agent-wine-desktop.png"));
        QCOMPARE(relayed.size(), direct.size());
        const QRect pointer(relayed.width() - 32, relayed.height() - 32, 32, 32);
        for (QImage *image : {&relayed, &direct}) {
            QPainter painter(image);
            painter.fillRect(pointer, Qt::black);
        }
        differs = differingRect(relayed, direct);
        relayed.save(artifacts() + QStringLiteral("/agent-wine-frame.png"));
        if (differs.isEmpty())
            break;
    }
    QVERIFY2(differs.isEmpty(),
             qPrintable(QStringLiteral("the relayed frame differs at %1,%2 %3x%4")
                            .arg(differs.x())
                            .arg(differs.y())
                            .arg(differs.width())
                            .arg(differs.height())));
    QVERIFY(hasStatusGreen(relayed)); // the agent's own window is in the picture
}

void TestAgentWine::exitButtonEndsAgentAndItsPrograms()
{
    const quint16 standInVnc = listeningPort(dir->filePath(QStringLiteral("vncserver.log")));
    const quint16 standInProxy = listeningPort(dir->filePath(QStringLiteral("vncwsproxy.log")));
    QVERIFY(accepts(standInVnc));
    QVERIFY(accepts(standInProxy));
    clickExit();
    QCOMPARE(agent->waitForExit(30000), 0);
    QVERIFY(QTest::qWaitFor([&] { return !accepts(standInVnc) && !accepts(standInProxy); }, 10000));
}

void TestAgentWine::secondRunReplacesThePasswordFile()
{
    // Whatever the first run or anybody else left there is replaced, not reused.
    const QString passwordFile = dir->filePath(QStringLiteral("vnc_password_session.dat"));
    QFile stale(passwordFile);
    QVERIFY(stale.open(QIODevice::WriteOnly | QIODevice::Truncate));
    stale.write("stale contents, not a password");
    stale.close();
    tigervnc.reset();

    startAgent();
    const QString id = waitForAnnouncedId(*agent, 1, 60000);
    QVERIFY2(!id.isEmpty(), qPrintable(agent->output()));
    QCOMPARE(QFileInfo(passwordFile).size(), 8);
    password = readPassword();
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}$")).match(password).hasMatch(),
             qPrintable(password));
    startTigerVnc();
    QVERIFY(QTest::qWaitFor(
        [&] { return listeningPort(dir->filePath(QStringLiteral("vncwsproxy.log"))) != 0; },
        30000));
    RfbClient client;
    QVERIFY2(
        client.login(QUrl(QStringLiteral("ws://127.0.0.1:%1/viewer/%2").arg(serverPort).arg(id)),
                     password),
        qPrintable(client.error()));
    clickExit();
    QCOMPARE(agent->waitForExit(30000), 0);
}

void TestAgentWine::killedAgentTakesItsProgramsAlong()
{
    startAgent();
    QVERIFY2(!waitForAnnouncedId(*agent, 1, 60000).isEmpty(), qPrintable(agent->output()));
    quint16 standInVnc = 0;
    quint16 standInProxy = 0;
    QVERIFY(QTest::qWaitFor(
        [&] {
            standInVnc = listeningPort(dir->filePath(QStringLiteral("vncserver.log")));
            standInProxy = listeningPort(dir->filePath(QStringLiteral("vncwsproxy.log")));
            return standInVnc && standInProxy && accepts(standInVnc) && accepts(standInProxy);
        },
        30000));
    // No exit button, no destructors: the process just ends, as under the task manager. Wine
    // runs the Windows program in the process that the test started.
    agent->signal(SIGKILL);
    agent->waitForExit(10000);
    QCOMPARE(agent->process.state(), QProcess::NotRunning);
    QVERIFY(QTest::qWaitFor([&] { return !accepts(standInVnc) && !accepts(standInProxy); }, 10000));
}

QTEST_GUILESS_MAIN(TestAgentWine)
#include "tst_agentwine.moc"
