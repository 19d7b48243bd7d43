// A supporter reaches the helped person's desktop: Xvfb desktop → agent (stand-in VNC server and
// proxy) → velmora-server → velmora-connect → a real VNC viewer, with the session password.
#include "credentials/vncpasswordfile.h"
#include "serverprocess.h"
#include "vncviewer.h"
#include "xvfb.h"

#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

// The desktop's colour, so that a picture of it can be told from a blank one.
const QColor desktopColour(0x33, 0x66, 0xcc);

} // namespace

class TestSupportSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void supporterSeesTheDesktop();
    void secondSessionAfterTheFirstEnded();
    void wrongPasswordIsRefused();
    void agentKeepsItsIdAcrossAServerRestart();

private:
    void startServer(quint16 port);
    quint16 startConnect();
    // Opens the viewer through velmora-connect; true when it shows the desktop.
    bool viewerShowsDesktop(const QString &passwordFile);

    std::unique_ptr<Xvfb> xvfb;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<ServerProcess> server;
    std::unique_ptr<ServerProcess> agent;
    std::unique_ptr<ServerProcess> bridge;
    std::unique_ptr<VncViewer> viewer;
    quint16 serverPort = 0;
    QString sessionId;
    QString password;
    QString goodPasswordFile;
    int pictures = 0;
};

void TestSupportSession::initTestCase()
{
    for (const char *tool :
         {"Xvfb", "X0tigervnc", "websockify", "xtightvncviewer", "vncpasswd", "xsetroot"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            QSKIP(qPrintable(
                QStringLiteral("%1 is missing (scripts/install-deps.sh --test)").arg(tool)));
    }
    xvfb.reset(new Xvfb);
    QVERIFY2(xvfb->isRunning(), "the test's X server did not start");
    QProcess paint;
    paint.setProcessEnvironment(xvfb->environment());
    paint.start(QStringLiteral("xsetroot"), {QStringLiteral("-solid"), desktopColour.name()});
    QVERIFY(paint.waitForFinished(10000) && paint.exitCode() == 0);

    viewer.reset(new VncViewer);
    QVERIFY2(viewer->isUsable(), "the viewer's X server did not start");

    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
    startServer(0);
    serverPort = server->portFrom(QStringLiteral("listening on"));
    QVERIFY(serverPort != 0);

    QFile conf(dir->filePath(QStringLiteral("velmora.conf")));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write(
        QStringLiteral("server_host: 127.0.0.1\nserver_port: %1\n").arg(serverPort).toUtf8());
    conf.close();

    agent.reset(new ServerProcess(QStringLiteral(VELMORA_AGENT_BIN)));
    QProcessEnvironment env = xvfb->environment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Offscreen, as the tests' own widgets: its one leak is suppressed through full stacks.
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               QStringLiteral("detect_leaks=1:abort_on_error=0:fast_unwind_on_malloc=0"));
    agent->process.setProcessEnvironment(env);
    agent->process.setWorkingDirectory(dir->path());
    agent->start({});
    sessionId = waitForAnnouncedId(*agent, 1);
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{9}$")).match(sessionId).hasMatch(),
             qPrintable(agent->output()));

    // The agent reports ready once its programs have started, not once they listen; a supporter
    // of flesh and blood is never that fast, this test is.
    const auto logSays = [&](const char *file, const char *text) {
        QFile log(dir->filePath(QString::fromLatin1(file)));
        return log.open(QIODevice::ReadOnly) && log.readAll().contains(text);
    };
    QVERIFY(QTest::qWaitFor(
        [&] {
            return logSays("vncserver.log", "Listening for VNC connections") &&
                   logSays("vncwsproxy.log", "Listen on");
        },
        30000));

    QFile passwordFile(dir->filePath(QStringLiteral("vnc_password_session.dat")));
    QVERIFY(passwordFile.open(QIODevice::ReadOnly));
    password = credentials::decodeVncPassword(passwordFile.readAll());
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}$")).match(password).hasMatch(),
             qPrintable(password));
    goodPasswordFile = dir->filePath(QStringLiteral("viewer-password"));
    QVERIFY(writeViewerPasswordFile(password, goodPasswordFile));
}

