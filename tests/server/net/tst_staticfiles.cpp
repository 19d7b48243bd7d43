// The page's files over raw HTTP on a socket: types, headers, methods, conditional requests, and
// every way out of the folder that a path can try (dots, encoded dots, backslashes, NUL,
// absolute paths, symbolic links), plus the metrics and health pages.
#include "serverthread.h"

#include "server/core/staticfiles.h"

#include <QDir>
#include <QFile>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

struct Answer
{
    int status = 0;
    QMap<QByteArray, QByteArray> headers;
    QByteArray body;
    QByteArray raw;
};

// Sends `request` as is and reads until the server closes (every request asks it to).
Answer exchange(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    Answer answer;
    if (!socket.waitForConnected(5000))
        return answer;
    socket.write(request);
    const bool closed = QTest::qWaitFor(
        [&] {
            answer.raw += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        10000);
    answer.raw += socket.readAll();
    if (!closed)
        return answer;
    const int end = answer.raw.indexOf("\r\n\r\n");
    if (end < 0)
        return answer;
    const QList<QByteArray> lines = answer.raw.left(end).split('\n');
    answer.status = lines.first().split(' ').value(1).toInt();
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        answer.headers[lines[i].left(colon).trimmed().toLower()] =
            lines[i].mid(colon + 1).trimmed();
    }
    answer.body = answer.raw.mid(end + 4);
    return answer;
}

QByteArray get(const QByteArray &target, const QByteArray &method = "GET",
               const QByteArray &extra = {})
{
    return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extra +
           "\r\n";
}

