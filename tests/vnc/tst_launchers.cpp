// VNCServer and VNCWsProxy with test doubles in place of winvnc4.exe and websockify.exe: the
// command lines, the probed ports, the log files, the debug lines, the signals and the end of the
// programs. Each case runs against both launchers.
#include "vnc/vncserver.h"
#include "vnc/vncwsproxy.h"

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

// What tells the two launchers apart, as far as these tests see them.
class Launcher
{
public:
    virtual ~Launcher() = default;
    virtual QObject *object() = 0;
    virtual void start() = 0;
    virtual QString host() const = 0;
    virtual QString port() const = 0;
    virtual QString program() const = 0;
    // What the program is expected to get, and the debug lines of a start up to "go...".
    virtual QStringList arguments(const QString &port) const = 0;
    virtual QStringList startLines(const QString &port) const = 0;
    virtual QString name() const = 0;
    virtual QString finishedLine(int exitCode, QProcess::ExitStatus exitStatus) const = 0;
    virtual QString logFile() const = 0;
    // What the log holds after a run of the test double: both streams, every line, in the order
    // written (standard output is not left to pile up in the process object).
    QByteArray logContent() const { return "out 1\nerr 1\nout 2\nerr 2\n"; }
};

class ServerLauncher : public Launcher
{
public:
    QObject *object() override { return &server; }
    void start() override { server.start(); }
    QString host() const override { return server.host(); }
    QString port() const override { return server.port(); }
    QString program() const override { return QStringLiteral("winvnc4.exe"); }
    QStringList arguments(const QString &port) const override
    {
        return {QStringLiteral("LocalHost=yes"), QStringLiteral("ShowTrayIcon=false"),
                QStringLiteral("Log=*:file:100"), QStringLiteral("PortNumber=") + port,
                QStringLiteral("rfbauth=./vnc_password_session.dat")};
    }
    QStringList startLines(const QString &port) const override
    {
        return {QStringLiteral("VNC port:  \"%1\"").arg(port),
                QStringLiteral("\"winvnc4.exe LocalHost=yes ShowTrayIcon=false Log=*:file:100 "
                               "PortNumber=%1 rfbauth=./vnc_password_session.dat\"")
                    .arg(port),
                QStringLiteral("go...")};
    }
    QString name() const override { return QStringLiteral("VNC Server"); }
    QString finishedLine(int exitCode, QProcess::ExitStatus exitStatus) const override
    {
        return QStringLiteral("VNC Server finished %1 QProcess::%2")
            .arg(exitCode)
            .arg(QLatin1String(exitStatus == QProcess::NormalExit ? "NormalExit" : "CrashExit"));
    }
    QString logFile() const override { return QStringLiteral("vncserver.log"); }

private:
    VNCServer server;
};

class ProxyLauncher : public Launcher
{
public:
    // Pointed at the VNC server as the window does it.
    ProxyLauncher()
    {
        proxy.setVncHost(QStringLiteral("127.0.0.1"));
        proxy.setVncPort(QStringLiteral("50123"));
    }
    QObject *object() override { return &proxy; }
    void start() override { proxy.start(); }
    QString host() const override { return proxy.host(); }
    QString port() const override { return proxy.port(); }
    QString program() const override { return QStringLiteral("websockify.exe"); }
    QStringList arguments(const QString &port) const override
    {
        return {QStringLiteral("127.0.0.1:") + port, QStringLiteral("127.0.0.1:50123")};
    }
    QStringList startLines(const QString &port) const override
    {
        return {QStringLiteral("\"websockify.exe 127.0.0.1:%1 127.0.0.1:50123\"").arg(port),
                QStringLiteral("go...")};
    }
    QString name() const override { return QStringLiteral("VNCWsProxy"); }
    // The exit code only, whatever the exit status.
    QString finishedLine(int exitCode, QProcess::ExitStatus) const override
    {
        return QStringLiteral("VNCWsProxy finished %1").arg(exitCode);
    }
    QString logFile() const override { return QStringLiteral("vncwsproxy.log"); }

    VNCWsProxy proxy;
};

std::unique_ptr<Launcher> makeLauncher(const QString &kind)
{
    if (kind == QLatin1String("VNCServer"))
        return std::make_unique<ServerLauncher>();
    return std::make_unique<ProxyLauncher>();
}

// The signals of either launcher.
struct Spies
{
    explicit Spies(QObject *launcher)
        : started(launcher, SIGNAL(started())),
          errors(launcher, SIGNAL(errorOccurred(QProcess::ProcessError))),
          finished(launcher, SIGNAL(finished(int, QProcess::ExitStatus)))
    {}
    QSignalSpy started;
    QSignalSpy errors;
    QSignalSpy finished;
};

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

