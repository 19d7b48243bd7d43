// Password guessing over real connections: an agent that plays a VNC server with VNC
// authentication (DES challenge and response, as TigerVNC does) and scripted viewers that answer
// the challenge with the right or a wrong password. Short locks through the configuration; the
// real schedule's numbers are checked in tst_limits.
#include "rawwebsocket.h"
#include "serverthread.h"
#include "supporterpeer.h"
#include "vncagentpeer.h"
#include "vncviewerpeer.h"

#include <QElapsedTimer>
#include <QtTest>

#include <cmath>
#include <memory>

using namespace std::chrono_literals;
using velmora::server::ServerConfig;

namespace {

const QByteArray kPassword = VncAgentPeer::kPassword;

QByteArray u32(quint32 value)
{
    return QByteArray(1, char(value >> 24)) + char(value >> 16) + char(value >> 8) + char(value);
}

ServerConfig shortLocks()
{
    ServerConfig config = ServerThread::defaultConfig();
    config.options.lockout = {200ms, 800ms};
    return config;
}

// Opens viewers for `id` until one is let in: those refused with a reason starting with
// `refusal` (a lock, or a used-up probe budget) are counted in `refused` and do not count as
// attempts. Returns the viewer that got in, after it logged in or was closed.
std::unique_ptr<VncViewerPeer> admitted(const ServerThread &server, const QString &id,
                                        const QByteArray &password, const QString &refusal,
                                        int &refused)
{
    for (int tries = 0; tries < 500; ++tries) {
        auto viewer = std::make_unique<VncViewerPeer>(password);
        viewer->open(server.viewerUrl(id));
        if (!QTest::qWaitFor([&] { return viewer->peer.disconnected || viewer->loggedIn; }, 10000))
            return nullptr;
        if (viewer->loggedIn || !viewer->closeReason().startsWith(refusal))
            return viewer;
        ++refused;
    }
    return nullptr;
}

// The agent's session ended with the viewer's; it comes back as the real one does.
bool agentReturns(VncAgentPeer &agent)
{
    return agent.returnAfterSession();
}

} // namespace

class TestGuessing : public QObject
{
    Q_OBJECT

private slots:
    void rightPasswordWorksAtOnce()
    {
        ServerThread server(shortLocks());
        VncAgentPeer agent;
        QVERIFY(agent.online(server.agentUrl()));
        QElapsedTimer timer;
        timer.start();
        VncViewerPeer viewer(kPassword);
        viewer.open(server.viewerUrl(agent.peer.id));
        QTRY_VERIFY(viewer.loggedIn);
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
        // The viewer saw only VNC authentication on offer.
        QCOMPARE(viewer.offered, QByteArray(1, '\x02'));
        QCOMPARE(agent.logins, 1);
        QVERIFY(
            server.waitForLog("password accepted id=" + agent.peer.id + " supporter 127.0.0.1:"));
        QVERIFY(server.logMatching("attempt refused").isEmpty());

        // From here the stream passes untouched, both ways.
        QByteArray sent;
        for (int i = 0; i < 50; ++i) {
            const QByteArray chunk(100 + i * 37, char('a' + i % 26));
            sent += chunk;
            viewer.peer.socket.sendBinaryMessage(chunk);
        }
        QTRY_COMPARE(viewer.afterLogin.size(), sent.size());
        QCOMPARE(viewer.afterLogin, sent);
        QCOMPARE(server.stats().handshakes.at("success"), std::uint64_t(1));
        QCOMPARE(server.stats().lockouts, std::uint64_t(0));
    }

