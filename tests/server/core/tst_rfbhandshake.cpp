// The RFB security handshake follower on bytes alone (RFC 6143 sections 7.1 and 7.2): every
// version, successes, refusals with and without reasons, security types it must not let through,
// early closes, and the same conversations cut at every byte and interleaved in other orders.
#include "server/core/rfbhandshake.h"

#include <QtTest>

#include <string>
#include <vector>

using velmora::server::RfbHandshake;
using Refusal = RfbHandshake::Refusal;
using State = RfbHandshake::State;

enum class Side { Server, Client, Close };

struct Step
{
    Side side;
    std::string bytes;
};
using Script = std::vector<Step>;

Q_DECLARE_METATYPE(Refusal)
Q_DECLARE_METATYPE(State)
Q_DECLARE_METATYPE(Script)

namespace {

struct Outcome
{
    State state = State::Following;
    Refusal refusal = Refusal::None;
    std::string toSupporter;
    std::string toServer;
    std::string reason;

    bool operator==(const Outcome &other) const
    {
        return state == other.state && refusal == other.refusal &&
               toSupporter == other.toSupporter && toServer == other.toServer &&
               reason == other.reason;
    }
};

std::string u32(std::uint32_t value)
{
    return {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

std::string withLength(const std::string &text)
{
    return u32(std::uint32_t(text.size())) + text;
}

const std::string v33 = "RFB 003.003\n";
const std::string v37 = "RFB 003.007\n";
const std::string v38 = "RFB 003.008\n";
const std::string challenge = "0123456789abcdef";
const std::string response = "FEDCBA9876543210";
// What TigerVNC offers by default ("TLSVnc,VncAuth"): VeNCrypt and VNC authentication.
const std::string tigerTypes = std::string("\x02\x13\x02", 3);
const std::string onlyVncAuth = std::string("\x01\x02", 2);
const std::string ok = u32(0);
const std::string failed = u32(1);
const std::string serverInit =
    std::string("\x04\x00\x03\x00", 4) + std::string(16, 'p') + withLength("desktop");
const std::string clientInit = std::string("\x01", 1);

// Feeds a script, each step cut into the chunks `cut` gives; once the password is accepted the
// rest goes past the follower, as the relay does.
template <typename Cut> Outcome run(const Script &script, Cut cut)
{
    RfbHandshake handshake;
    Outcome out;
    for (std::size_t i = 0; i < script.size(); ++i) {
        const Step &step = script[i];
        if (step.side == Side::Close) {
            handshake.closed();
            continue;
        }
        for (const std::string &chunk : cut(i, step.bytes)) {
            if (handshake.succeeded()) {
                (step.side == Side::Server ? out.toSupporter : out.toServer) += chunk;
                continue;
            }
            if (!handshake.following())
                break;
            const RfbHandshake::Forward forward = step.side == Side::Server
                                                      ? handshake.fromServer(chunk)
                                                      : handshake.fromClient(chunk);
            out.toSupporter += forward.toSupporter;
            out.toServer += forward.toServer;
        }
    }
    out.state = handshake.state();
    out.refusal = handshake.refusal();
    out.reason = handshake.serverReason();
    return out;
}

std::vector<std::string> whole(std::size_t, const std::string &bytes)
{
    return {bytes};
}

std::vector<std::string> byteByByte(std::size_t, const std::string &bytes)
{
    std::vector<std::string> chunks;
    for (const char c : bytes)
        chunks.emplace_back(1, c);
    return chunks;
}

// The steps reordered so that one side's bytes all come before the other's (closes stay last):
// the follower must not care how the two directions interleave.
Script sidesInOrder(const Script &script, Side first)
{
    Script reordered;
    for (const Side side :
         {first, first == Side::Server ? Side::Client : Side::Server, Side::Close})
        for (const Step &step : script)
            if (step.side == side)
                reordered.push_back(step);
    return reordered;
}

QString show(const std::string &bytes)
{
    return QString::fromLatin1(QByteArray::fromStdString(bytes).toHex(' '));
}

} // namespace

class TestRfbHandshake : public QObject
{
    Q_OBJECT

private slots:
    void conversations_data()
    {
        QTest::addColumn<Script>("script");
        QTest::addColumn<State>("state");
        QTest::addColumn<Refusal>("refusal");
        QTest::addColumn<QByteArray>("toSupporter");
        QTest::addColumn<QByteArray>("toServer");
        QTest::addColumn<QByteArray>("reason");
        const auto bytes = [](const std::string &text) { return QByteArray::fromStdString(text); };
        const std::string authFailed = "Authentication failed";
        const std::string blacklisted = "Too many security failures";

        // Successes: the type list reaches the client reduced to VNC authentication, and what
        // follows the result passes untouched.
        QTest::newRow("3.8 accepted, TigerVNC's types")
            << Script{{Side::Server, v38},        {Side::Client, v38},
                      {Side::Server, tigerTypes}, {Side::Client, "\x02"},
                      {Side::Server, challenge},  {Side::Client, response},
                      {Side::Server, ok},         {Side::Client, clientInit},
                      {Side::Server, serverInit}}
            << State::Succeeded << Refusal::None
            << bytes(v38 + onlyVncAuth + challenge + ok + serverInit)
            << bytes(v38 + "\x02" + response + clientInit) << QByteArray();
        QTest::newRow("3.7 accepted")
            << Script{{Side::Server, v38},
                      {Side::Client, v37},
                      {Side::Server, onlyVncAuth},
                      {Side::Client, "\x02"},
                      {Side::Server, challenge},
                      {Side::Client, response},
                      {Side::Server, ok + serverInit},
                      {Side::Client, clientInit}}
            << State::Succeeded << Refusal::None
            << bytes(v38 + onlyVncAuth + challenge + ok + serverInit)
            << bytes(v37 + "\x02" + response + clientInit) << QByteArray();
        QTest::newRow("3.3 accepted")
            << Script{{Side::Server, v38},        {Side::Client, v33},       {Side::Server, u32(2)},
                      {Side::Server, challenge},  {Side::Client, response},  {Side::Server, ok},
                      {Side::Client, clientInit}, {Side::Server, serverInit}}
            << State::Succeeded << Refusal::None
            << bytes(v38 + u32(2) + challenge + ok + serverInit)
            << bytes(v33 + response + clientInit) << QByteArray();
        QTest::newRow("3.3 server, 3.3 client")
            << Script{{Side::Server, v33},
                      {Side::Client, v33},
                      {Side::Server, u32(2) + challenge},
                      {Side::Client, response},
                      {Side::Server, ok}}
            << State::Succeeded << Refusal::None << bytes(v33 + u32(2) + challenge + ok)
            << bytes(v33 + response) << QByteArray();

        // Refused passwords: the failure result, and in 3.8 its reason, still reach the client.
        QTest::newRow("3.8 wrong password")
            << Script{{Side::Server, v38},
                      {Side::Client, v38},
                      {Side::Server, tigerTypes},
                      {Side::Client, "\x02"},
                      {Side::Server, challenge},
                      {Side::Client, response},
                      {Side::Server, failed + withLength(authFailed)}}
            << State::Refused << Refusal::WrongPassword
            << bytes(v38 + onlyVncAuth + challenge + failed + withLength(authFailed))
            << bytes(v38 + "\x02" + response) << bytes(authFailed);
        QTest::newRow("3.7 wrong password")
            << Script{{Side::Server, v38},         {Side::Client, v37},
                      {Side::Server, onlyVncAuth}, {Side::Client, "\x02"},
                      {Side::Server, challenge},   {Side::Client, response},
                      {Side::Server, failed}}
            << State::Refused << Refusal::WrongPassword
            << bytes(v38 + onlyVncAuth + challenge + failed) << bytes(v37 + "\x02" + response)
            << QByteArray();
        QTest::newRow("3.3 wrong password")
            << Script{{Side::Server, v38},       {Side::Client, v33},      {Side::Server, u32(2)},
                      {Side::Server, challenge}, {Side::Client, response}, {Side::Server, u32(2)}}
            << State::Refused << Refusal::WrongPassword << bytes(v38 + u32(2) + challenge + u32(2))
            << bytes(v33 + response) << QByteArray();

        // The server refuses before any password, with its reason (TigerVNC's blacklist answers
        // with 3.3 and type 0).
        QTest::newRow("3.8 no security types")
            << Script{{Side::Server, v38},
                      {Side::Client, v38},
                      {Side::Server, std::string(1, '\0') + withLength(blacklisted)}}
            << State::Refused << Refusal::ServerFailure
            << bytes(v38 + std::string(1, '\0') + withLength(blacklisted)) << bytes(v38)
            << bytes(blacklisted);
        QTest::newRow("3.3 type 0, blacklisted")
            << Script{{Side::Server, v33},
                      {Side::Client, v33},
                      {Side::Server, u32(0) + withLength(blacklisted)}}
            << State::Refused << Refusal::ServerFailure
            << bytes(v33 + u32(0) + withLength(blacklisted)) << bytes(v33) << bytes(blacklisted);
        QTest::newRow("empty reason")
            << Script{{Side::Server, v38},
                      {Side::Client, v38},
                      {Side::Server, std::string(1, '\0') + u32(0)}}
            << State::Refused << Refusal::ServerFailure
            << bytes(v38 + std::string(1, '\0') + u32(0)) << bytes(v38) << QByteArray();

        // Security types whose outcome the follower cannot see never reach the other side.
        QTest::newRow("server offers only None")
            << Script{{Side::Server, v38}, {Side::Client, v38}, {Side::Server, "\x01\x01"}}
            << State::Refused << Refusal::NoVncAuth << bytes(v38) << bytes(v38) << QByteArray();
        QTest::newRow("server offers only VeNCrypt")
            << Script{{Side::Server, v38}, {Side::Client, v38}, {Side::Server, "\x01\x13"}}
            << State::Refused << Refusal::NoVncAuth << bytes(v38) << bytes(v38) << QByteArray();
        QTest::newRow("3.3 server chooses None")
            << Script{{Side::Server, v38},
                      {Side::Client, v33},
                      {Side::Server, u32(1)},
                      {Side::Client, clientInit}}
            << State::Refused << Refusal::NoVncAuth << bytes(v38) << bytes(v33) << QByteArray();
        QTest::newRow("client chooses None")
            << Script{{Side::Server, v38},
                      {Side::Client, v38},
                      {Side::Server, tigerTypes},
                      {Side::Client, "\x01"},
                      {Side::Client, clientInit}}
            << State::Refused << Refusal::UnsupportedType << bytes(v38 + onlyVncAuth) << bytes(v38)
            << QByteArray();
        QTest::newRow("client chooses VeNCrypt")
            << Script{{Side::Server, v38},
                      {Side::Client, v38},
                      {Side::Server, tigerTypes},
                      {Side::Client, "\x13\x00\x02"}}
            << State::Refused << Refusal::UnsupportedType << bytes(v38 + onlyVncAuth) << bytes(v38)
            << QByteArray();

        // Versions.
        for (const char *version : {"RFB 003.889\n", "RFB 003.005\n", "RFB 004.001\n",
                                    "RFB 003.08\n\n", "rfb 003.008\n"}) {
            QTest::addRow("client version %s", QByteArray(version).trimmed().constData())
                << Script{{Side::Server, v38}, {Side::Client, version}} << State::Refused
                << Refusal::UnsupportedVersion << bytes(v38) << QByteArray() << QByteArray();
        }
        QTest::newRow("client version above the server's")
            << Script{{Side::Server, v37}, {Side::Client, v38}} << State::Refused
            << Refusal::UnsupportedVersion << bytes(v37) << QByteArray() << QByteArray();
        QTest::newRow("server 3.889 (Apple), client 3.8")
            << Script{{Side::Server, "RFB 003.889\n"},
                      {Side::Client, v38},
                      {Side::Server, onlyVncAuth},
                      {Side::Client, "\x02"},
                      {Side::Server, challenge},
                      {Side::Client, response},
                      {Side::Server, ok}}
            << State::Succeeded << Refusal::None
            << bytes("RFB 003.889\n" + onlyVncAuth + challenge + ok)
            << bytes(v38 + "\x02" + response) << QByteArray();
        QTest::newRow("server speaks no RFB")
            << Script{{Side::Server, "SSH-2.0-OpenSSH_9.2\r\n"}, {Side::Client, v38}}
            << State::Refused << Refusal::Malformed << QByteArray() << QByteArray() << QByteArray();
        QTest::newRow("server version 4")
            << Script{{Side::Server, "RFB 004.000\n"}} << State::Refused << Refusal::Malformed
            << QByteArray() << QByteArray() << QByteArray();

        // Closed before the result, by either side, at any point.
        QTest::newRow("closed before anything")
            << Script{{Side::Close, {}}} << State::Refused << Refusal::Closed << QByteArray()
            << QByteArray() << QByteArray();
        QTest::newRow("closed at the challenge")
            << Script{{Side::Server, v38},    {Side::Client, v38},       {Side::Server, tigerTypes},
                      {Side::Client, "\x02"}, {Side::Server, challenge}, {Side::Close, {}}}
            << State::Refused << Refusal::Closed << bytes(v38 + onlyVncAuth + challenge)
            << bytes(v38 + "\x02") << QByteArray();
        QTest::newRow("closed after the response")
            << Script{{Side::Server, v38},    {Side::Client, v38},       {Side::Server, tigerTypes},
                      {Side::Client, "\x02"}, {Side::Server, challenge}, {Side::Client, response},
                      {Side::Close, {}}}
            << State::Refused << Refusal::Closed << bytes(v38 + onlyVncAuth + challenge)
            << bytes(v38 + "\x02" + response) << QByteArray();
        QTest::newRow("closed within the result")
            << Script{{Side::Server, v38},
                      {Side::Client, v38},
                      {Side::Server, tigerTypes},
                      {Side::Client, "\x02"},
                      {Side::Server, challenge},
                      {Side::Client, response},
                      {Side::Server, std::string(3, '\0')},
                      {Side::Close, {}}}
            << State::Refused << Refusal::Closed << bytes(v38 + onlyVncAuth + challenge)
            << bytes(v38 + "\x02" + response) << QByteArray();
        QTest::newRow("closed after success")
            << Script{{Side::Server, v33},
                      {Side::Client, v33},
                      {Side::Server, u32(2) + challenge},
                      {Side::Client, response},
                      {Side::Server, ok},
                      {Side::Close, {}}}
            << State::Succeeded << Refusal::None << bytes(v33 + u32(2) + challenge + ok)
            << bytes(v33 + response) << QByteArray();
    }

    // The same outcome and the same bytes passed on whether each message comes whole, byte by
    // byte, cut at any one byte, or with one direction entirely ahead of the other.
    void conversations()
    {
        QFETCH(Script, script);
        QFETCH(State, state);
        QFETCH(Refusal, refusal);
        QFETCH(QByteArray, toSupporter);
        QFETCH(QByteArray, toServer);
        QFETCH(QByteArray, reason);
        const Outcome expected{state, refusal, toSupporter.toStdString(), toServer.toStdString(),
                               reason.toStdString()};

        const Outcome once = run(script, whole);
        QCOMPARE(once.state, expected.state);
        QCOMPARE(once.refusal, expected.refusal);
        QCOMPARE(show(once.toSupporter), show(expected.toSupporter));
        QCOMPARE(show(once.toServer), show(expected.toServer));
        QCOMPARE(once.reason, expected.reason);

        QVERIFY(run(script, byteByByte) == expected);
        for (std::size_t step = 0; step < script.size(); ++step) {
            for (std::size_t at = 1; at < script[step].bytes.size(); ++at) {
                const auto cutOnce = [&](std::size_t i, const std::string &bytes) {
                    if (i != step)
                        return std::vector<std::string>{bytes};
                    return std::vector<std::string>{bytes.substr(0, at), bytes.substr(at)};
                };
                QVERIFY2(run(script, cutOnce) == expected,
                         qPrintable(QString("step %1 cut at %2").arg(step).arg(at)));
            }
        }
        QVERIFY(run(sidesInOrder(script, Side::Client), whole) == expected);
        QVERIFY(run(sidesInOrder(script, Side::Server), byteByByte) == expected);
    }

    // A client that sends its whole side at once, before the server has said anything, gets
    // each part passed on only when the server's side has come to it.
    void pipelinedClientIsMetered()
    {
        RfbHandshake handshake;
        auto forward = handshake.fromClient(v38 + "\x02" + response + clientInit);
        QVERIFY(forward.toServer.empty());
        forward = handshake.fromServer(v38);
        QCOMPARE(forward.toSupporter, v38);
        QCOMPARE(forward.toServer, v38);
        forward = handshake.fromServer(tigerTypes);
        QCOMPARE(forward.toSupporter, onlyVncAuth);
        QCOMPARE(forward.toServer, std::string("\x02"));
        forward = handshake.fromServer(challenge);
        QCOMPARE(forward.toSupporter, challenge);
        QCOMPARE(forward.toServer, response);
        QVERIFY(handshake.following());
        forward = handshake.fromServer(ok);
        QVERIFY(handshake.succeeded());
        QCOMPARE(forward.toSupporter, ok);
        // ClientInit waited for the result.
        QCOMPARE(forward.toServer, clientInit);
        QCOMPARE(handshake.minorVersion(), 8);
    }

    void holdingTooMuchIsMalformed()
    {
        RfbHandshake handshake;
        handshake.fromClient(std::string(RfbHandshake::kHoldLimit, 'x'));
        QVERIFY(handshake.following());
        handshake.fromClient("x");
        QCOMPARE(handshake.state(), State::Refused);
        QCOMPARE(handshake.refusal(), Refusal::Malformed);
        // Nothing more is taken once refused.
        const auto forward = handshake.fromServer(v38);
        QVERIFY(forward.toSupporter.empty() && forward.toServer.empty());
    }

    // A long reason is streamed on, not held, and only its start is kept for the log.
    void longReasonIsStreamed()
    {
        RfbHandshake handshake;
        handshake.fromServer(v38);
        handshake.fromClient(v38);
        handshake.fromServer(std::string(1, '\0') + u32(1000000));
        std::size_t passed = 0;
        for (int i = 0; i < 100; ++i)
            passed += handshake.fromServer(std::string(10000, 'r')).toSupporter.size();
        QCOMPARE(passed, std::size_t(1000000));
        QCOMPARE(handshake.refusal(), Refusal::ServerFailure);
        QCOMPARE(handshake.serverReason(), std::string(256, 'r'));
    }

    void passThroughOnlyBeforeAnyByte()
    {
        RfbHandshake fresh;
        fresh.passThrough();
        QVERIFY(fresh.succeeded());
        RfbHandshake started;
        started.fromServer("RFB");
        started.passThrough();
        QVERIFY(started.following());
    }

    void namesForTheLog()
    {
        QCOMPARE(describe(Refusal::WrongPassword), "wrong-password");
        QCOMPARE(describe(Refusal::UnsupportedType), "unsupported-type");
        QCOMPARE(describe(Refusal::Closed), "closed");
    }
};

QTEST_GUILESS_MAIN(TestRfbHandshake)
#include "tst_rfbhandshake.moc"