// The debug lines of a start up to and including `report`, the process object's first report of
// the program (started, or failed to start). Qt on Windows reports it from within
// QProcess::start(), before "go..."; elsewhere from the event loop, after it.
QStringList withFirstReport(QStringList startLines, const QString &report)
{
#ifdef Q_OS_WIN
    startLines.insert(startLines.size() - 1, report);
#else
    startLines << report;
#endif
    return startLines;
}

// The exit code of a program that the process object killed.
int killedExitCode()
{
#ifdef Q_OS_WIN
    return 0xf291; // what QProcess::kill() passes to TerminateProcess
#else
    return 9; // SIGKILL
#endif
}

void addKinds()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("VNCServer") << "VNCServer";
    QTest::newRow("VNCWsProxy") << "VNCWsProxy";
}

} // namespace

class TestLaunchers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void hostAndPortBeforeStart_data() { addKinds(); }
    void hostAndPortBeforeStart();
    void startsCommandLineOnHeldPort_data() { addKinds(); }
    void startsCommandLineOnHeldPort();
    void logReplacesOldLog_data() { addKinds(); }
    void logReplacesOldLog();
    void reportsEnd_data();
    void reportsEnd();
    void missingProgramReportsFailedToStart_data() { addKinds(); }
    void missingProgramReportsFailedToStart();
    void destructionEndsProgramQuietly_data() { addKinds(); }
    void destructionEndsProgramQuietly();
    void secondStartReplacesProbeAndProgram_data() { addKinds(); }
    void secondStartReplacesProbeAndProgram();
    void bindFailureIsSilent_data() { addKinds(); }
    void bindFailureIsSilent();
    void proxyTargetIsTakenAsGiven_data();
    void proxyTargetIsTakenAsGiven();

private:
    std::unique_ptr<QTemporaryDir> workDir;
    QString previousDir;
};

void TestLaunchers::initTestCase()
{
    // So that the spies can record the arguments of the signals.
    qRegisterMetaType<QProcess::ProcessError>();
    qRegisterMetaType<QProcess::ExitStatus>();
}

void TestLaunchers::init()
{
    workDir.reset(new QTemporaryDir);
    QVERIFY(workDir->isValid());
    previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workDir->path()));
}

void TestLaunchers::cleanup()
{
    QDir::setCurrent(previousDir);
    workDir.reset();
}

void TestLaunchers::hostAndPortBeforeStart()
{
    QFETCH(QString, kind);
    LogCapture log;
    const auto launcher = makeLauncher(kind);
    QCOMPARE(launcher->host(), QStringLiteral("127.0.0.1"));
    QVERIFY(launcher->port().isEmpty());
    QVERIFY(log.lines().isEmpty());
}

void TestLaunchers::startsCommandLineOnHeldPort()
{
    QFETCH(QString, kind);
    const auto launcher = makeLauncher(kind);
    FakeProgram fake(launcher->program());
    QVERIFY(fake.isValid());
    LogCapture log;
    Spies spies(launcher->object());

    launcher->start();
    const QString port = launcher->port();
    QVERIFY2(QRegularExpression(QStringLiteral("^[1-9][0-9]{0,4}$")).match(port).hasMatch(),
             qPrintable(port));
    QVERIFY(port.toUInt() <= 65535);

    QTRY_COMPARE(spies.started.count(), 1);
    QTRY_COMPARE(fake.runs().size(), 1);
    const FakeProgram::Run run = fake.runs().first();
    // Split at the spaces, no quoting.
    QCOMPARE(run.arguments, launcher->arguments(port));
    QCOMPARE(QFileInfo(run.workingDirectory).canonicalFilePath(),
             QFileInfo(workDir->path()).canonicalFilePath());

    QCOMPARE(log.debugLines(), withFirstReport(launcher->startLines(port),
                                               launcher->name() + QStringLiteral(" started")));
    QCOMPARE(spies.started.count(), 1);
    QCOMPARE(spies.errors.count(), 0);
    QCOMPARE(spies.finished.count(), 0);
    QCOMPARE(launcher->host(), QStringLiteral("127.0.0.1"));
    // The port is the probe's, and the probe still holds it while the program runs.
    QVERIFY(!portIsFree(port));
}