    void wrongPasswordsLockTheIdForLongerEachTime()
    {
        ServerConfig config = ServerThread::defaultConfig();
        config.options.lockout = {500ms, 2000ms};
        ServerThread server(config);
        VncAgentPeer agent;
        QVERIFY(agent.online(server.agentUrl()));
        const QString id = agent.peer.id;
        const QStringList locks{"0.5", "1", "2", "4"};
        int locked = 0;
        for (int attempt = 1; attempt <= locks.size(); ++attempt) {
            const int lockedBefore = locked;
            const auto viewer = admitted(server, id, "0000", "locked;", locked);
            QVERIFY(viewer && !viewer->loggedIn);
            // Every attempt after the first had to wait for the lock.
            QVERIFY(attempt == 1 || locked > lockedBefore);
            // The VNC server's own failure reached the viewer before the close.
            QCOMPARE(viewer->failure, u32(1) + u32(22) + "Authentication failure");
            QCOMPARE(viewer->closeCode(), 4401);
            const int retry = int(std::ceil(locks[attempt - 1].toDouble()));
            QCOMPARE(viewer->closeReason(), QString("wrong-password;retry-after=%1").arg(retry));
            const QString line = QString("attempt refused id=%1 supporter 127.0.0.1:").arg(id);
            const QString tail = QString(": wrong-password 'Authentication failure'; %1 refused "
                                         "in a row, id locked for %2 s")
                                     .arg(attempt)
                                     .arg(locks[attempt - 1]);
            QVERIFY2(server.waitForLog(tail), qPrintable(server.log().join('\n')));
            QVERIFY(server.logMatching(tail).first().contains(line));

            // Meanwhile the ID refuses every supporter, the right password included, and says
            // for how long; those refusals are not attempts.
            VncViewerPeer early(kPassword);
            early.open(server.viewerUrl(id));
            QVERIFY(early.waitForEnd());
            QCOMPARE(early.closeCode(), 4423);
            QCOMPARE(early.closeReason(), QString("locked;retry-after=%1").arg(retry));
            QVERIFY(agentReturns(agent));
        }
        QCOMPARE(agent.logins, 0);
        QCOMPARE(server.stats().lockouts, std::uint64_t(4));
        QCOMPARE(server.stats().handshakes.at("wrong-password"), std::uint64_t(4));
        QVERIFY(server.stats().refusals.at("locked") >= 4);
        QVERIFY(!server.logMatching(": locked (retry after ").isEmpty());

        // Once the lock has passed the right password logs in, and the count starts over.
        auto right = admitted(server, id, kPassword, "locked;", locked);
        QVERIFY(right && right->loggedIn);
        QCOMPARE(agent.logins, 1);
        right->peer.socket.close();
        QVERIFY(agentReturns(agent));
        const auto again = admitted(server, id, "9999", "locked;", locked);
        QVERIFY(again && !again->loggedIn);
        QVERIFY(server.waitForLog(": wrong-password 'Authentication failure'; 1 refused in a "
                                  "row, id locked for 0.5 s"));
    }

    // The lock belongs to the ID: an agent that reconnects (it does after every session) is
    // still locked.
    void lockSurvivesTheAgentsReconnection()
    {
        ServerConfig config = shortLocks();
        config.options.lockout = {10s, 10s};
        ServerThread server(config);
        VncAgentPeer agent;
        QVERIFY(agent.online(server.agentUrl()));
        const QString id = agent.peer.id;
        VncViewerPeer viewer("0000");
        viewer.open(server.viewerUrl(id));
        QVERIFY(viewer.waitForEnd());
        QCOMPARE(viewer.closeReason(), QString("wrong-password;retry-after=10"));
        QVERIFY(agentReturns(agent));
        QCOMPARE(agent.peer.id, id);
        VncViewerPeer next(kPassword);
        next.open(server.viewerUrl(id));
        QVERIFY(next.waitForEnd());
        QVERIFY2(next.closeReason().startsWith("locked;retry-after="),
                 qPrintable(next.closeReason()));
        const int wait = next.closeReason().section('=', 1).toInt();
        QVERIFY(wait >= 9 && wait <= 10);
    }

