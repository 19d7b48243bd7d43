// A supporter reaches the helped person's desktop: Xvfb desktop → agent (stand-in VNC server and
// proxy) → velmora-server → velmora-connect → a real VNC viewer, with the session password.
#include "bridgedviewer.h"
#include "desktopagent.h"
#include "serverprocess.h"

#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

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
    QString serverUrl() const { return QStringLiteral("ws://127.0.0.1:%1").arg(serverPort); }
    // Opens the viewer through velmora-connect; true when it shows the desktop.
    bool viewerShowsDesktop(const QString &passwordFile);

    std::unique_ptr<DesktopAgent> agent;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<ServerProcess> server;
    std::unique_ptr<BridgedViewer> viewer;
    quint16 serverPort = 0;
    QString sessionId;
    int pictures = 0;
};

void TestSupportSession::initTestCase()
{
    for (const QString &missing : {DesktopAgent::missingTool(), BridgedViewer::missingTool()}) {
        if (!missing.isEmpty())
            QSKIP(qPrintable(
                QStringLiteral("%1 is missing (scripts/install-deps.sh --test)").arg(missing)));
    }
    agent.reset(new DesktopAgent);
    QVERIFY2(agent->startDesktop(), qPrintable(agent->error()));

    viewer.reset(new BridgedViewer(QStringLiteral(VELMORA_CONNECT_BIN)));
    QVERIFY2(viewer->isUsable(), "the viewer's X server did not start");

    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
    startServer(0);
    serverPort = server->portFrom(QStringLiteral("listening on"));
    QVERIFY(serverPort != 0);

    QVERIFY2(agent->start(QStringLiteral(VELMORA_AGENT_BIN), serverPort),
             qPrintable(agent->error()));
    sessionId = agent->id();
}

void TestSupportSession::cleanupTestCase()
{
    viewer.reset();
    agent.reset();
    server.reset();
}

void TestSupportSession::startServer(quint16 port)
{
    server.reset(new ServerProcess(QStringLiteral(VELMORA_SERVER_BIN)));
    server->start({QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(port),
                   QStringLiteral("--secret-file"),
                   dir->filePath(QStringLiteral("server.secret"))});
    QVERIFY2(server->waitForLine(QStringLiteral("listening on")), qPrintable(server->output()));
}

bool TestSupportSession::viewerShowsDesktop(const QString &passwordFile)
{
    const bool shown = viewer->showsDesktop(serverUrl(), sessionId, passwordFile, agent->colour());
    viewer->savePicture(QStringLiteral("support-session-%1.png").arg(++pictures), dir->path());
    viewer->close();
    return shown;
}

void TestSupportSession::supporterSeesTheDesktop()
{
    QVERIFY2(viewerShowsDesktop(agent->passwordFile()), qPrintable(viewer->viewer.output()));
    QVERIFY(server->waitForLine(QStringLiteral("session end id=") + sessionId));
}

void TestSupportSession::secondSessionAfterTheFirstEnded()
{
    // The server closes the agent's connection when the supporter leaves; the agent comes back
    // 4 s later with its token and the same ID.
    QCOMPARE(agent->waitForAnnouncement(2), sessionId);
    QVERIFY2(viewerShowsDesktop(agent->passwordFile()), qPrintable(viewer->viewer.output()));
}

void TestSupportSession::wrongPasswordIsRefused()
{
    QCOMPARE(agent->waitForAnnouncement(3), sessionId);
    const QString wrong = QString::number((agent->password().toInt() + 1) % 10000)
                              .rightJustified(4, QLatin1Char('0'));
    const QString wrongFile = dir->filePath(QStringLiteral("wrong-password"));
    QVERIFY(writeViewerPasswordFile(wrong, wrongFile));
    const quint16 port = viewer->startBridge(serverUrl(), sessionId);
    QVERIFY(port != 0);
    viewer->viewer.connectTo(port, wrongFile);
    QVERIFY(viewer->viewer.waitForExit() != 0);
    QVERIFY2(viewer->viewer.output().contains(QStringLiteral("Authentication failure")),
             qPrintable(viewer->viewer.output()));
    QCOMPARE(colourShare(viewer->viewer.lastPicture(), agent->colour()), 0.0);
    // The refused supporter's session ends like any other: the agent comes back.
    QCOMPARE(agent->waitForAnnouncement(4), sessionId);
}

void TestSupportSession::agentKeepsItsIdAcrossAServerRestart()
{
    const int announced = agent->announcements();
    server->signal(SIGTERM);
    QCOMPARE(server->waitForExit(), 0);
    startServer(serverPort);
    // Same secret file, same port: the agent's token still names its ID.
    QCOMPARE(agent->waitForAnnouncement(announced + 1), sessionId);
}

QTEST_GUILESS_MAIN(TestSupportSession)
#include "tst_supportsession.moc"