void TestLaunchers::logReplacesOldLog()
{
    QFETCH(QString, kind);
    const auto launcher = makeLauncher(kind);
    FakeProgram fake(launcher->program());
    QVERIFY(fake.isValid());
    {
        QFile old(launcher->logFile());
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("a longer line from an earlier run that must not survive\n");
    }
    Spies spies(launcher->object());
    launcher->start();
    QTRY_COMPARE(spies.started.count(), 1);
    const QString logFile = launcher->logFile();
    QTRY_COMPARE(readFile(logFile), launcher->logContent());
    // No other stream reaches a file.
    QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden), QStringList({logFile}));
}

void TestLaunchers::reportsEnd_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<FakeProgram::Ending>("ending");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QProcess::ExitStatus>("exitStatus");

    for (const char *kind : {"VNCServer", "VNCWsProxy"}) {
        QTest::addRow("%s, exit 0", kind)
            << kind << FakeProgram::Ending::Exit << 0 << 0 << QProcess::NormalExit;
        QTest::addRow("%s, exit 3", kind)
            << kind << FakeProgram::Ending::Exit << 3 << 3 << QProcess::NormalExit;
        QTest::addRow("%s, killed", kind) << kind << FakeProgram::Ending::SelfKill << 0
                                          << FakeProgram::selfKillExitCode() << QProcess::CrashExit;
    }
}

void TestLaunchers::reportsEnd()
{
    QFETCH(QString, kind);
    QFETCH(FakeProgram::Ending, ending);
    QFETCH(int, code);
    QFETCH(int, exitCode);
    QFETCH(QProcess::ExitStatus, exitStatus);

    const auto launcher = makeLauncher(kind);
    FakeProgram fake(launcher->program());
    QVERIFY(fake.isValid());
    fake.setEnding(ending, code);
    LogCapture log;
    Spies spies(launcher->object());
    launcher->start();

    QTRY_COMPARE(spies.finished.count(), 1);
    QCOMPARE(spies.finished.first().at(0).toInt(), exitCode);
    QCOMPARE(spies.finished.first().at(1).value<QProcess::ExitStatus>(), exitStatus);
    QCOMPARE(spies.started.count(), 1);
    QStringList expected = withFirstReport(launcher->startLines(launcher->port()),
                                           launcher->name() + QStringLiteral(" started"));
    if (exitStatus == QProcess::CrashExit) {
        // Qt reports a crash as an error of the process object first.
        expected << launcher->name() + QStringLiteral(" errorOccurred QProcess::Crashed");
        QCOMPARE(spies.errors.count(), 1);
        QCOMPARE(spies.errors.first().at(0).value<QProcess::ProcessError>(), QProcess::Crashed);
    } else {
        QCOMPARE(spies.errors.count(), 0);
    }
    expected << launcher->finishedLine(exitCode, exitStatus);
    QCOMPARE(log.debugLines(), expected);
}

void TestLaunchers::missingProgramReportsFailedToStart()
{
    QFETCH(QString, kind);
    QTemporaryDir emptyDir;
    QVERIFY(emptyDir.isValid());
    const QByteArray savedPath = qgetenv("PATH");
    const auto restorePath = qScopeGuard([&] { qputenv("PATH", savedPath); });
    qputenv("PATH", QFile::encodeName(emptyDir.path()));

    LogCapture log;
    const auto launcher = makeLauncher(kind);
    Spies spies(launcher->object());
    launcher->start();
    const QString port = launcher->port();
    QVERIFY(!port.isEmpty());

    QTRY_COMPARE(spies.errors.count(), 1);
    QCOMPARE(spies.errors.first().at(0).value<QProcess::ProcessError>(), QProcess::FailedToStart);
    QCOMPARE(log.debugLines(),
             withFirstReport(launcher->startLines(port),
                             launcher->name() +
                                 QStringLiteral(" errorOccurred QProcess::FailedToStart")));
    QCOMPARE(spies.started.count(), 0);
    QCOMPARE(spies.finished.count(), 0);
}

void TestLaunchers::destructionEndsProgramQuietly()
{
    QFETCH(QString, kind);
    auto launcher = makeLauncher(kind);
    FakeProgram fake(launcher->program());
    QVERIFY(fake.isValid());
    LogCapture log;
    Spies spies(launcher->object());
    launcher->start();
    QTRY_COMPARE(spies.started.count(), 1);
    QTRY_COMPARE(fake.runs().size(), 1);
    const qint64 pid = fake.runs().first().pid;
    const QString port = launcher->port();
    QVERIFY(!processGone(pid));
    log.clear();

    launcher.reset();
    QVERIFY(processGone(pid));
    QVERIFY(portIsFree(port));
    // The launcher does not report the end of a program that its own destruction brings about.
    QCOMPARE(log.debugLines(), QStringList());
    QCOMPARE(spies.errors.count(), 0);
    QCOMPARE(spies.finished.count(), 0);
}

