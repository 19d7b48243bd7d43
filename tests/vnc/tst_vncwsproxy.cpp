// VNCWsProxy with a test double in place of websockify.exe: the command line, the probed port,
// the log file, the debug lines, the signals and the end of the program.
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

const char *const program = "websockify.exe";

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

// The proxy pointed at the VNC server as the window does it.
void setTarget(VNCWsProxy &proxy)
{
    proxy.setVncHost(QStringLiteral("127.0.0.1"));
    proxy.setVncPort(QStringLiteral("50123"));
}

} // namespace

class TestVncWsProxy : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void hostAndPortBeforeStart();
    void commandLine_data();
    void commandLine();
    void logHoldsOnlyStandardErrorAndReplacesOldLog();
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

void TestVncWsProxy::initTestCase()
{
    // So that the spies can record the arguments of the signals.
    qRegisterMetaType<QProcess::ProcessError>();
    qRegisterMetaType<QProcess::ExitStatus>();
}

void TestVncWsProxy::init()
{
    workDir.reset(new QTemporaryDir);
    QVERIFY(workDir->isValid());
    previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workDir->path()));
}

void TestVncWsProxy::cleanup()
{
    QDir::setCurrent(previousDir);
    workDir.reset();
}

void TestVncWsProxy::hostAndPortBeforeStart()
{
    LogCapture log;
    VNCWsProxy proxy;
    setTarget(proxy);
    QCOMPARE(proxy.host(), QStringLiteral("127.0.0.1"));
    QVERIFY(proxy.port().isEmpty());
    QVERIFY(log.lines().isEmpty());
}

void TestVncWsProxy::commandLine_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("setBoth");
    QTest::addColumn<QString>("target");

    QTest::newRow("vnc server") << "127.0.0.1"
                                << "50123" << true << "127.0.0.1:50123";
    QTest::newRow("other target") << "localhost"
                                  << "5900" << true << "localhost:5900";
    // Nothing checks or converts the target: an unset one is put on the line as it is.
    QTest::newRow("unset target") << QString() << QString() << false << ":";
}

void TestVncWsProxy::commandLine()
{
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(bool, setBoth);
    QFETCH(QString, target);

    FakeProgram fake(QString::fromLatin1(program));
    QVERIFY(fake.isValid());
    LogCapture log;
    VNCWsProxy proxy;
    if (setBoth) {
        proxy.setVncHost(host);
        proxy.setVncPort(port);
    }
    QSignalSpy started(&proxy, &VNCWsProxy::started);
    QSignalSpy errors(&proxy, &VNCWsProxy::errorOccurred);
    QSignalSpy finished(&proxy, &VNCWsProxy::finished);

    proxy.start();
    const QString proxyPort = proxy.port();
    QVERIFY2(QRegularExpression(QStringLiteral("^[1-9][0-9]{0,4}$")).match(proxyPort).hasMatch(),
             qPrintable(proxyPort));
    QVERIFY(proxyPort.toUInt() <= 65535);

    QVERIFY(started.wait());
    QTRY_COMPARE(fake.runs().size(), 1);
    const FakeProgram::Run run = fake.runs().first();
    const QString listen = QStringLiteral("127.0.0.1:") + proxyPort;
    QCOMPARE(run.arguments, QStringList({listen, target}));
    QCOMPARE(QFileInfo(run.workingDirectory).canonicalFilePath(),
             QFileInfo(workDir->path()).canonicalFilePath());

    const QString commandLine =
        QStringLiteral("websockify.exe ") + listen + QLatin1Char(' ') + target;
    QCOMPARE(log.debugLines(),
             QStringList({QLatin1Char('"') + commandLine + QLatin1Char('"'),
                          QStringLiteral("go..."), QStringLiteral("VNCWsProxy started")}));
    QCOMPARE(started.count(), 1);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(proxy.host(), QStringLiteral("127.0.0.1"));
    QVERIFY(!portIsFree(proxyPort));
}