    void otherSecurityTypesAreRefusedWithoutCountingAGuess_data()
    {
        QTest::addColumn<QByteArray>("offered");
        QTest::addColumn<char>("choice");
        QTest::addColumn<bool>("addressPays");
        QTest::newRow("viewer picks None") << QByteArray("\x02\x13\x02", 3) << char(1) << true;
        QTest::newRow("viewer picks VeNCrypt") << QByteArray("\x02\x13\x02", 3) << char(19) << true;
        // The VNC server's doing, not the supporter's.
        QTest::newRow("server offers no VNC authentication")
            << QByteArray("\x01\x13", 2) << char(19) << false;
    }
    // No password response, no guess: the ID stays free for its owner's supporter.
    void otherSecurityTypesAreRefusedWithoutCountingAGuess()
    {
        QFETCH(QByteArray, offered);
        QFETCH(char, choice);
        QFETCH(bool, addressPays);
        ServerThread server(shortLocks());
        VncAgentPeer agent(offered);
        QVERIFY(agent.online(server.agentUrl()));
        VncViewerPeer viewer(kPassword, choice);
        viewer.open(server.viewerUrl(agent.peer.id));
        QVERIFY(viewer.waitForEnd());
        QCOMPARE(viewer.closeCode(), 4415);
        QCOMPARE(viewer.closeReason(), QString("unsupported-security;retry-after=1"));
        // The VNC server got the version and nothing that would pick a type.
        QCOMPARE(agent.received, QByteArray("RFB 003.008\n"));
        QVERIFY(server.waitForLog("no password response id=" + agent.peer.id));
        QCOMPARE(!server.logMatching("the address paid a probe").isEmpty(), addressPays);
        QVERIFY(server.logMatching("attempt refused").isEmpty());
        QCOMPARE(server.stats().lockouts, std::uint64_t(0));
        QCOMPARE(server.stats().refusals.at("unsupported-security"), std::uint64_t(1));
    }

    // Connecting and leaving at the password prompt, again and again, never locks the ID: it
    // costs the address its probes instead, and the owner's supporter gets in at once.
    void leavingAtThePasswordLocksNothing()
    {
        ServerConfig config = shortLocks();
        config.options.trustForwardedFor = true;
        config.options.probes = {3, std::chrono::milliseconds(60000)};
        ServerThread server(config);
        VncAgentPeer agent;
        QVERIFY(agent.online(server.agentUrl()));
        const auto fromAddress = [&](const char *address) {
            QNetworkRequest request(server.viewerUrl(agent.peer.id));
            request.setRawHeader("X-Forwarded-For", address);
            return request;
        };
        int left = 0;
        int refusedForProbes = 0;
        for (int round = 0; round < 11; ++round) {
            VncViewerPeer viewer(kPassword);
            viewer.leaveAtChallenge = true;
            viewer.peer.socket.open(fromAddress("203.0.113.9"));
            QVERIFY(QTest::qWaitFor([&] { return viewer.challenged || viewer.peer.disconnected; },
                                    10000));
            if (viewer.challenged) {
                ++left;
                QVERIFY(agentReturns(agent));
            } else {
                QCOMPARE(viewer.closeReason().section(';', 0, 0), QString("too-many-attempts"));
                ++refusedForProbes;
            }
        }
        QCOMPARE(left, 3);
        QCOMPARE(refusedForProbes, 8);
        QCOMPARE(server.stats().lockouts, std::uint64_t(0));
        QCOMPARE(server.logMatching("the address paid a probe").size(), 3);

        VncViewerPeer owner(kPassword);
        owner.peer.socket.open(fromAddress("198.51.100.4"));
        QVERIFY(QTest::qWaitFor([&] { return owner.loggedIn; }, 10000));
        QCOMPARE(agent.logins, 1);
    }

    // A supporter that takes the greeting and then says nothing holds the ID only until its
    // password deadline; that counts as no guess.
    void silentSupporterIsClosedAtItsDeadline()
    {
        ServerConfig config = shortLocks();
        config.options.passwordTimeout = 300ms;
        ServerThread server(config);
        VncAgentPeer agent;
        QVERIFY(agent.online(server.agentUrl()));
        VncViewerPeer silent(kPassword);
        silent.silentAtChallenge = true;
        QElapsedTimer clock;
        clock.start();
        silent.open(server.viewerUrl(agent.peer.id));
        QVERIFY(silent.waitForEnd());
        QVERIFY(clock.elapsed() >= 300);
        QVERIFY(silent.challenged);
        QCOMPARE(silent.closeCode(), 4402);
        QCOMPARE(silent.closeReason(), QString("password-timeout"));
        QVERIFY(server.waitForLog("no password response id=" + agent.peer.id +
                                  " supporter 127.0.0.1:"));
        QVERIFY(!server.logMatching("no password response within 0.3 s").isEmpty());
        QCOMPARE(server.stats().lockouts, std::uint64_t(0));

        QVERIFY(agentReturns(agent));
        VncViewerPeer next(kPassword);
        next.open(server.viewerUrl(agent.peer.id));
        QVERIFY(QTest::qWaitFor([&] { return next.loggedIn; }, 10000));
    }

