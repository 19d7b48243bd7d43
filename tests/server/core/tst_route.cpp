// Routing of requests on the server's port (what a request is, who its client is, an agent's
// token), cookies and subprotocol lists.
#include "server/core/route.h"

#include <QtTest>

using namespace velmora::server;

Q_DECLARE_METATYPE(Route::Kind)

class TestRoute : public QObject
{
    Q_OBJECT

private slots:
    void routes_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("upgrade");
        QTest::addColumn<Route::Kind>("kind");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("path");
        using K = Route::Kind;
        QTest::newRow("agent") << "/" << true << K::Agent << ""
                               << "/";
        QTest::newRow("agent with query") << "/?x=1" << true << K::Agent << ""
                                          << "/";
        QTest::newRow("viewer") << "/viewer/123456789" << true << K::Supporter << "123456789"
                                << "/viewer/123456789";
        QTest::newRow("viewer with query")
            << "/viewer/123456789?token=x" << true << K::Supporter << "123456789"
            << "/viewer/123456789";
        QTest::newRow("viewer, malformed ID kept for the refusal")
            << "/viewer/12ab" << true << K::Supporter << "12ab"
            << "/viewer/12ab";
        QTest::newRow("viewer without ID") << "/viewer/" << true << K::Supporter << ""
                                           << "/viewer/";
        QTest::newRow("viewer prefix only") << "/viewer" << true << K::NotFound << ""
                                            << "/viewer";
        QTest::newRow("other upgrade") << "/websockify" << true << K::NotFound << ""
                                       << "/websockify";
        QTest::newRow("page") << "/" << false << K::Http << ""
                              << "/";
        QTest::newRow("metrics") << "/metrics" << false << K::Http << ""
                                 << "/metrics";
        QTest::newRow("plain GET of a viewer path") << "/viewer/123456789" << false << K::Http << ""
                                                    << "/viewer/123456789";
        QTest::newRow("absolute form") << "http://x/" << true << K::NotFound << ""
                                       << "http://x/";
    }
    void routes()
    {
        QFETCH(QString, target);
        QFETCH(bool, upgrade);
        QFETCH(Route::Kind, kind);
        QFETCH(QString, id);
        QFETCH(QString, path);
        const std::string text = target.toStdString();
        RequestHead head;
        head.target = text;
        head.webSocketUpgrade = upgrade;
        head.peer = "192.0.2.1";
        const Route route = routeRequest(head, RoutePolicy{});
        QCOMPARE(route.kind, kind);
        QCOMPARE(QString::fromStdString(route.id), id);
        QCOMPARE(QString::fromStdString(route.path), path);
        const bool connection = kind == Route::Kind::Agent || kind == Route::Kind::Supporter;
        QCOMPARE(QString::fromStdString(route.client), connection ? "192.0.2.1" : "");
    }

    // Who an agent or a supporter counts as: its peer, the proxy's last X-Forwarded-For entry
    // when trusted, or the address another node signed for a supporter it carries here.
    void clients_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QStringList>("forwardedFor");
        QTest::addColumn<bool>("trustForwardedFor");
        QTest::addColumn<QString>("carriedClient");
        QTest::addColumn<QString>("signature");
        QTest::addColumn<QString>("client");
        QTest::addColumn<bool>("carried");
        const QString viewer = "/viewer/123456789";
        const QStringList none;
        QTest::newRow("peer") << viewer << "192.0.2.1" << none << false << ""
                              << ""
                              << "192.0.2.1" << false;
        QTest::newRow("IPv6 peer by its /64") << "/"
                                              << "2001:db8:1:2:3:4:5:6" << none << false << ""
                                              << ""
                                              << "2001:db8:1:2::/64" << false;
        QTest::newRow("IPv4-mapped peer") << viewer << "::ffff:192.0.2.7" << none << false << ""
                                          << ""
                                          << "192.0.2.7" << false;
        QTest::newRow("no peer") << viewer << "" << none << false << ""
                                 << ""
                                 << "unknown" << false;
        QTest::newRow("forwarded, not trusted")
            << viewer << "127.0.0.1" << QStringList{"203.0.113.1"} << false << ""
            << ""
            << "127.0.0.1" << false;
        QTest::newRow("forwarded, trusted: the last entry of the last line")
            << "/"
            << "127.0.0.1" << QStringList{"198.51.100.1", "203.0.113.9, 203.0.113.2"} << true << ""
            << ""
            << "203.0.113.2" << false;
        QTest::newRow("forwarded, trusted, not an address")
            << viewer << "127.0.0.1" << QStringList{"nonsense"} << true << ""
            << ""
            << "127.0.0.1" << false;
        QTest::newRow("carried, signed") << viewer << "10.0.0.2" << none << false << "192.0.2.9"
                                         << "good"
                                         << "192.0.2.9" << true;
        QTest::newRow("carried, signature refused")
            << viewer << "10.0.0.2" << none << false << "192.0.2.9"
            << "forged"
            << "10.0.0.2" << false;
        QTest::newRow("carried, no signature")
            << viewer << "10.0.0.2" << none << false << "192.0.2.9"
            << ""
            << "10.0.0.2" << false;
        QTest::newRow("an agent is never carried") << "/"
                                                   << "10.0.0.2" << none << false << "192.0.2.9"
                                                   << "good"
                                                   << "10.0.0.2" << false;
    }
    void clients()
    {
        QFETCH(QString, target);
        QFETCH(QString, peer);
        QFETCH(QStringList, forwardedFor);
        QFETCH(bool, trustForwardedFor);
        QFETCH(QString, carriedClient);
        QFETCH(QString, signature);
        QFETCH(QString, client);
        QFETCH(bool, carried);
        const std::string targetText = target.toStdString();
        const std::string carriedText = carriedClient.toStdString();
        const std::string signatureText = signature.toStdString();
        std::vector<std::string> lines;
        for (const QString &line : forwardedFor)
            lines.push_back(line.toStdString());
        RequestHead head;
        head.target = targetText;
        head.webSocketUpgrade = true;
        head.peer = peer.toStdString();
        head.forwardedFor.assign(lines.begin(), lines.end());
        head.carriedClient = carriedText;
        head.nodeSignature = signatureText;
        RoutePolicy policy;
        policy.trustForwardedFor = trustForwardedFor;
        QStringList asked;
        policy.carriedBy = [&](std::string_view id, std::string_view from, std::string_view mac) {
            asked << QString::fromStdString(std::string(id) + " " + std::string(from));
            return mac == "good";
        };
        const Route route = routeRequest(head, policy);
        QCOMPARE(QString::fromStdString(route.client), client);
        QCOMPARE(route.carried, carried);
        // The signature is checked once, and only for a supporter that presents one.
        const bool presented =
            target == "/viewer/123456789" && !carriedClient.isEmpty() && !signature.isEmpty();
        QCOMPARE(asked, presented ? QStringList{"123456789 " + carriedClient} : QStringList{});
    }

    // Another node asks whether an agent still answers here: only with its signature over the
    // path and its own address, which is not a supporter's (a signature for one never passes for
    // the other).
    void agentChecks_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("upgrade");
        QTest::addColumn<QString>("node");
        QTest::addColumn<QString>("signature");
        QTest::addColumn<bool>("policy");
        QTest::addColumn<Route::Kind>("kind");
        using K = Route::Kind;
        const QString check = "/agent-check/123456789";
        QTest::newRow("signed") << check << true << "10.0.0.5:8080"
                                << "good" << true << K::AgentCheck;
        QTest::newRow("with query") << check + "?x" << true << "10.0.0.5:8080"
                                    << "good" << true << K::AgentCheck;
        QTest::newRow("signature refused") << check << true << "10.0.0.5:8080"
                                           << "forged" << true << K::NotFound;
        QTest::newRow("no signature") << check << true << "10.0.0.5:8080"
                                      << "" << true << K::NotFound;
        QTest::newRow("no node") << check << true << ""
                                 << "good" << true << K::NotFound;
        QTest::newRow("a single node takes no signature") << check << true << "10.0.0.5:8080"
                                                          << "good" << false << K::NotFound;
        QTest::newRow("plain GET") << check << false << "10.0.0.5:8080"
                                   << "good" << true << K::Http;
    }
    void agentChecks()
    {
        QFETCH(QString, target);
        QFETCH(bool, upgrade);
        QFETCH(QString, node);
        QFETCH(QString, signature);
        QFETCH(bool, policy);
        QFETCH(Route::Kind, kind);
        const std::string targetText = target.toStdString();
        const std::string nodeText = node.toStdString();
        const std::string signatureText = signature.toStdString();
        RequestHead head;
        head.target = targetText;
        head.webSocketUpgrade = upgrade;
        head.peer = "10.0.0.5";
        head.carriedClient = nodeText;
        head.nodeSignature = signatureText;
        RoutePolicy routing;
        QStringList asked;
        if (policy) {
            routing.carriedBy = [&](std::string_view id, std::string_view from,
                                    std::string_view mac) {
                asked << QString::fromStdString(std::string(id) + " " + std::string(from));
                return mac == "good";
            };
        }
        const Route route = routeRequest(head, routing);
        QCOMPARE(route.kind, kind);
        if (kind == Route::Kind::AgentCheck) {
            QCOMPARE(QString::fromStdString(route.id), QString("123456789"));
            QCOMPARE(QString::fromStdString(route.client), node);
        }
        if (!asked.isEmpty())
            QCOMPARE(asked, QStringList{"/agent-check/123456789 " + node});
    }

    // The agent's token is the first value its Cookie lines give the cookie.
    void agentTokens_data()
    {
        QTest::addColumn<QStringList>("cookies");
        QTest::addColumn<QString>("token");
        QTest::newRow("none") << QStringList{} << "";
        QTest::newRow("one line") << QStringList{"a=1; VELMORA-SESSION-TOKEN=abc"} << "abc";
        QTest::newRow("second line") << QStringList{"a=1", "VELMORA-SESSION-TOKEN=def"} << "def";
        QTest::newRow("an empty value lets a later line give one")
            << QStringList{"VELMORA-SESSION-TOKEN=", "VELMORA-SESSION-TOKEN=xyz"} << "xyz";
        QTest::newRow("first of two values")
            << QStringList{"VELMORA-SESSION-TOKEN=x", "VELMORA-SESSION-TOKEN=y"} << "x";
    }
    void agentTokens()
    {
        QFETCH(QStringList, cookies);
        QFETCH(QString, token);
        std::vector<std::string> lines;
        for (const QString &line : cookies)
            lines.push_back(line.toStdString());
        RequestHead head;
        head.target = "/";
        head.webSocketUpgrade = true;
        head.cookies.assign(lines.begin(), lines.end());
        const Route route = routeRequest(head, RoutePolicy{});
        QCOMPARE(route.kind, Route::Kind::Agent);
        QCOMPARE(QString::fromStdString(route.token), token);
    }

    void cookies_data()
    {
        QTest::addColumn<QString>("header");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QString>("value");
        QTest::newRow("alone") << "VELMORA-SESSION-TOKEN=abc" << true << "abc";
        QTest::newRow("empty value, as on the first connection")
            << "VELMORA-SESSION-TOKEN=" << true << "";
        QTest::newRow("among others") << "a=1; VELMORA-SESSION-TOKEN=abc; b=2" << true << "abc";
        QTest::newRow("no spaces") << "a=1;VELMORA-SESSION-TOKEN=abc" << true << "abc";
        QTest::newRow("quoted") << "VELMORA-SESSION-TOKEN=\"abc\"" << true << "abc";
        QTest::newRow("first of two")
            << "VELMORA-SESSION-TOKEN=x; VELMORA-SESSION-TOKEN=y" << true << "x";
        QTest::newRow("absent") << "a=1; b=2" << false << "";
        QTest::newRow("name is a suffix") << "XVELMORA-SESSION-TOKEN=abc" << false << "";
        QTest::newRow("name in a value") << "a=VELMORA-SESSION-TOKEN=abc" << false << "";
        QTest::newRow("other case") << "velmora-session-token=abc" << false << "";
        QTest::newRow("empty header") << "" << false << "";
        QTest::newRow("no equals sign") << "VELMORA-SESSION-TOKEN" << false << "";
    }
    void cookies()
    {
        QFETCH(QString, header);
        QFETCH(bool, found);
        QFETCH(QString, value);
        const std::string text = header.toStdString();
        const auto result = cookieValue(text, kSessionCookie);
        QCOMPARE(bool(result), found);
        if (result)
            QCOMPARE(QString::fromStdString(std::string(*result)), value);
    }

    void subprotocols_data()
    {
        QTest::addColumn<QString>("header");
        QTest::addColumn<bool>("offered");
        QTest::newRow("alone") << "binary" << true;
        QTest::newRow("in a list") << "base64, binary" << true;
        QTest::newRow("no space") << "base64,binary" << true;
        QTest::newRow("absent") << "base64" << false;
        QTest::newRow("prefix only") << "binaryx" << false;
        QTest::newRow("empty") << "" << false;
    }
    void subprotocols()
    {
        QFETCH(QString, header);
        QFETCH(bool, offered);
        QCOMPARE(offersSubprotocol(header.toStdString(), kBinarySubprotocol), offered);
    }
};

QTEST_GUILESS_MAIN(TestRoute)
#include "tst_route.moc"
