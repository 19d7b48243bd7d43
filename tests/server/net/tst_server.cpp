// The rendezvous server in-process against real Qt WebSocket peers and raw TCP clients: IDs and
// tokens over the wire, refusals, the relay, the end of sessions, keepalive, limits, bad input,
// backpressure and shutdown.
#include "agentpeer.h"
#include "rawwebsocket.h"
#include "serverthread.h"
#include "supporterpeer.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

#include <memory>

using velmora::server::ServerConfig;

namespace {

std::unique_ptr<AgentPeer> onlineAgent(const ServerThread &server,
                                       AgentPeer::Mode mode = AgentPeer::Mode::Echo,
                                       const QString &token = QString())
{
    auto agent = std::make_unique<AgentPeer>(mode);
    agent->open(server.agentUrl(), token);
    if (!agent->waitForId())
        return nullptr;
    return agent;
}

QByteArray randomBytes(int size, QRandomGenerator &random)
{
    QByteArray bytes(size, '\0');
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

// Sends a raw HTTP request and returns what came back until the server closed or the head of a
// response was complete.
QByteArray rawRequest(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write(request);
    QByteArray answer;
    const bool complete = QTest::qWaitFor(
        [&] {
            answer += socket.readAll();
            return answer.contains("\r\n\r\n") ||
                   socket.state() == QAbstractSocket::UnconnectedState;
        },
        10000);
    Q_UNUSED(complete);
    return answer;
}

// For tests of the relay itself, whose peers exchange arbitrary bytes rather than RFB: no
// security handshake to follow, and so no attempts counted.
ServerConfig relayOnly(ServerConfig config = ServerThread::defaultConfig())
{
    config.followSecurityHandshake = false;
    return config;
}

ServerConfig quickConfig()
{
    ServerConfig config = ServerThread::defaultConfig();
    config.options.idleTimeout = std::chrono::milliseconds(500);
    config.options.startTimeout = std::chrono::milliseconds(500);
    return config;
}

} // namespace

class TestServer : public QObject
{
    Q_OBJECT

private slots:
    void agentGetsIdAndTokenAtOnce()
    {
        ServerThread server;
        auto agent = onlineAgent(server);
        QVERIFY(agent);
        QVERIFY(QRegularExpression("^[1-9][0-9]{8}$").match(agent->id).hasMatch());
        QVERIFY(agent->token.startsWith(agent->id + "-"));
        // Exactly the envelope the agent understands: compact, members in name order.
        QCOMPARE(agent->messages.first(),
                 QByteArray("{\"action\":\"connection_info\",\"api_version\":\"110\",\"id\":\"") +
                     agent->id.toLatin1() + "\",\"session_token\":\"" + agent->token.toLatin1() +
                     "\"}");
        QVERIFY(server.waitForLog("agent online id=" + agent->id + " from 127.0.0.1:"));
        QTRY_COMPARE(server.stats().agentsOnline, std::uint64_t(1));
    }

    void agentsGetDistinctIds()
    {
        ServerThread server;
        std::vector<std::unique_ptr<AgentPeer>> agents;
        QSet<QString> ids;
        for (int i = 0; i < 20; ++i) {
            agents.push_back(onlineAgent(server));
            QVERIFY(agents.back());
            ids.insert(agents.back()->id);
        }
        QCOMPARE(ids.size(), 20);
    }

    void reconnectWithTokenKeepsTheId()
    {
        ServerThread server;
        auto agent = onlineAgent(server);
        QVERIFY(agent);
        const QString id = agent->id;
        const QString token = agent->token;
        agent->socket.close();
        QVERIFY(server.waitForLog("agent offline id=" + id));
        agent->reconnect();
        QVERIFY(agent->waitForId());
        QCOMPARE(agent->id, id);
        QCOMPARE(agent->token, token);
        QVERIFY(server.waitForLog("agent online id=" + id + " from 127.0.0.1:"));
        QVERIFY(!server.logMatching("(returning)").isEmpty());
    }