void TestVncWsProxy::logHoldsOnlyStandardErrorAndReplacesOldLog()
{
    FakeProgram fake(QString::fromLatin1(program));
    QVERIFY(fake.isValid());
    {
        QFile old(QStringLiteral("vncwsproxy.log"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("a longer line from an earlier run that must not survive\n");
    }
    VNCWsProxy proxy;
    setTarget(proxy);
    QSignalSpy started(&proxy, &VNCWsProxy::started);
    proxy.start();
    QVERIFY(started.wait());
    const QString logPath = QStringLiteral("vncwsproxy.log");
    QTRY_COMPARE(readFile(logPath), QByteArray("err 1\nerr 2\n"));
    // Standard output reaches no file.
    QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden),
             QStringList({QStringLiteral("vncwsproxy.log")}));
}

void TestVncWsProxy::reportsEnd_data()
{
    QTest::addColumn<FakeProgram::Ending>("ending");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QProcess::ExitStatus>("exitStatus");
    QTest::addColumn<QStringList>("endLines");

    // The end is logged with the exit code only, whatever the exit status.
    QTest::newRow("exit 0") << FakeProgram::Ending::Exit << 0 << 0 << QProcess::NormalExit
                            << QStringList{"VNCWsProxy finished 0"};
    QTest::newRow("exit 3") << FakeProgram::Ending::Exit << 3 << 3 << QProcess::NormalExit
                            << QStringList{"VNCWsProxy finished 3"};
    QTest::newRow("killed") << FakeProgram::Ending::SelfKill << 0 << 9 << QProcess::CrashExit
                            << QStringList{"VNCWsProxy errorOccurred QProcess::Crashed",
                                           "VNCWsProxy finished 9"};
}

void TestVncWsProxy::reportsEnd()
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
    VNCWsProxy proxy;
    setTarget(proxy);
    QSignalSpy started(&proxy, &VNCWsProxy::started);
    QSignalSpy errors(&proxy, &VNCWsProxy::errorOccurred);
    QSignalSpy finished(&proxy, &VNCWsProxy::finished);
    proxy.start();

    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(finished.first().at(0).toInt(), exitCode);
    QCOMPARE(finished.first().at(1).value<QProcess::ExitStatus>(), exitStatus);
    QCOMPARE(started.count(), 1);
    QCOMPARE(
        log.debugLines(),
        QStringList(
            {QStringLiteral("\"websockify.exe 127.0.0.1:%1 127.0.0.1:50123\"").arg(proxy.port()),
             QStringLiteral("go..."), QStringLiteral("VNCWsProxy started")}) +
            endLines);
    QCOMPARE(errors.count(), exitStatus == QProcess::CrashExit ? 1 : 0);
}

void TestVncWsProxy::missingProgramReportsFailedToStart()
{
    QTemporaryDir emptyDir;
    QVERIFY(emptyDir.isValid());
    const QByteArray savedPath = qgetenv("PATH");
    const auto restorePath = qScopeGuard([&] { qputenv("PATH", savedPath); });
    qputenv("PATH", QFile::encodeName(emptyDir.path()));

    LogCapture log;
    VNCWsProxy proxy;
    setTarget(proxy);
    QSignalSpy started(&proxy, &VNCWsProxy::started);
    QSignalSpy errors(&proxy, &VNCWsProxy::errorOccurred);
    QSignalSpy finished(&proxy, &VNCWsProxy::finished);
    proxy.start();
    const QString port = proxy.port();
    QVERIFY(!port.isEmpty());

    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.first().at(0).value<QProcess::ProcessError>(), QProcess::FailedToStart);
    QCOMPARE(
        log.debugLines(),
        QStringList({QStringLiteral("\"websockify.exe 127.0.0.1:%1 127.0.0.1:50123\"").arg(port),
                     QStringLiteral("go..."),
                     QStringLiteral("VNCWsProxy errorOccurred QProcess::FailedToStart")}));
    QCOMPARE(started.count(), 0);
    QCOMPARE(finished.count(), 0);
}

