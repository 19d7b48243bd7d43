// VNCServer with a test double in place of winvnc4.exe: the command line, the probed port, the log
// file, the debug lines, the signals and the end of the program.
#include "vnc/vncserver.h"

#include "fakeprogram.h"
#include "logcapture.h"
#include "oshelpers.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const char *const program = "winvnc4.exe";

QStringList expectedArguments(const QString &port)
{
    return {QStringLiteral("LocalHost=yes"), QStringLiteral("ShowTrayIcon=false"),
            QStringLiteral("Log=*:file:100"), QStringLiteral("PortNumber=") + port,
            QStringLiteral("rfbauth=./vnc_password_session.dat")};
}

QString commandLineLine(const QString &port)
{
    return QStringLiteral("\"winvnc4.exe LocalHost=yes ShowTrayIcon=false Log=*:file:100 "
                          "PortNumber=%1 rfbauth=./vnc_password_session.dat\"")
        .arg(port);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Whether a socket that does not share addresses can take `port` on any address.
bool portIsFree(const QString &port)
{
    QTcpSocket socket;
    return socket.bind(QHostAddress::Any, port.toUShort(), QAbstractSocket::DontShareAddress);
}

} // namespace

class TestVncServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void hostAndPortBeforeStart();
    void startsCommandLineOnHeldPort();
    void logHoldsBothStreamsAndReplacesOldLog();
    void reportsEnd_data();
    void reportsEnd();
    void missingProgramReportsFailedToStart();
    void destructionEndsProgram();
    void secondStartReplacesProbeAndProgram();
    void bindFailureIsSilent();

private:
    std::unique_ptr<QTemporaryDir> workDir;
    QString previousDir;
};

void TestVncServer::initTestCase()
{
    // So that the spies can record the arguments of the signals.
    qRegisterMetaType<QProcess::ProcessError>();
    qRegisterMetaType<QProcess::ExitStatus>();
}

void TestVncServer::init()
{
    workDir.reset(new QTemporaryDir);
    QVERIFY(workDir->isValid());
    previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workDir->path()));
}

void TestVncServer::cleanup()
{
    QDir::setCurrent(previousDir);
    workDir.reset();
}

void TestVncServer::hostAndPortBeforeStart()
{
    LogCapture log;
    VNCServer server;
    QCOMPARE(server.host(), QStringLiteral("127.0.0.1"));
    QVERIFY(server.port().isEmpty());
    QVERIFY(server.port().isNull() || server.port() == QString());
    QVERIFY(log.lines().isEmpty());
}

void TestVncServer::startsCommandLineOnHeldPort()
{
    FakeProgram fake(QString::fromLatin1(program));
    QVERIFY(fake.isValid());
    LogCapture log;
    VNCServer server;
    QSignalSpy started(&server, &VNCServer::started);
    QSignalSpy errors(&server, &VNCServer::errorOccurred);
    QSignalSpy finished(&server, &VNCServer::finished);

    server.start();
    const QString port = server.port();
    QVERIFY2(QRegularExpression(QStringLiteral("^[1-9][0-9]{0,4}$")).match(port).hasMatch(),
             qPrintable(port));
    QVERIFY(port.toUInt() <= 65535);

    QVERIFY(started.wait());
    QTRY_COMPARE(fake.runs().size(), 1);
    const FakeProgram::Run run = fake.runs().first();
    QCOMPARE(run.arguments, expectedArguments(port));
    QCOMPARE(QFileInfo(run.workingDirectory).canonicalFilePath(),
             QFileInfo(workDir->path()).canonicalFilePath());

    QCOMPARE(log.debugLines(),
             QStringList({QStringLiteral("VNC port:  \"%1\"").arg(port), commandLineLine(port),
                          QStringLiteral("go..."), QStringLiteral("VNC Server started")}));
    QCOMPARE(started.count(), 1);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(server.host(), QStringLiteral("127.0.0.1"));

    // The port is the probe's, and the probe still holds it while the program runs.
    QVERIFY(!portIsFree(port));
}

