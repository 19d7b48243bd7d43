// Routing of requests on the server's port, cookies and subprotocol lists.
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
        QTest::newRow("viewer") << "/viewer/123456789" << true << K::Viewer << "123456789"
                                << "/viewer/123456789";
        QTest::newRow("viewer with query")
            << "/viewer/123456789?token=x" << true << K::Viewer << "123456789"
            << "/viewer/123456789";
        QTest::newRow("viewer, malformed ID kept for the refusal")
            << "/viewer/12ab" << true << K::Viewer << "12ab"
            << "/viewer/12ab";
        QTest::newRow("viewer without ID") << "/viewer/" << true << K::Viewer << ""
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
        const Route route = routeRequest(target.toStdString(), upgrade);
        QCOMPARE(route.kind, kind);
        QCOMPARE(QString::fromStdString(route.id), id);
        QCOMPARE(QString::fromStdString(route.path), path);
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