    void tokenOutlivesARestartWithTheSameSecret()
    {
        QString id;
        QString token;
        {
            ServerThread server;
            auto agent = onlineAgent(server);
            QVERIFY(agent);
            id = agent->id;
            token = agent->token;
        }
        ServerThread restarted;
        auto agent = onlineAgent(restarted, AgentPeer::Mode::Echo, token);
        QVERIFY(agent);
        QCOMPARE(agent->id, id);
    }

    void badTokensGetAFreshId_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("other secret") << "foreign";
        QTest::newRow("altered MAC") << "mac";
        QTest::newRow("altered ID") << "id";
        QTest::newRow("truncated") << "truncated";
        QTest::newRow("garbage") << "garbage";
    }
    void badTokensGetAFreshId()
    {
        QFETCH(QString, kind);
        QString id;
        QString token;
        {
            ServerConfig other = ServerThread::defaultConfig();
            if (kind == "foreign")
                other.secret = "another secret of the same length";
            ServerThread issuing(other);
            auto agent = onlineAgent(issuing);
            QVERIFY(agent);
            id = agent->id;
            token = agent->token;
        }
        QString presented = token;
        if (kind == "mac")
            presented[presented.size() - 1] = presented.endsWith('0') ? '1' : '0';
        else if (kind == "id")
            presented[8] = presented[8] == '1' ? '2' : '1';
        else if (kind == "truncated")
            presented.chop(10);
        else if (kind == "garbage")
            presented = "x; \"\\ not a token";
        ServerThread server;
        auto agent = onlineAgent(server, AgentPeer::Mode::Echo, presented);
        QVERIFY(agent);
        QVERIFY(agent->id != id);
        QVERIFY(agent->token != presented);
        QVERIFY(server.waitForLog("agent online id=" + agent->id));
        QVERIFY(!server.logMatching("invalid session token").isEmpty());
    }