bool write(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestStaticFiles : public QObject
{
    Q_OBJECT

    QTemporaryDir folder;
    QString web;
    QString novnc;
    std::unique_ptr<ServerThread> server;

private slots:
    void initTestCase()
    {
        QVERIFY(folder.isValid());
        web = folder.filePath("web");
        novnc = folder.filePath("novnc");
        QVERIFY(write(web + "/index.html", "<!DOCTYPE html><title>page</title>"));
        QVERIFY(write(web + "/velmora.js", "export const x = 1;"));
        QVERIFY(write(web + "/UPPER.JS", "1"));
        QVERIFY(write(web + "/velmora.css", "body{}"));
        QVERIFY(write(web + "/logo.svg", "<svg/>"));
        QVERIFY(write(web + "/logo.png", "\x89PNG"));
        QVERIFY(write(web + "/data.json", "{}"));
        QVERIFY(write(web + "/favicon.ico", "ico"));
        QVERIFY(write(web + "/blob.bin", "bin"));
        QVERIFY(write(web + "/.hidden", "hidden"));
        QVERIFY(write(web + "/help/index.html", "help page"));
        QVERIFY(write(web + "/with space.txt", "spaced"));
        QVERIFY(QDir().mkpath(web + "/empty"));
        QVERIFY(write(folder.filePath("secret.txt"), "secret"));
        QVERIFY(QFile::link(folder.filePath("secret.txt"), web + "/link-out"));
        QVERIFY(QFile::link(web + "/velmora.js", web + "/link-in.js"));
        QVERIFY(QFile::link(folder.path(), web + "/dir-out"));
        QVERIFY(write(novnc + "/core/rfb.js", "export default class RFB {}"));

        velmora::server::ServerConfig config = ServerThread::defaultConfig();
        config.options.webDir = web.toStdString();
        config.options.novncDir = novnc.toStdString();
        server = std::make_unique<ServerThread>(config);
        QVERIFY(server->waitForLog("serving the supporter's page from " + web));
        QVERIFY(server->waitForLog("serving noVNC from " + novnc));
    }

    void cleanupTestCase() { server.reset(); }

    void files_data()
    {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("root is index.html")
            << QByteArray("/") << QByteArray("text/html; charset=utf-8")
            << QByteArray("<!DOCTYPE html><title>page</title>");
        QTest::newRow("index.html")
            << QByteArray("/index.html") << QByteArray("text/html; charset=utf-8")
            << QByteArray("<!DOCTYPE html><title>page</title>");
        QTest::newRow("query ignored")
            << QByteArray("/?id=123456789") << QByteArray("text/html; charset=utf-8")
            << QByteArray("<!DOCTYPE html><title>page</title>");
        QTest::newRow("module script")
            << QByteArray("/velmora.js") << QByteArray("text/javascript; charset=utf-8")
            << QByteArray("export const x = 1;");
        QTest::newRow("extension case")
            << QByteArray("/UPPER.JS") << QByteArray("text/javascript; charset=utf-8")
            << QByteArray("1");
        QTest::newRow("css") << QByteArray("/velmora.css") << QByteArray("text/css; charset=utf-8")
                             << QByteArray("body{}");
        QTest::newRow("svg") << QByteArray("/logo.svg") << QByteArray("image/svg+xml")
                             << QByteArray("<svg/>");
        QTest::newRow("png") << QByteArray("/logo.png") << QByteArray("image/png")
                             << QByteArray("\x89PNG");
        QTest::newRow("json") << QByteArray("/data.json") << QByteArray("application/json")
                              << QByteArray("{}");
        QTest::newRow("ico") << QByteArray("/favicon.ico") << QByteArray("image/x-icon")
                             << QByteArray("ico");
        QTest::newRow("unknown type")
            << QByteArray("/blob.bin") << QByteArray("application/octet-stream")
            << QByteArray("bin");
        QTest::newRow("encoded space")
            << QByteArray("/with%20space.txt") << QByteArray("text/plain; charset=utf-8")
            << QByteArray("spaced");
        QTest::newRow("directory with index")
            << QByteArray("/help/") << QByteArray("text/html; charset=utf-8")
            << QByteArray("help page");
        QTest::newRow("directory without slash")
            << QByteArray("/help") << QByteArray("text/html; charset=utf-8")
            << QByteArray("help page");
        QTest::newRow("doubled slashes")
            << QByteArray("//velmora.js") << QByteArray("text/javascript; charset=utf-8")
            << QByteArray("export const x = 1;");
        QTest::newRow("link inside the folder")
            << QByteArray("/link-in.js") << QByteArray("text/javascript; charset=utf-8")
            << QByteArray("export const x = 1;");
        QTest::newRow("noVNC") << QByteArray("/novnc/core/rfb.js")
                               << QByteArray("text/javascript; charset=utf-8")
                               << QByteArray("export default class RFB {}");
    }
    void files()
    {
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, type);
        QFETCH(QByteArray, body);
        const Answer answer = exchange(server->port(), get(target));
        QCOMPARE(answer.status, 200);
        QCOMPARE(answer.headers.value("content-type"), type);
        QCOMPARE(answer.body, body);
        QCOMPARE(answer.headers.value("content-length").toInt(), body.size());
        QCOMPARE(answer.headers.value("x-content-type-options"), QByteArray("nosniff"));
        QCOMPARE(answer.headers.value("cache-control"), QByteArray("no-cache"));
        const QByteArray policy = answer.headers.value("content-security-policy");
        QVERIFY2(policy.contains("default-src 'none'") && policy.contains("script-src 'self'") &&
                     policy.contains("connect-src 'self'") &&
                     policy.contains("frame-ancestors 'none'"),
                 policy.constData());
        QVERIFY(answer.headers.value("etag").startsWith('"'));
    }

    void refused_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        const QByteArray secret = "/secret.txt";
        QTest::newRow("missing file") << get("/missing.js") << 404;
        QTest::newRow("dot dot") << get("/.." + secret) << 404;
        QTest::newRow("dot dot below a folder") << get("/help/../.." + secret) << 404;
        QTest::newRow("dot dot that stays inside") << get("/help/../velmora.js") << 404;
        QTest::newRow("single dot") << get("/./velmora.js") << 404;
        QTest::newRow("encoded dot dot") << get("/%2e%2e" + secret) << 404;
        QTest::newRow("encoded upper case") << get("/%2E%2E" + secret) << 404;
        QTest::newRow("encoded slash") << get("/help%2f..%2f.." + secret) << 404;
        QTest::newRow("double encoded") << get("/%252e%252e" + secret) << 404;
        QTest::newRow("backslashes") << get("/..\\..\\secret.txt") << 404;
        QTest::newRow("encoded backslash") << get("/..%5c.." + secret) << 404;
        QTest::newRow("encoded NUL") << get("/velmora.js%00.png") << 404;
        QTest::newRow("absolute path encoded") << get("/%2fetc%2fpasswd") << 404;
        QTest::newRow("absolute form") << get("http://127.0.0.1/etc/passwd") << 404;
        QTest::newRow("file outside") << get("/etc/passwd") << 404;
        QTest::newRow("link out of the folder") << get("/link-out") << 404;
        QTest::newRow("through a linked folder") << get("/dir-out/secret.txt") << 404;
        QTest::newRow("hidden file") << get("/.hidden") << 404;
        QTest::newRow("no listing") << get("/empty/") << 404;
        QTest::newRow("noVNC stays in its folder") << get("/novnc/../index.html") << 404;
        QTest::newRow("noVNC encoded") << get("/novnc/%2e%2e/%2e%2e" + secret) << 404;
        QTest::newRow("bad escape") << get("/%zz") << 400;
        QTest::newRow("cut escape") << get("/velmora.js%2") << 400;
        QTest::newRow("POST") << get("/", "POST") << 405;
        QTest::newRow("PUT") << get("/velmora.js", "PUT") << 405;
        QTest::newRow("DELETE") << get("/velmora.js", "DELETE") << 405;
        QTest::newRow("OPTIONS") << get("/", "OPTIONS") << 405;
        QTest::newRow("POST to metrics") << get("/metrics", "POST") << 405;
        QTest::newRow("POST to health") << get("/health", "POST") << 405;
        QTest::newRow("below health") << get("/health/x") << 404;
        QTest::newRow("body over the limit")
            << get("/", "POST", "Content-Length: 100000\r\n") + QByteArray(100000, 'b') << 400;
    }
    void refused()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        const Answer answer = exchange(server->port(), request);
        QCOMPARE(answer.status, status);
        QVERIFY2(!answer.body.contains("secret") && !answer.body.contains("root:"),
                 answer.body.constData());
        if (status == 405)
            QCOMPARE(answer.headers.value("allow"), QByteArray("GET, HEAD"));
    }

    void headHasTheLengthButNoBody()
    {
        const Answer answer = exchange(server->port(), get("/velmora.js", "HEAD"));
        QCOMPARE(answer.status, 200);
        QCOMPARE(answer.headers.value("content-length"), QByteArray("19"));
        QVERIFY(answer.body.isEmpty());
    }

    void unchangedFileIsNotSentAgain()
    {
        const Answer first = exchange(server->port(), get("/velmora.js"));
        const QByteArray etag = first.headers.value("etag");
        QVERIFY(!etag.isEmpty());
        const Answer again =
            exchange(server->port(), get("/velmora.js", "GET", "If-None-Match: " + etag + "\r\n"));
        QCOMPARE(again.status, 304);
        QVERIFY(again.body.isEmpty());
        QCOMPARE(again.headers.value("etag"), etag);
        const Answer other =
            exchange(server->port(), get("/velmora.js", "GET", "If-None-Match: \"other\"\r\n"));
        QCOMPARE(other.status, 200);
    }

    void metricsInPrometheusFormat()
    {
        const Answer answer = exchange(server->port(), get("/metrics"));
        QCOMPARE(answer.status, 200);
        QCOMPARE(answer.headers.value("content-type"),
                 QByteArray("text/plain; version=0.0.4; charset=utf-8"));
        QCOMPARE(answer.headers.value("cache-control"), QByteArray("no-store"));
        for (const char *line :
             {"# TYPE velmora_agents_online gauge\nvelmora_agents_online 0\n",
              "# TYPE velmora_sessions_active gauge\n",
              "velmora_relayed_bytes_total{direction=\"to_agent\"} 0\n",
              "velmora_relayed_bytes_total{direction=\"to_supporter\"} 0\n",
              "# TYPE velmora_supporter_refusals_total counter\n",
              "velmora_supporter_refusals_total{reason=\"wrong-password\"} 0\n",
              "# TYPE velmora_lockouts_total counter\nvelmora_lockouts_total 0\n",
              "velmora_handshakes_total{outcome=\"success\"} 0\n"})
            QVERIFY2(answer.body.contains(line), line);
        // Every sample follows its own HELP and TYPE lines.
        for (const QByteArray &sample : answer.body.split('\n')) {
            if (sample.isEmpty() || sample.startsWith('#'))
                continue;
            const QByteArray name =
                sample.left(QString::fromLatin1(sample).indexOf(QRegularExpression("[{ ]")));
            QVERIFY2(answer.body.contains("# HELP " + name + " "), name.constData());
            QVERIFY2(answer.body.contains("# TYPE " + name + " "), name.constData());
        }
    }

    // What a load balancer's check asks for: 200 with a short text, never from a cache, the
    // query ignored; HEAD the same without the body.
    void healthForLoadBalancers_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("GET") << get("/health") << QByteArray("ok\n");
        QTest::newRow("GET with a query") << get("/health?from=haproxy") << QByteArray("ok\n");
        QTest::newRow("HEAD") << get("/health", "HEAD") << QByteArray();
        QTest::newRow("HTTP/1.0, as haproxy's plain check")
            << QByteArray("GET /health HTTP/1.0\r\n\r\n") << QByteArray("ok\n");
    }
    void healthForLoadBalancers()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, body);
        const Answer answer = exchange(server->port(), request);
        QCOMPARE(answer.status, 200);
        QCOMPARE(answer.headers.value("content-type"), QByteArray("text/plain; charset=utf-8"));
        QCOMPARE(answer.headers.value("cache-control"), QByteArray("no-cache"));
        QCOMPARE(answer.headers.value("content-length"), QByteArray("3"));
        QCOMPARE(answer.body, body);
    }

    // A page folder given but not there: the server runs and answers 404.
    void missingFolderIsANotFound()
    {
        velmora::server::ServerConfig config = ServerThread::defaultConfig();
        config.options.webDir = folder.filePath("nowhere").toStdString();
        config.options.novncDir.clear();
        ServerThread other(config);
        QVERIFY(other.waitForLog("warning: not serving the supporter's page: "));
        QCOMPARE(exchange(other.port(), get("/")).status, 404);
    }
};

QTEST_GUILESS_MAIN(TestStaticFiles)
#include "tst_staticfiles.moc"