void TestVncServer::logHoldsBothStreamsAndReplacesOldLog()
{
    FakeProgram fake(QString::fromLatin1(program));
    QVERIFY(fake.isValid());
    {
        QFile old(QStringLiteral("vncserver.log"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("a longer line from an earlier run that must not survive\n");
    }
    VNCServer server;
    QSignalSpy started(&server, &VNCServer::started);
    server.start();
    QVERIFY(started.wait());
    // Both streams, every line, in the order written.
    const QString logPath = QStringLiteral("vncserver.log");
    QTRY_COMPARE(readFile(logPath), QByteArray("out 1\nerr 1\nout 2\nerr 2\n"));
}

void TestVncServer::reportsEnd_data()
{
    QTest::addColumn<FakeProgram::Ending>("ending");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QProcess::ExitStatus>("exitStatus");
    QTest::addColumn<QStringList>("endLines");

    QTest::newRow("exit 0") << FakeProgram::Ending::Exit << 0 << 0 << QProcess::NormalExit
                            << QStringList{"VNC Server finished 0 QProcess::NormalExit"};
    QTest::newRow("exit 3") << FakeProgram::Ending::Exit << 3 << 3 << QProcess::NormalExit
                            << QStringList{"VNC Server finished 3 QProcess::NormalExit"};
    // A crash is also an error of the process object, reported first.
    QTest::newRow("killed") << FakeProgram::Ending::SelfKill << 0 << 9 << QProcess::CrashExit
                            << QStringList{"VNC Server errorOccurred QProcess::Crashed",
                                           "VNC Server finished 9 QProcess::CrashExit"};
}

void TestVncServer::reportsEnd()
{
    QFETCH(FakeProgram::Ending, ending);
    QFETCH(int, code);
    QFETCH(int, exitCode);
    QFETCH(QProcess::ExitStatus, exitStatus);
    QFETCH(QStringList, endLines);

    FakeProgram fake(QString::fromLatin1(program));
    QVERIFY(fake.isValid());
    fake.setEnding(ending, code);
    LogCapture log;
    VNCServer server;
    QSignalSpy started(&server, &VNCServer::started);
    QSignalSpy errors(&server, &VNCServer::errorOccurred);
    QSignalSpy finished(&server, &VNCServer::finished);
    server.start();

    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(finished.first().at(0).toInt(), exitCode);
    QCOMPARE(finished.first().at(1).value<QProcess::ExitStatus>(), exitStatus);
    QCOMPARE(started.count(), 1);
    const QString port = server.port();
    QCOMPARE(log.debugLines(),
             QStringList({QStringLiteral("VNC port:  \"%1\"").arg(port), commandLineLine(port),
                          QStringLiteral("go..."), QStringLiteral("VNC Server started")}) +
                 endLines);
    QCOMPARE(errors.count(), exitStatus == QProcess::CrashExit ? 1 : 0);
}

void TestVncServer::missingProgramReportsFailedToStart()
{
    QTemporaryDir emptyDir;
    QVERIFY(emptyDir.isValid());
    const QByteArray savedPath = qgetenv("PATH");
    const auto restorePath = qScopeGuard([&] { qputenv("PATH", savedPath); });
    qputenv("PATH", QFile::encodeName(emptyDir.path()));

    LogCapture log;
    VNCServer server;
    QSignalSpy started(&server, &VNCServer::started);
    QSignalSpy errors(&server, &VNCServer::errorOccurred);
    QSignalSpy finished(&server, &VNCServer::finished);
    server.start();
    const QString port = server.port();
    QVERIFY(!port.isEmpty());

    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.first().at(0).value<QProcess::ProcessError>(), QProcess::FailedToStart);
    QCOMPARE(log.debugLines(),
             QStringList({QStringLiteral("VNC port:  \"%1\"").arg(port), commandLineLine(port),
                          QStringLiteral("go..."),
                          QStringLiteral("VNC Server errorOccurred QProcess::FailedToStart")}));
    QCOMPARE(started.count(), 0);
    QCOMPARE(finished.count(), 0);
}

void TestVncServer::destructionEndsProgram()
{
    FakeProgram fake(QString::fromLatin1(program));
    QVERIFY(fake.isValid());
    LogCapture log;
    auto server = std::make_unique<VNCServer>();
    QSignalSpy started(server.get(), &VNCServer::started);
    server->start();
    QVERIFY(started.wait());
    QTRY_COMPARE(fake.runs().size(), 1);
    const qint64 pid = fake.runs().first().pid;
    const QString port = server->port();
    QVERIFY(!processGone(pid));
    log.clear();

    server.reset();
    QVERIFY(processGone(pid));
    QVERIFY(portIsFree(port));
    // The end of a program that the object itself ends is not reported.
    const QStringList lines = log.debugLines();
    for (const QString &line : lines)
        QVERIFY2(!line.startsWith(QLatin1String("VNC Server")), qPrintable(line));
}

void TestVncServer::secondStartReplacesProbeAndProgram()
{
    FakeProgram fake(QString::fromLatin1(program));
    QVERIFY(fake.isValid());
    LogCapture log;
    VNCServer server;
    QSignalSpy started(&server, &VNCServer::started);
    QSignalSpy errors(&server, &VNCServer::errorOccurred);
    QSignalSpy finished(&server, &VNCServer::finished);
    server.start();
    QVERIFY(started.wait());
    QTRY_COMPARE(fake.runs().size(), 1);
    const qint64 firstPid = fake.runs().first().pid;
    log.clear();

    server.start();
    const QString port = server.port();
    // Replacing the process object killed the first program, which Qt reports as a crash.
    QVERIFY(processGone(firstPid));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.first().at(0).value<QProcess::ProcessError>(), QProcess::Crashed);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.first().at(1).value<QProcess::ExitStatus>(), QProcess::CrashExit);

    QTRY_COMPARE(started.count(), 2);
    QTRY_COMPARE(fake.runs().size(), 2);
    QCOMPARE(fake.runs().at(1).arguments, expectedArguments(port));
    QCOMPARE(log.debugLines(),
             QStringList({QStringLiteral("VNC port:  \"%1\"").arg(port), commandLineLine(port),
                          QStringLiteral("VNC Server errorOccurred QProcess::Crashed"),
                          QStringLiteral("VNC Server finished 9 QProcess::CrashExit"),
                          QStringLiteral("go..."), QStringLiteral("VNC Server started")}));
    QVERIFY(!portIsFree(port));
}

void TestVncServer::bindFailureIsSilent()
{
    FakeProgram fake(QString::fromLatin1(program));
    QVERIFY(fake.isValid());
    LogCapture log;
    VNCServer server;
    QSignalSpy started(&server, &VNCServer::started);
    QSignalSpy errors(&server, &VNCServer::errorOccurred);
    QSignalSpy finished(&server, &VNCServer::finished);
    server.start();
    QVERIFY(started.wait());
    QTRY_COMPARE(fake.runs().size(), 1);
    const qint64 pid = fake.runs().first().pid;
    const QString port = server.port();
    log.clear();

    {
        // No descriptor left for the new probe socket.
        OpenFileLimit limit;
        QVERIFY(limit.isActive());
        server.start();
    }
    QCOMPARE(server.port(), port);
    QCOMPARE(log.debugLines(), QStringList());
    QCOMPARE(started.count(), 1);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(finished.count(), 0);
    // The program of the earlier start runs on; only the old probe has gone.
    QVERIFY(!processGone(pid));
    QCOMPARE(fake.runs().size(), 1);
    QVERIFY(portIsFree(port));
}

QTEST_GUILESS_MAIN(TestVncServer)
#include "tst_vncserver.moc"
