// The built agent on a real X server: its window as the X server sees it, a screenshot of it, and
// the exit button ending the program with status 0. The outside programs are stand-in scripts and
// the rendezvous server lives in this process, so the window shows a real ID and password.

#include "protocol/envelope.h"
#include "toolrun.h"
#include "xvfb.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>
#include <QWebSocketServer>

#include <memory>

namespace {

const QString title = QStringLiteral("Velmora (beta 155)");

// Waits on standard input, which the agent's process object keeps open until it ends the program.
const char standIn[] = "#!/bin/sh\nexec cat > /dev/null\n";

} // namespace

class TestAgentWindow : public QObject
{
    Q_OBJECT

private slots:
    void windowOnRealDisplay();
};

void TestAgentWindow::windowOnRealDisplay()
{
    const QString xwininfo = QStandardPaths::findExecutable(QStringLiteral("xwininfo"));
    const QString import = QStandardPaths::findExecutable(QStringLiteral("import"));
    if (xwininfo.isEmpty() || import.isEmpty())
        QSKIP("xwininfo (x11-utils) or import (imagemagick) is missing");
    Xvfb xvfb;
    if (!xvfb.isRunning())
        QSKIP("Xvfb is missing or did not start");

    QTemporaryDir work;
    QTemporaryDir bin;
    QVERIFY(work.isValid());
    QVERIFY(bin.isValid());
    for (const char *name : {"winvnc4.exe", "websockify.exe"}) {
        QFile program(bin.filePath(name));
        QVERIFY(program.open(QIODevice::WriteOnly));
        program.write(standIn);
        program.close();
        QVERIFY(program.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                       QFileDevice::ExeOwner));
    }

    QWebSocketServer server(QStringLiteral("rendezvous"), QWebSocketServer::NonSecureMode);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QFile config(work.filePath("velmora.conf"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("server_host: 127.0.0.1\nserver_port: " + QByteArray::number(server.serverPort()) +
                 "\n");
    config.close();
    QSignalSpy connections(&server, &QWebSocketServer::newConnection);

    QProcessEnvironment environment = xvfb.environment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("PATH"),
                       bin.path() + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));

    QProcess agent;
    agent.setProcessEnvironment(environment);
    agent.setWorkingDirectory(work.path());
    agent.setProcessChannelMode(QProcess::MergedChannels);
    QByteArray agentLog;
    connect(&agent, &QProcess::readyRead, this, [&] { agentLog += agent.readAll(); });
    agent.start(QStringLiteral(VELMORA_EXECUTABLE), QStringList());
    QVERIFY2(agent.waitForStarted(), qPrintable(agent.errorString()));

    // Give the window an ID to show, as the rendezvous server would.
    QVERIFY2(connections.count() == 1 || connections.wait(30000), agentLog.constData());
    const std::unique_ptr<QWebSocket> socket(server.nextPendingConnection());
    QVERIFY(socket);
    socket->sendBinaryMessage(QByteArray::fromStdString(
        velmora::envelope::connectionInfoEnvelope("482 193 775", "tok-1")));
    QTRY_VERIFY2(agentLog.contains("Your ID:  \"482 193 775\""), agentLog.constData());

    // The X server knows the window by its title, mapped, at its designed size.
    ToolResult info;
    QTRY_VERIFY_WITH_TIMEOUT((info = runTool(xwininfo, {"-name", title}, environment))
                                 .output.contains("Map State: IsViewable"),
                             20000);
    QCOMPARE(info.exitCode, 0);
    const QString text = QString::fromUtf8(info.output);
    const QRegularExpressionMatch id =
        QRegularExpression("Window id: (0x[0-9a-f]+) \"" + QRegularExpression::escape(title) + "\"")
            .match(text);
    QVERIFY2(id.hasMatch(), qPrintable(text));
    QVERIFY2(text.contains("  Width: 329\n"), qPrintable(text));
    QVERIFY2(text.contains("  Height: 270\n"), qPrintable(text));

    // The screenshot, once the window has painted its status line.
    QString artifacts = qEnvironmentVariable("VELMORA_ARTIFACT_DIR");
    if (artifacts.isEmpty())
        artifacts = QDir::tempPath();
    const QString shot = QDir(artifacts).filePath(QStringLiteral("agent-window.png"));
    QImage image;
    QTRY_VERIFY_WITH_TIMEOUT(
        runTool(import, {"-window", id.captured(1), shot}, environment).exitCode == 0 &&
            image.load(shot) && hasStatusGreen(image),
        20000);
    QCOMPARE(image.size(), QSize(329, 270));

    // The exit button's mnemonic, typed on the real keyboard path, ends the program with 0.
    const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    if (xdotool.isEmpty()) {
        agent.kill();
        agent.waitForFinished();
        QSKIP("xdotool is missing: the exit through the button was not checked");
    }
    // Without a window manager the window gets the keyboard only when given the input focus.
    QCOMPARE(runTool(xdotool, {"windowfocus", "--sync", id.captured(1)}, environment).exitCode, 0);
    QCOMPARE(runTool(xdotool, {"key", "--clearmodifiers", "alt+s"}, environment).exitCode, 0);
    QVERIFY2(agent.waitForFinished(30000), agentLog.constData());
    QCOMPARE(agent.exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestAgentWindow)
#include "tst_agentwindow.moc"