void TestVncWsProxy::destructionEndsProgram()
{
    FakeProgram fake(QString::fromLatin1(program));
    QVERIFY(fake.isValid());
    LogCapture log;
    auto proxy = std::make_unique<VNCWsProxy>();
    setTarget(*proxy);
    QSignalSpy started(proxy.get(), &VNCWsProxy::started);
    proxy->start();
    QVERIFY(started.wait());
    QTRY_COMPARE(fake.runs().size(), 1);
    const qint64 pid = fake.runs().first().pid;
    const QString port = proxy->port();
    QVERIFY(!processGone(pid));
    log.clear();

    proxy.reset();
    QVERIFY(processGone(pid));
    QVERIFY(portIsFree(port));
    const QStringList lines = log.debugLines();
    for (const QString &line : lines)
        QVERIFY2(!line.startsWith(QLatin1String("VNCWsProxy")), qPrintable(line));
}

void TestVncWsProxy::secondStartReplacesProbeAndProgram()
{
    FakeProgram fake(QString::fromLatin1(program));
    QVERIFY(fake.isValid());
    LogCapture log;
    VNCWsProxy proxy;
    setTarget(proxy);
    QSignalSpy started(&proxy, &VNCWsProxy::started);
    QSignalSpy errors(&proxy, &VNCWsProxy::errorOccurred);
    QSignalSpy finished(&proxy, &VNCWsProxy::finished);
    proxy.start();
    QVERIFY(started.wait());
    QTRY_COMPARE(fake.runs().size(), 1);
    const qint64 firstPid = fake.runs().first().pid;
    log.clear();

    // The target is read by each start.
    proxy.setVncPort(QStringLiteral("50200"));
    proxy.start();
    const QString port = proxy.port();
    QVERIFY(processGone(firstPid));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.first().at(0).value<QProcess::ProcessError>(), QProcess::Crashed);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.first().at(1).value<QProcess::ExitStatus>(), QProcess::CrashExit);

    QTRY_COMPARE(started.count(), 2);
    QTRY_COMPARE(fake.runs().size(), 2);
    const QString listen = QStringLiteral("127.0.0.1:") + port;
    QCOMPARE(fake.runs().at(1).arguments, QStringList({listen, QStringLiteral("127.0.0.1:50200")}));
    QCOMPARE(log.debugLines(),
             QStringList({QStringLiteral("\"websockify.exe %1 127.0.0.1:50200\"").arg(listen),
                          QStringLiteral("VNCWsProxy errorOccurred QProcess::Crashed"),
                          QStringLiteral("VNCWsProxy finished 9"), QStringLiteral("go..."),
                          QStringLiteral("VNCWsProxy started")}));
    QVERIFY(!portIsFree(port));
}

void TestVncWsProxy::bindFailureIsSilent()
{
    FakeProgram fake(QString::fromLatin1(program));
    QVERIFY(fake.isValid());
    LogCapture log;
    VNCWsProxy proxy;
    setTarget(proxy);
    QSignalSpy started(&proxy, &VNCWsProxy::started);
    QSignalSpy errors(&proxy, &VNCWsProxy::errorOccurred);
    QSignalSpy finished(&proxy, &VNCWsProxy::finished);
    proxy.start();
    QVERIFY(started.wait());
    QTRY_COMPARE(fake.runs().size(), 1);
    const qint64 pid = fake.runs().first().pid;
    const QString port = proxy.port();
    log.clear();

    {
        OpenFileLimit limit;
        QVERIFY(limit.isActive());
        proxy.start();
    }
    QCOMPARE(proxy.port(), port);
    QCOMPARE(log.debugLines(), QStringList());
    QCOMPARE(started.count(), 1);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(finished.count(), 0);
    QVERIFY(!processGone(pid));
    QCOMPARE(fake.runs().size(), 1);
    QVERIFY(portIsFree(port));
}

QTEST_GUILESS_MAIN(TestVncWsProxy)
#include "tst_vncwsproxy.moc"