    // Leaving between the response and the result does not escape the count.
    void leavingBeforeTheResultCounts()
    {
        ServerThread server(shortLocks());
        VncAgentPeer agent;
        QVERIFY(agent.online(server.agentUrl()));
        VncViewerPeer viewer("0000");
        viewer.leaveAfterResponse = true;
        viewer.open(server.viewerUrl(agent.peer.id));
        QVERIFY(viewer.waitForEnd());
        QVERIFY(agent.peer.waitForDisconnected());
        QVERIFY(server.waitForLog(": closed; 1 refused in a row, id locked for 0.2 s"));
        QCOMPARE(server.stats().handshakes.at("closed"), std::uint64_t(1));
    }

    // Unknown, offline and malformed IDs use up an address's probes; after that every
    // connection from it is refused alike, known ID or not, until a probe is back.
    void unknownIdsAreLimitedPerAddress()
    {
        ServerConfig config = ServerThread::defaultConfig();
        config.options.probes = {3, 1000ms};
        ServerThread server(config);
        VncAgentPeer agent;
        QVERIFY(agent.online(server.agentUrl()));
        const QString unknown = agent.peer.id == "123456789" ? "987654321" : "123456789";
        const QList<QString> asked{unknown, "12345", unknown};
        for (const QString &id : asked) {
            SupporterPeer probe;
            probe.open(server.viewerUrl(id));
            QVERIFY(probe.waitForDisconnected());
            QVERIFY(probe.socket.closeReason() == "unknown-id" ||
                    probe.socket.closeReason() == "invalid-id");
        }
        QElapsedTimer timer;
        timer.start();
        for (const QString &id : {unknown, agent.peer.id}) {
            SupporterPeer refused;
            refused.open(server.viewerUrl(id));
            QVERIFY(refused.waitForDisconnected());
            QCOMPARE(int(refused.socket.closeCode()), 4429);
            QCOMPARE(refused.socket.closeReason(), QString("too-many-attempts;retry-after=1"));
        }
        QCOMPARE(agent.peer.sessionStarts, 0);
        QVERIFY(server.waitForLog(": too-many-attempts (retry after 1 s)"));

        // Another address has its own budget (a proxy's header is not believed by default).
        RawWebSocket claimed;
        QVERIFY(claimed.handshake(server.port(), "/viewer/" + unknown.toLatin1(),
                                  "X-Forwarded-For: 198.51.100.20\r\n"));
        QCOMPARE(CloseFrame::from(claimed.waitForFrame(8).payload).reason,
                 QByteArray("too-many-attempts;retry-after=1"));

        // One probe is back after the interval, and the right password gets in.
        int refused = 0;
        const auto viewer =
            admitted(server, agent.peer.id, kPassword, "too-many-attempts;", refused);
        QVERIFY(viewer && viewer->loggedIn);
        QVERIFY(timer.elapsed() >= 900);
    }

    void forwardedAddressIsTrustedOnlyWhenAsked()
    {
        ServerConfig config = ServerThread::defaultConfig();
        config.options.probes = {1, 60000ms};
        config.options.trustForwardedFor = true;
        ServerThread server(config);
        const auto ask = [&](const QByteArray &from) {
            RawWebSocket probe;
            if (!probe.handshake(server.port(), "/viewer/123456789",
                                 "X-Forwarded-For: " + from + "\r\n"))
                return QByteArray();
            return CloseFrame::from(probe.waitForFrame(8).payload).reason;
        };
        QCOMPARE(ask("203.0.113.1"), QByteArray("unknown-id"));
        QCOMPARE(ask("203.0.113.1"), QByteArray("too-many-attempts;retry-after=60"));
        // The proxy's entry is the last one; what the client put before it does not count.
        QCOMPARE(ask("203.0.113.1, 203.0.113.2"), QByteArray("unknown-id"));
        QCOMPARE(ask("203.0.113.9, 203.0.113.2"), QByteArray("too-many-attempts;retry-after=60"));
        // One IPv6 subscriber, one budget.
        QCOMPARE(ask("2001:db8:5:6::1"), QByteArray("unknown-id"));
        QCOMPARE(ask("2001:db8:5:6::2"), QByteArray("too-many-attempts;retry-after=60"));
    }
};

QTEST_GUILESS_MAIN(TestGuessing)
#include "tst_guessing.moc"
