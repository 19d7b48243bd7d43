#include "desktopagent.h"

#include "vncviewer.h"

#include "credentials/vncpasswordfile.h"

#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

namespace {

const char *const kTools[] = {"Xvfb", "X0tigervnc", "websockify", "vncpasswd", "xsetroot"};

} // namespace

DesktopAgent::DesktopAgent(const QColor &colour) : process(QString()), painted(colour) {}

DesktopAgent::~DesktopAgent()
{
    if (process.process.state() != QProcess::NotRunning) {
        process.process.terminate();
        if (!process.process.waitForFinished(5000))
            process.process.kill();
    }
}

QString DesktopAgent::missingTool()
{
    for (const char *tool : kTools) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            return QString::fromLatin1(tool);
    }
    return {};
}

bool DesktopAgent::fail(const QString &why)
{
    failure = why;
    return false;
}

bool DesktopAgent::startDesktop()
{
    if (!desktop.isRunning())
        return fail(QStringLiteral("the agent's X server did not start"));
    return paint(painted);
}

bool DesktopAgent::paint(const QColor &colour)
{
    QProcess xsetroot;
    xsetroot.setProcessEnvironment(desktop.environment());
    xsetroot.start(QStringLiteral("xsetroot"), {QStringLiteral("-solid"), colour.name()});
    if (!xsetroot.waitForFinished(10000) || xsetroot.exitCode() != 0)
        return fail(QStringLiteral("xsetroot could not paint the desktop"));
    painted = colour;
    return true;
}

bool DesktopAgent::start(const QString &program, quint16 serverPort)
{
    if (!folder.isValid())
        return fail(QStringLiteral("no folder for the agent"));
    QFile conf(folder.filePath(QStringLiteral("velmora.conf")));
    if (!conf.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write velmora.conf"));
    conf.write(
        QStringLiteral("server_host: 127.0.0.1\nserver_port: %1\n").arg(serverPort).toUtf8());
    conf.close();

    process.process.setProgram(program);
    QProcessEnvironment env = desktop.environment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Offscreen, as the tests' own widgets: its one leak is suppressed through full stacks.
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               QStringLiteral("detect_leaks=1:abort_on_error=0:fast_unwind_on_malloc=0"));
    process.process.setProcessEnvironment(env);
    process.process.setWorkingDirectory(folder.path());
    process.start({});
    sessionId = waitForAnnouncement(1);
    if (!QRegularExpression(QStringLiteral("^\\d{9}$")).match(sessionId).hasMatch())
        return fail(QStringLiteral("the agent announced no ID:\n") + process.output());

    // The agent reports ready once its programs have started, not once they listen; a supporter
    // of flesh and blood is never that fast, a test is.
    const auto logSays = [&](const char *file, const char *text) {
        QFile log(folder.filePath(QString::fromLatin1(file)));
        return log.open(QIODevice::ReadOnly) && log.readAll().contains(text);
    };
    if (!QTest::qWaitFor(
            [&] {
                return logSays("vncserver.log", "Listening for VNC connections") &&
                       logSays("vncwsproxy.log", "Listen on");
            },
            30000))
        return fail(QStringLiteral("the agent's VNC server or proxy does not listen"));

    QFile passwordData(folder.filePath(QStringLiteral("vnc_password_session.dat")));
    if (!passwordData.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("the agent wrote no session password"));
    sessionPassword = credentials::decodeVncPassword(passwordData.readAll());
    if (!QRegularExpression(QStringLiteral("^\\d{4}$")).match(sessionPassword).hasMatch())
        return fail(QStringLiteral("not a four-digit password: ") + sessionPassword);
    viewerPasswordFile = folder.filePath(QStringLiteral("viewer-password"));
    if (!writeViewerPasswordFile(sessionPassword, viewerPasswordFile))
        return fail(QStringLiteral("vncpasswd could not write the viewer's password file"));
    return true;
}

QString DesktopAgent::waitForAnnouncement(int count, int timeoutMs)
{
    return waitForAnnouncedId(process, count, timeoutMs);
}

int DesktopAgent::announcements() const
{
    return process.lines().filter(QStringLiteral("Your ID:")).size();
}