    void supporterRefusals_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("reason");
        QTest::newRow("unknown ID") << "unknown" << 4404 << "unknown-id";
        QTest::newRow("malformed ID") << "malformed" << 4400 << "invalid-id";
        QTest::newRow("agent offline") << "offline" << 4410 << "offline;retry-after=5";
        QTest::newRow("agent busy") << "busy" << 4409 << "busy";
    }
    void supporterRefusals()
    {
        QFETCH(QString, situation);
        QFETCH(int, code);
        QFETCH(QString, reason);
        ServerThread server(relayOnly());
        auto agent = onlineAgent(server);
        QVERIFY(agent);
        SupporterPeer first;
        QString id = agent->id;
        if (situation == "unknown") {
            id = id == "123456789" ? "987654321" : "123456789";
        } else if (situation == "malformed") {
            id = "12345abc";
        } else if (situation == "offline") {
            agent->socket.close();
            QVERIFY(server.waitForLog("agent offline id=" + id));
        } else {
            first.open(server.viewerUrl(id));
            QVERIFY(first.waitForMessages(1));
        }
        SupporterPeer supporter;
        supporter.open(server.viewerUrl(id));
        QVERIFY(supporter.waitForDisconnected());
        QCOMPARE(int(supporter.socket.closeCode()), code);
        QCOMPARE(supporter.socket.closeReason(), reason);
        QVERIFY(server.waitForLog("refused supporter 127.0.0.1:"));
        QVERIFY(!server.logMatching(": " + reason.section(';', 0, 0)).isEmpty());
        QVERIFY(supporter.messages.isEmpty());
        if (situation == "busy") {
            // The running session is not disturbed.
            first.socket.sendBinaryMessage("still here");
            QVERIFY(first.waitForMessages(2));
            QCOMPARE(first.messages.last(), QByteArray("still here"));
        }
    }

    void relayIsByteExactBothWays()
    {
        ServerThread server(relayOnly());
        auto agent = onlineAgent(server, AgentPeer::Mode::Echo);
        QVERIFY(agent);
        SupporterPeer supporter;
        supporter.open(server.viewerUrl(agent->id));
        QVERIFY(supporter.waitForMessages(1));
        QCOMPARE(supporter.messages.first(), agent->greeting);
        QVERIFY(server.waitForLog("session start id=" + agent->id + " supporter 127.0.0.1:"));

        QRandomGenerator random(7);
        QList<QByteArray> sent;
        qint64 total = 0;
        for (int i = 0; i < 150; ++i) {
            // Every size class: empty, tiny, Base64 padding cases, large.
            const int size = i == 0 ? 0 : i < 10 ? i : int(random.bounded(1, 80000));
            sent.append(randomBytes(size, random));
            total += size;
            supporter.socket.sendBinaryMessage(sent.last());
        }
        QVERIFY(supporter.waitForMessages(1 + sent.size()));
        QCOMPARE(supporter.messages.size(), 1 + sent.size());
        for (int i = 0; i < sent.size(); ++i)
            QCOMPARE(supporter.messages[i + 1], sent[i]);
        QCOMPARE(agent->payloads, sent);

        // One direction in bulk: the desktop's updates, in big frames.
        const int before = supporter.messages.size();
        QList<QByteArray> updates;
        for (int i = 0; i < 24; ++i) {
            updates.append(randomBytes(256 * 1024 + i, random));
            agent->sendRfb(updates.last());
        }
        QVERIFY(supporter.waitForMessages(before + updates.size()));
        QCOMPARE(supporter.messages.mid(before), updates);

        supporter.socket.close();
        QVERIFY(server.waitForLog("session end id=" + agent->id));
        qint64 toSupporter = agent->greeting.size() + total;
        for (const QByteArray &update : updates)
            toSupporter += update.size();
        const QString end = server.logMatching("session end id=" + agent->id).first();
        QVERIFY2(end.contains(QString("%1 bytes to the agent, %2 bytes to the supporter")
                                  .arg(total)
                                  .arg(toSupporter)),
                 qPrintable(end));
        QVERIFY(end.contains("the supporter left"));
    }

    void supporterBytesWaitForTheAgentsFirstFrame()
    {
        ServerThread server(relayOnly());
        auto agent = onlineAgent(server, AgentPeer::Mode::Manual);
        QVERIFY(agent);
        SupporterPeer supporter;
        supporter.open(server.viewerUrl(agent->id));
        QVERIFY(supporter.waitForConnected());
        supporter.socket.sendBinaryMessage("early one");
        supporter.socket.sendBinaryMessage("early two");
        // A pong proves the server has read both messages; one on the agent's socket proves that
        // anything sent to it before has arrived.
        QSignalSpy supporterPong(&supporter.socket, &QWebSocket::pong);
        supporter.socket.ping();
        QVERIFY(supporterPong.wait());
        QTRY_COMPARE(agent->sessionStarts, 1);
        QSignalSpy agentPong(&agent->socket, &QWebSocket::pong);
        agent->socket.ping();
        QVERIFY(agentPong.wait());
        QVERIFY(agent->payloads.isEmpty());

        agent->sendRfb("RFB 003.008\n");
        QTRY_COMPARE(agent->payloads.size(), 2);
        QCOMPARE(agent->payloads[0], QByteArray("early one"));
        QCOMPARE(agent->payloads[1], QByteArray("early two"));
        QVERIFY(supporter.waitForMessages(1));
        QCOMPARE(supporter.messages.first(), QByteArray("RFB 003.008\n"));
    }

    void supporterLeavingEndsTheSessionAndFreesTheAgent()
    {
        ServerThread server(relayOnly());
        auto agent = onlineAgent(server);
        QVERIFY(agent);
        const QString id = agent->id;
        SupporterPeer supporter;
        supporter.open(server.viewerUrl(id));
        QVERIFY(supporter.waitForMessages(1));
        const int before = agent->disconnections;
        supporter.socket.close();
        QTRY_VERIFY(agent->disconnections > before);
        QCOMPARE(int(agent->socket.closeCode()), 1000);
        QVERIFY(server.waitForLog("session end id=" + id));
        QVERIFY(server.waitForLog("agent offline id=" + id));
        QVERIFY(!server.logMatching("(its session ended)").isEmpty());

        // The agent comes back with its token, keeps its ID and takes the next session.
        agent->reconnect();
        QVERIFY(agent->waitForId());
        QCOMPARE(agent->id, id);
        SupporterPeer next;
        next.open(server.viewerUrl(id));
        QVERIFY(next.waitForMessages(1));
        QCOMPARE(agent->sessionStarts, 2);
    }

    void agentLeavingClosesTheSupporter()
    {
        ServerThread server;
        auto agent = onlineAgent(server);
        QVERIFY(agent);
        SupporterPeer supporter;
        supporter.open(server.viewerUrl(agent->id));
        QVERIFY(supporter.waitForMessages(1));
        agent->socket.abort();
        QVERIFY(supporter.waitForDisconnected());
        QCOMPARE(int(supporter.socket.closeCode()), 4000);
        QCOMPARE(supporter.socket.closeReason(), QString("agent-gone"));
        QVERIFY(server.waitForLog("session end id=" + agent->id));
        QVERIFY(!server.logMatching("(the agent left)").isEmpty());
        QTRY_COMPARE(server.stats().agentsOnline, std::uint64_t(0));
        QTRY_COMPARE(server.stats().sessionsActive, std::uint64_t(0));
    }

    void agentThatNeverAnswersTheStartIsGivenUp()
    {
        ServerThread server(quickConfig());
        auto agent = onlineAgent(server, AgentPeer::Mode::Manual);
        QVERIFY(agent);
        const int before = agent->disconnections;
        SupporterPeer supporter;
        supporter.open(server.viewerUrl(agent->id));
        QVERIFY(supporter.waitForDisconnected());
        QCOMPARE(int(supporter.socket.closeCode()), 4408);
        // The agent's slowness is no guess: the ID is not locked, and the supporter is told to
        // come back when the agent usually has.
        QCOMPARE(supporter.socket.closeReason(), QString("agent-timeout;retry-after=5"));
        QTRY_VERIFY(agent->disconnections > before);
        QCOMPARE(int(agent->socket.closeCode()), 1000);
        QVERIFY(server.waitForLog("the agent did not answer within"));
        QVERIFY(server.waitForLog("no password response id=" + agent->id));
        QCOMPARE(server.stats().lockouts, std::uint64_t(0));
    }

    void keepaliveDropsAnAgentThatStopsAnswering()
    {
        ServerThread server(quickConfig());
        auto healthy = onlineAgent(server, AgentPeer::Mode::Echo);
        QVERIFY(healthy);

        RawWebSocket silent;
        QVERIFY(silent.handshake(server.port(), "/", "Cookie: VELMORA-SESSION-TOKEN=\r\n"));
        QVERIFY(silent.upgraded());
        silent.stopReading();
        const QString from = QString("from 127.0.0.1:%1 ").arg(silent.socket.localPort());
        QVERIFY(server.waitForLog(from));
        const QString online = server.logMatching(from).first();
        const QString id = online.section("id=", 1).section(' ', 0, 0);
        QVERIFY(
            server.waitForLog("agent offline id=" + id + " " + from.trimmed() + " (timed out)"));

        // The agent that answers pings was kept all along.
        QVERIFY(server.logMatching("agent offline id=" + healthy->id).isEmpty());
        SupporterPeer supporter;
        supporter.open(server.viewerUrl(healthy->id));
        QVERIFY(supporter.waitForMessages(1));
    }

    void oversizedMessagesCloseTheSender()
    {
        ServerConfig config = relayOnly();
        config.options.maxMessage = 64 * 1024;
        ServerThread server(config);
        auto agent = onlineAgent(server, AgentPeer::Mode::Echo);
        QVERIFY(agent);
        SupporterPeer supporter;
        supporter.open(server.viewerUrl(agent->id));
        QVERIFY(supporter.waitForMessages(1));
        // At the limit still passes.
        supporter.socket.sendBinaryMessage(QByteArray(64 * 1024, 'a'));
        QVERIFY(supporter.waitForMessages(2));
        QCOMPARE(supporter.messages.last().size(), 64 * 1024);
        supporter.socket.sendBinaryMessage(QByteArray(64 * 1024 + 1, 'a'));
        QVERIFY(supporter.waitForDisconnected());
        QCOMPARE(int(supporter.socket.closeCode()), 1009);

        // An agent's envelope may carry a frame of the limit, not much more.
        auto big = onlineAgent(server, AgentPeer::Mode::Manual);
        QVERIFY(big);
        const int before = big->disconnections;
        big->sendRfb(QByteArray(200 * 1024, 'b'));
        QTRY_VERIFY(big->disconnections > before);
        QCOMPARE(int(big->socket.closeCode()), 1009);
        QVERIFY(server.waitForLog("agent offline id=" + big->id));
    }

    void badAgentMessagesAreDroppedAndLogged_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<bool>("text");
        QTest::addColumn<QString>("logged");
        QTest::newRow("not JSON") << QByteArray("hello") << false << "not JSON";
        QTest::newRow("empty") << QByteArray() << false << "not JSON";
        QTest::newRow("wrong version")
            << QByteArray("{\"action\":\"rfb\",\"api_version\":\"111\",\"payload\":\"\"}") << false
            << "missing or wrong api_version";
        QTest::newRow("no action")
            << QByteArray("{\"api_version\":\"110\"}") << false << "missing action";
        QTest::newRow("other action")
            << QByteArray("{\"action\":\"start_session\",\"api_version\":\"110\"}") << false
            << "unexpected action 'start_session'";
        QTest::newRow("no payload") << QByteArray("{\"action\":\"rfb\",\"api_version\":\"110\"}")
                                    << false << "missing payload";
        QTest::newRow("text frame")
            << QByteArray("{\"action\":\"rfb\",\"api_version\":\"110\",\"payload\":\"\"}") << true
            << "text frame";
        QTest::newRow("rfb without a session")
            << QByteArray("{\"action\":\"rfb\",\"api_version\":\"110\",\"payload\":\"QUJD\"}")
            << false << "rfb outside a session";
    }
    void badAgentMessagesAreDroppedAndLogged()
    {
        QFETCH(QByteArray, message);
        QFETCH(bool, text);
        QFETCH(QString, logged);
        ServerThread server(relayOnly());
        auto agent = onlineAgent(server, AgentPeer::Mode::Echo);
        QVERIFY(agent);
        if (text)
            agent->socket.sendTextMessage(QString::fromUtf8(message));
        else
            agent->socket.sendBinaryMessage(message);
        QVERIFY(server.waitForLog("dropped a message from agent id=" + agent->id + ": " + logged));
        // The agent stays online and serves a session.
        SupporterPeer supporter;
        supporter.open(server.viewerUrl(agent->id));
        QVERIFY(supporter.waitForMessages(1));
        supporter.socket.sendBinaryMessage("ping");
        QVERIFY(supporter.waitForMessages(2));
        QCOMPARE(agent->disconnections, 0);
    }

    void floodOfBadMessagesIsLoggedOnlyAFewTimes()
    {
        ServerThread server;
        auto agent = onlineAgent(server, AgentPeer::Mode::Echo);
        QVERIFY(agent);
        for (int i = 0; i < 100; ++i)
            agent->socket.sendBinaryMessage("junk");
        QSignalSpy pong(&agent->socket, &QWebSocket::pong);
        agent->socket.ping();
        QVERIFY(pong.wait());
        QVERIFY(server.waitForLog("(further drops are not logged)"));
        QCOMPARE(server.logMatching("dropped a message from agent").size(), 5);
    }

    void supporterTextFramesAreDropped()
    {
        ServerThread server(relayOnly());
        auto agent = onlineAgent(server, AgentPeer::Mode::Echo);
        QVERIFY(agent);
        SupporterPeer supporter;
        supporter.open(server.viewerUrl(agent->id));
        QVERIFY(supporter.waitForMessages(1));
        supporter.socket.sendTextMessage("text");
        supporter.socket.sendBinaryMessage("binary");
        QVERIFY(supporter.waitForMessages(2));
        QCOMPARE(supporter.messages.last(), QByteArray("binary"));
        QCOMPARE(agent->payloads, QList<QByteArray>{"binary"});
        QVERIFY(server.waitForLog("dropped a text message from supporter 127.0.0.1:"));
    }

    void badHttpIsAnsweredAndSurvived_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QString>("logged");
        const QByteArray upgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                                   "Sec-WebSocket-Version: 13\r\n"
                                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
        QTest::newRow("plain GET") << QByteArray("GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n")
                                   << QByteArray("HTTP/1.1 404") << "";
        QTest::newRow("plain GET of a viewer path")
            << QByteArray("GET /viewer/123456789 HTTP/1.1\r\nHost: x\r\n\r\n")
            << QByteArray("HTTP/1.1 404") << "";
        QTest::newRow("not HTTP") << QByteArray("HELLO THERE\r\n\r\n") << QByteArray("HTTP/1.1 400")
                                  << "bad request from 127.0.0.1:";
        QTest::newRow("header too large")
            << "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + QByteArray(20000, 'a') + "\r\n\r\n"
            << QByteArray("HTTP/1.1 400") << "bad request from 127.0.0.1:";
        QTest::newRow("upgrade to an unknown path")
            << "GET /websockify HTTP/1.1\r\nHost: x\r\n" + upgrade + "\r\n"
            << QByteArray("HTTP/1.1 404") << "refused WebSocket upgrade from 127.0.0.1:";
        QTest::newRow("upgrade without key")
            << QByteArray("GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
                          "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n\r\n")
            << QByteArray("HTTP/1.1 400") << "WebSocket handshake with agent 127.0.0.1:";
        QTest::newRow("old WebSocket version")
            << QByteArray("GET /viewer/123456789 HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
                          "Connection: Upgrade\r\nSec-WebSocket-Version: 8\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")
            << QByteArray("HTTP/1.1 426") << "WebSocket handshake with supporter 127.0.0.1:";
    }
    void badHttpIsAnsweredAndSurvived()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, status);
        QFETCH(QString, logged);
        ServerThread server;
        const QByteArray answer = rawRequest(server.port(), request);
        QVERIFY2(answer.startsWith(status), answer.left(200).constData());
        if (!logged.isEmpty())
            QVERIFY(server.waitForLog(logged));
        QVERIFY(onlineAgent(server));
    }

    void plainRequestsGoToTheHttpHandlers()
    {
        ServerConfig config = ServerThread::defaultConfig();
        config.httpHandlers.push_back([](const velmora::server::HttpRequest &request)
                                          -> std::optional<velmora::server::HttpResponse> {
            if (request.path != "/hello")
                return std::nullopt;
            velmora::server::HttpResponse response;
            response.body = "hello " + request.method + " " + request.target;
            return response;
        });
        config.httpHandlers.push_back([](const velmora::server::HttpRequest &request)
                                          -> std::optional<velmora::server::HttpResponse> {
            if (request.path == "/broken")
                throw std::runtime_error("oops");
            return std::nullopt;
        });
        ServerThread server(config);
        const QByteArray hello = rawRequest(
            server.port(), "GET /hello?x=1 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        QVERIFY2(hello.startsWith("HTTP/1.1 200"), hello.constData());
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(socket.waitForConnected());
        socket.write("GET /hello?x=1 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        QByteArray whole;
        QTRY_VERIFY(
            (whole += socket.readAll(), socket.state() == QAbstractSocket::UnconnectedState));
        QVERIFY2(whole.endsWith("hello GET /hello?x=1"), whole.constData());
        QVERIFY(rawRequest(server.port(), "GET /broken HTTP/1.1\r\nHost: x\r\n\r\n")
                    .startsWith("HTTP/1.1 500"));
        QVERIFY(server.waitForLog("HTTP handler failed for /broken: oops"));
        QVERIFY(rawRequest(server.port(), "GET /other HTTP/1.1\r\nHost: x\r\n\r\n")
                    .startsWith("HTTP/1.1 404"));
    }

    void binarySubprotocolIsChosenWhenOffered()
    {
        ServerThread server;
        auto agent = onlineAgent(server, AgentPeer::Mode::Echo);
        QVERIFY(agent);
        RawWebSocket viewer;
        QVERIFY(viewer.handshake(server.port(), "/viewer/" + agent->id.toLatin1(),
                                 "Sec-WebSocket-Protocol: base64, binary\r\n"));
        QVERIFY(viewer.upgraded());
        QVERIFY2(viewer.responseHead.contains("Sec-WebSocket-Protocol: binary\r\n"),
                 viewer.responseHead.constData());
        const RawWebSocket::Frame greeting = viewer.waitForFrame(2);
        QCOMPARE(greeting.payload, agent->greeting);
    }

    // Compression is offered to supporters only when configured, and never to agents.
    void deflateIsOfferedToSupportersWhenConfigured_data()
    {
        QTest::addColumn<int>("level");
        QTest::newRow("default: off") << -1;
        QTest::newRow("level 1") << 1;
    }

    void deflateIsOfferedToSupportersWhenConfigured()
    {
        QFETCH(int, level);
        ServerConfig config = ServerThread::defaultConfig();
        config.options.supporterDeflate = level;
        ServerThread server(config);
        auto agent = onlineAgent(server, AgentPeer::Mode::Echo);
        QVERIFY(agent);
        const QByteArray offer = "Sec-WebSocket-Extensions: permessage-deflate\r\n";
        RawWebSocket viewer;
        QVERIFY(viewer.handshake(server.port(), "/viewer/" + agent->id.toLatin1(), offer));
        QVERIFY(viewer.upgraded());
        QCOMPARE(viewer.responseHead.contains("permessage-deflate"), level >= 0);
        RawWebSocket anotherAgent;
        QVERIFY(anotherAgent.handshake(server.port(), "/", offer));
        QVERIFY(anotherAgent.upgraded());
        QVERIFY(!anotherAgent.responseHead.contains("permessage-deflate"));
    }

    // A supporter that stops reading while the desktop keeps sending: the server stops reading
    // from the agent instead of buffering without bound, and loses nothing.
    void slowSupporterHoldsTheAgentBack()
    {
        ServerConfig config = relayOnly();
        config.highWater = 256 * 1024;
        ServerThread server(config);
        auto agent = onlineAgent(server, AgentPeer::Mode::Manual);
        QVERIFY(agent);
        RawWebSocket viewer;
        QVERIFY(viewer.handshake(server.port(), "/viewer/" + agent->id.toLatin1()));
        QTRY_COMPARE(agent->sessionStarts, 1);
        viewer.stopReading();

        QRandomGenerator random(11);
        constexpr int kFrames = 160;
        constexpr int kFrameSize = 256 * 1024;
        QCryptographicHash sentHash(QCryptographicHash::Sha256);
        for (int i = 0; i < kFrames; ++i) {
            const QByteArray frame = randomBytes(kFrameSize, random);
            sentHash.addData(frame);
            agent->sendRfb(frame);
        }
        QTRY_VERIFY_WITH_TIMEOUT(server.stats().backpressurePauses > 0, 20000);
        QVERIFY(agent->socket.bytesToWrite() > 0);
        const auto queued = server.stats().peakQueuedBytes;
        QVERIFY2(queued <= config.highWater + kFrameSize, qPrintable(QString::number(queued)));

        viewer.resumeReading();
        QTRY_VERIFY_WITH_TIMEOUT(viewer.frames().size() == kFrames, 60000);
        QCryptographicHash receivedHash(QCryptographicHash::Sha256);
        for (const RawWebSocket::Frame &frame : viewer.frames()) {
            QCOMPARE(frame.opcode, 2);
            receivedHash.addData(frame.payload);
        }
        QCOMPARE(receivedHash.result(), sentHash.result());
        QVERIFY(server.stats().peakQueuedBytes <= config.highWater + kFrameSize);
    }

    void shutdownClosesEveryConnection()
    {
        ServerThread server;
        auto agent = onlineAgent(server, AgentPeer::Mode::Echo);
        QVERIFY(agent);
        auto idle = onlineAgent(server, AgentPeer::Mode::Echo);
        QVERIFY(idle);
        SupporterPeer supporter;
        supporter.open(server.viewerUrl(agent->id));
        QVERIFY(supporter.waitForMessages(1));
        server.requestStop();
        QVERIFY(supporter.waitForDisconnected());
        QTRY_VERIFY(idle->disconnections > 0);
        QCOMPARE(int(idle->socket.closeCode()), 1001);
        QCOMPARE(idle->socket.closeReason(), QString("server-shutdown"));
        QCOMPARE(supporter.socket.closeReason(), QString("server-shutdown"));
        server.stop();
        QVERIFY(server.waitForLog("stopped"));
        QVERIFY(server.logMatching("did not close in time").isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestServer)
#include "tst_server.moc"