void TestLaunchers::secondStartReplacesProbeAndProgram()
{
    QFETCH(QString, kind);
    const auto launcher = makeLauncher(kind);
    FakeProgram fake(launcher->program());
    QVERIFY(fake.isValid());
    LogCapture log;
    Spies spies(launcher->object());
    launcher->start();
    QTRY_COMPARE(spies.started.count(), 1);
    QTRY_COMPARE(fake.runs().size(), 1);
    const qint64 firstPid = fake.runs().first().pid;
    log.clear();

    launcher->start();
    const QString port = launcher->port();
    // Replacing the process object killed the first program, which Qt reports as a crash.
    QVERIFY(processGone(firstPid));
    QCOMPARE(spies.errors.count(), 1);
    QCOMPARE(spies.errors.first().at(0).value<QProcess::ProcessError>(), QProcess::Crashed);
    QCOMPARE(spies.finished.count(), 1);
    QCOMPARE(spies.finished.first().at(1).value<QProcess::ExitStatus>(), QProcess::CrashExit);

    QTRY_COMPARE(spies.started.count(), 2);
    QTRY_COMPARE(fake.runs().size(), 2);
    QCOMPARE(fake.runs().at(1).arguments, launcher->arguments(port));
    // The old program ends while the new one is set up, before "go...".
    QStringList expected = launcher->startLines(port);
    expected.insert(expected.size() - 1,
                    launcher->name() + QStringLiteral(" errorOccurred QProcess::Crashed"));
    expected.insert(expected.size() - 1,
                    launcher->finishedLine(killedExitCode(), QProcess::CrashExit));
    QCOMPARE(log.debugLines(),
             withFirstReport(expected, launcher->name() + QStringLiteral(" started")));
    QVERIFY(!portIsFree(port));
}

void TestLaunchers::bindFailureIsSilent()
{
    QFETCH(QString, kind);
    const auto launcher = makeLauncher(kind);
    FakeProgram fake(launcher->program());
    QVERIFY(fake.isValid());
    LogCapture log;
    Spies spies(launcher->object());
    launcher->start();
    QTRY_COMPARE(spies.started.count(), 1);
    QTRY_COMPARE(fake.runs().size(), 1);
    const qint64 pid = fake.runs().first().pid;
    const QString port = launcher->port();
    log.clear();

    {
        // No descriptor left for the new probe socket.
        OpenFileLimit limit;
        if (!limit.isActive())
            QSKIP("this system has no limit on open files to lower");
        launcher->start();
    }
    QCOMPARE(launcher->port(), port);
    QCOMPARE(log.debugLines(), QStringList());
    QCOMPARE(spies.started.count(), 1);
    QCOMPARE(spies.errors.count(), 0);
    QCOMPARE(spies.finished.count(), 0);
    // The program of the earlier start runs on; only the old probe has gone.
    QVERIFY(!processGone(pid));
    QCOMPARE(fake.runs().size(), 1);
    QVERIFY(portIsFree(port));
}

void TestLaunchers::proxyTargetIsTakenAsGiven_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("set");
    QTest::addColumn<QString>("target");

    QTest::newRow("host name") << "localhost"
                               << "5900" << true << "localhost:5900";
    // Nothing checks or converts the target: an unset one is put on the line as it is.
    QTest::newRow("unset") << QString() << QString() << false << ":";
}

void TestLaunchers::proxyTargetIsTakenAsGiven()
{
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(bool, set);
    QFETCH(QString, target);

    FakeProgram fake(QStringLiteral("websockify.exe"));
    QVERIFY(fake.isValid());
    LogCapture log;
    VNCWsProxy proxy;
    if (set) {
        proxy.setVncHost(host);
        proxy.setVncPort(port);
    }
    proxy.start();
    // Read by start() only.
    proxy.setVncHost(QStringLiteral("192.0.2.1"));
    proxy.setVncPort(QStringLiteral("1"));
    QTRY_COMPARE(fake.runs().size(), 1);
    const QString listen = QStringLiteral("127.0.0.1:") + proxy.port();
    QCOMPARE(fake.runs().first().arguments, QStringList({listen, target}));
    QCOMPARE(log.debugLines().first(),
             QStringLiteral("\"websockify.exe %1 %2\"").arg(listen, target));
}

QTEST_GUILESS_MAIN(TestLaunchers)
#include "tst_launchers.moc"