void TestSupportSession::cleanupTestCase()
{
    viewer.reset();
    bridge.reset();
    if (agent)
        agent->process.terminate();
    agent.reset();
    server.reset();
    xvfb.reset();
}

void TestSupportSession::startServer(quint16 port)
{
    server.reset(new ServerProcess(QStringLiteral(VELMORA_SERVER_BIN)));
    server->start({QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(port),
                   QStringLiteral("--secret-file"),
                   dir->filePath(QStringLiteral("server.secret"))});
    QVERIFY2(server->waitForLine(QStringLiteral("listening on")), qPrintable(server->output()));
}

quint16 TestSupportSession::startConnect()
{
    bridge.reset(new ServerProcess(QStringLiteral(VELMORA_CONNECT_BIN)));
    bridge->start({QStringLiteral("--server"), QStringLiteral("ws://127.0.0.1:%1").arg(serverPort),
                   QStringLiteral("--id"), sessionId, QStringLiteral("--listen"),
                   QStringLiteral("127.0.0.1:0")});
    if (!bridge->waitForLine(QStringLiteral("127.0.0.1:")))
        return 0;
    return bridge->portFrom(QStringLiteral("127.0.0.1:"));
}

bool TestSupportSession::viewerShowsDesktop(const QString &passwordFile)
{
    const quint16 port = startConnect();
    if (port == 0)
        return false;
    viewer->connectTo(port, passwordFile);
    // The remote screen (1024×768) fills about half of the viewer's own (1600×1000).
    const bool shown = viewer->waitForColour(desktopColour, 0.4);
    const QString artifacts = qEnvironmentVariable("VELMORA_ARTIFACT_DIR", dir->path());
    viewer->lastPicture().save(
        QStringLiteral("%1/support-session-%2.png").arg(artifacts).arg(++pictures));
    viewer->close();
    return shown;
}

void TestSupportSession::supporterSeesTheDesktop()
{
    QVERIFY2(viewerShowsDesktop(goodPasswordFile), qPrintable(viewer->output()));
    QVERIFY(server->waitForLine(QStringLiteral("session end id=") + sessionId));
}

void TestSupportSession::secondSessionAfterTheFirstEnded()
{
    // The server closes the agent's connection when the supporter leaves; the agent comes back
    // 4 s later with its token and the same ID.
    QCOMPARE(waitForAnnouncedId(*agent, 2), sessionId);
    QVERIFY2(viewerShowsDesktop(goodPasswordFile), qPrintable(viewer->output()));
}

void TestSupportSession::wrongPasswordIsRefused()
{
    QCOMPARE(waitForAnnouncedId(*agent, 3), sessionId);
    const QString wrong =
        QString::number((password.toInt() + 1) % 10000).rightJustified(4, QLatin1Char('0'));
    const QString wrongFile = dir->filePath(QStringLiteral("wrong-password"));
    QVERIFY(writeViewerPasswordFile(wrong, wrongFile));
    const quint16 port = startConnect();
    QVERIFY(port != 0);
    viewer->connectTo(port, wrongFile);
    QVERIFY(viewer->waitForExit() != 0);
    QVERIFY2(viewer->output().contains(QStringLiteral("Authentication failure")),
             qPrintable(viewer->output()));
    QCOMPARE(colourShare(viewer->lastPicture(), desktopColour), 0.0);
    // The refused supporter's session ends like any other: the agent comes back.
    QCOMPARE(waitForAnnouncedId(*agent, 4), sessionId);
}

void TestSupportSession::agentKeepsItsIdAcrossAServerRestart()
{
    const int announced = agent->lines().filter(QStringLiteral("Your ID:")).size();
    server->signal(SIGTERM);
    QCOMPARE(server->waitForExit(), 0);
    startServer(serverPort);
    // Same secret file, same port: the agent's token still names its ID.
    QCOMPARE(waitForAnnouncedId(*agent, announced + 1), sessionId);
}

QTEST_GUILESS_MAIN(TestSupportSession)
#include "tst_supportsession.moc"
