// Relay benchmark: a VNC-like stream (small messages mixed with 64 KiB updates) pushed through
//   agent:  rendezvous server (in process) -> Client -> websockify -> TCP echo -> back again
//   raw:    WebSocket client -> websockify -> TCP echo -> back again (no agent)
// in the same run, so that the ratio of the two payload rates shows the agent's own cost. Both
// streams are checked byte for byte on their way back (the agent's once the clock has stopped).
// Debian's websockify, in-process echo.
//
// Without arguments it runs itself twice, once with Qt's default debug output (written to a null
// device) and once with QT_LOGGING_RULES="default.debug=false", and prints both reports.
//   bench_relay [--megabytes N] [--window KiB] [--frames N]    both modes
//   bench_relay --child ...                                    one mode, as the environment says
// --window is the payload kept in flight while streaming; --frames the number of one-at-a-time
// round trips for the latency figures.
//
// The Client and the raw client each run in a thread of their own, so that their CPU time can be
// read from the thread's clock apart from the server and the echo (the main thread).

#include "client/client.h"
#include "configdir.h"
#include "echoserver.h"
#include "protocol/base64.h"
#include "protocol/envelope.h"
#include "websockifyprocess.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QWebSocket>

#include <nlohmann/json.hpp>

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <vector>

namespace {

struct Options
{
    qint64 megabytes = 48;
    qint64 windowKib = 1024; // payload in flight at most
    int rttFrames = 400;
};

struct Figures
{
    double mbPerSecond = 0;
    double cpuMsPerMb = 0;
    double mainCpuMsPerMb = 0;
    double websockifyCpuMsPerMb = 0;
    double rttP50Ms = 0;
    double rttP99Ms = 0;
};

// CPU time of one thread, in milliseconds.
double threadCpuMs(Qt::HANDLE thread)
{
    clockid_t clock;
    if (pthread_getcpuclockid(reinterpret_cast<pthread_t>(thread), &clock) != 0)
        return 0;
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

// CPU time of a process and of its direct children (websockify forks one per connection), in
// milliseconds, from /proc.
double processTreeCpuMs(qint64 pid)
{
    const double tick = 1000.0 / double(sysconf(_SC_CLK_TCK));
    double total = 0;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool numeric = false;
        entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        QFile file(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray stat = file.readAll();
        // Fields after the command name, which is in parentheses and may hold spaces.
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (fields.size() < 13)
            continue;
        const qint64 self = entry.toLongLong();
        const qint64 parent = fields.at(1).toLongLong();
        if (self != pid && parent != pid)
            continue;
        total += double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) * tick;
    }
    return total;
}

std::vector<QByteArray> vncLikeFrames(qint64 total, quint32 seed)
{
    QRandomGenerator random(seed);
    std::vector<QByteArray> frames;
    qint64 made = 0;
    while (made < total) {
        const int size = random.bounded(4) == 0 ? 65536 : int(random.bounded(1, 300));
        QByteArray frame(int(std::min<qint64>(size, total - made)), Qt::Uninitialized);
        // Word by word: generating the stream byte by byte took longer than streaming it.
        std::vector<quint32> words(size_t(frame.size()) / 4 + 1);
        random.fillRange(words.data(), qsizetype(words.size()));
        std::memcpy(frame.data(), words.data(), size_t(frame.size()));
        frames.push_back(frame);
        made += frame.size();
    }
    return frames;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

// Runs the event loop until done() holds, blocking while nothing happens (a timer wakes it
// for the time limit).
void waitUntil(const std::function<bool()> &done, int timeoutMs = 600000)
{
    QEventLoop loop;
    QTimer limit;
    bool expired = false;
    QObject::connect(&limit, &QTimer::timeout, [&expired] { expired = true; });
    limit.start(timeoutMs);
    while (!done() && !expired)
        loop.processEvents(QEventLoop::WaitForMoreEvents);
}

// Sends frames and counts the payload bytes that come back; one of these drives each path.
class Driver
{
public:
    virtual ~Driver() = default;
    virtual void send(const QByteArray &frame) = 0;
    virtual qint64 received() const = 0;
    /// Lets a driver do its per-frame work for a stream before the clock starts.
    virtual void prepare(const std::vector<QByteArray> &) {}
    /// Does the work a driver put off while the clock ran.
    virtual void settle() {}

    // Pipelined: keeps `window` payload bytes in flight. Returns seconds.
    double stream(const std::vector<QByteArray> &frames, qint64 window)
    {
        qint64 sent = 0;
        const qint64 start = received();
        size_t next = 0;
        QElapsedTimer clock;
        clock.start();
        while (next < frames.size()) {
            while (next < frames.size() && sent - (received() - start) < window) {
                send(frames[next]);
                sent += frames[next].size();
                ++next;
            }
            waitUntil([&] { return sent - (received() - start) < window; });
        }
        waitUntil([&] { return received() - start >= sent; });
        return double(clock.nsecsElapsed()) / 1e9;
    }

    // One frame at a time; returns each round trip in milliseconds.
    std::vector<double> pingPong(const std::vector<QByteArray> &frames)
    {
        std::vector<double> times;
        for (const QByteArray &frame : frames) {
            const qint64 target = received() + frame.size();
            QElapsedTimer clock;
            clock.start();
            send(frame);
            waitUntil([&] { return received() >= target; });
            times.push_back(double(clock.nsecsElapsed()) / 1e6);
        }
        return times;
    }
};

// Checks that the bytes coming back are the bytes sent, in order, however they are cut.
class StreamCheck
{
public:
    void expect(const QByteArray &frame)
    {
        if (!frame.isEmpty())
            pending.push_back(frame);
    }
    void got(const char *bytes, qint64 n)
    {
        while (n > 0 && ok) {
            if (pending.empty()) {
                ok = false;
                break;
            }
            const QByteArray &frame = pending.front();
            const qint64 k = std::min<qint64>(n, frame.size() - offset);
            ok = std::memcmp(frame.constData() + offset, bytes, size_t(k)) == 0;
            bytes += k;
            n -= k;
            offset += int(k);
            if (offset == frame.size()) {
                pending.pop_front();
                offset = 0;
            }
        }
    }
    bool intact() const { return ok; }
    /// Whether everything expected has come back.
    bool complete() const { return pending.empty(); }

private:
    std::deque<QByteArray> pending;
    int offset = 0;
    bool ok = true;
};

// The rendezvous server's side of the agent path: a minimal RFC 6455 server straight on a TCP
// socket. It stands in for a server on another machine, so while the clock runs it takes as
// little of this machine's CPU as it can: it sends envelopes built beforehand, keeps what comes
// back and counts its payload from the envelope's length; settle() then decodes every envelope
// kept and checks it against what was sent.
class FrameServer : public Driver
{
public:
    FrameServer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            peer = server.nextPendingConnection();
            peer->setSocketOption(QAbstractSocket::LowDelayOption, 1); // as Qt's own WebSockets
            QObject::connect(peer, &QTcpSocket::readyRead, [this] { readSome(); });
        });
    }
    quint16 port() const { return server.serverPort(); }
    bool upgraded() const { return handshakeDone; }
    bool intact() const { return ok && check.intact(); }
    qint64 received() const override { return returned; }

    // One unmasked, unfragmented binary WebSocket frame.
    static QByteArray wsFrame(const QByteArray &message)
    {
        QByteArray frame;
        frame.reserve(message.size() + 10);
        frame.append(char(0x82)); // final fragment, binary
        const qint64 n = message.size();
        if (n < 126) {
            frame.append(char(n));
        } else if (n < 65536) {
            frame.append(char(126));
            frame.append(char(n >> 8)).append(char(n & 0xFF));
        } else {
            frame.append(char(127));
            for (int shift = 56; shift >= 0; shift -= 8)
                frame.append(char((n >> shift) & 0xFF));
        }
        return frame + message;
    }

    static QByteArray rfbFrame(const QByteArray &frame)
    {
        QByteArray message(int(velmora::envelope::rfbEnvelopeSize(size_t(frame.size()))),
                           Qt::Uninitialized);
        velmora::envelope::writeRfbEnvelope(frame.constData(), size_t(frame.size()),
                                            message.data());
        return wsFrame(message);
    }

    void sendMessage(const QByteArray &message) { peer->write(wsFrame(message)); }

    void prepare(const std::vector<QByteArray> &frames) override
    {
        prepared.clear();
        qint64 total = 0;
        for (const QByteArray &frame : frames) {
            prepared.push_back(rfbFrame(frame));
            total += prepared.back().size();
        }
        nextPrepared = 0;
        // Room for what comes back, so that keeping it never moves it while the clock runs.
        log.reserve(int(std::min<qint64>(total + total / 8 + (1 << 20), 0x70000000)));
    }

    void send(const QByteArray &frame) override
    {
        check.expect(frame);
        if (nextPrepared < prepared.size()) {
            peer->write(prepared[nextPrepared]);
            prepared[nextPrepared++].clear();
        } else {
            peer->write(rfbFrame(frame));
        }
    }

    void settle() override
    {
        for (Message &m : messages) {
            char *text = m.assembled.isEmpty() ? log.data() + m.offset : m.assembled.data();
            if (m.masked)
                unmask(text, m.length, m.key);
            scratch.resize(int(velmora::base64::maxDecodedSize(size_t(m.length))));
            const auto decoded = velmora::envelope::decodeCompactRfb(
                std::string_view(text, size_t(m.length)), scratch.data());
            if (!decoded) {
                ok = false;
                continue;
            }
            check.got(scratch.constData(), qint64(*decoded));
        }
        ok = ok && check.complete();
        messages.clear();
        log.remove(0, scanned);
        scanned = 0;
    }

private:
    // A message kept for settle(): in the log, or put together from fragments.
    struct Message
    {
        int offset = 0;
        int length = 0;
        bool masked = false;
        char key[4] = {};
        QByteArray assembled;
    };

    void readSome()
    {
        const qint64 available = peer->bytesAvailable();
        const int old = log.size();
        log.resize(old + int(available));
        log.resize(old + int(std::max<qint64>(0, peer->read(log.data() + old, available))));
        if (!handshakeDone && !answerHandshake())
            return;
        scan();
    }

    bool answerHandshake()
    {
        const int end = log.indexOf("\r\n\r\n");
        if (end < 0)
            return false;
        const QByteArray head = log.left(end);
        log.remove(0, end + 4);
        QByteArray key;
        for (const QByteArray &line : head.split('\n')) {
            if (line.toLower().startsWith("sec-websocket-key:"))
                key = line.mid(18).trimmed();
        }
        const QByteArray accept =
            QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11",
                                     QCryptographicHash::Sha1)
                .toBase64();
        peer->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                    "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
                    accept + "\r\n\r\n");
        handshakeDone = true;
        return true;
    }

    // Walks the complete frames that arrived, counting each message's payload.
    void scan()
    {
        for (;;) {
            const auto *b = reinterpret_cast<const unsigned char *>(log.constData()) + scanned;
            const qint64 avail = log.size() - scanned;
            if (avail < 2)
                break;
            const bool fin = b[0] & 0x80;
            const int opcode = b[0] & 0x0F;
            const bool masked = b[1] & 0x80;
            qint64 length = b[1] & 0x7F;
            int head = 2;
            if (length == 126) {
                if (avail < 4)
                    break;
                length = (qint64(b[2]) << 8) | b[3];
                head = 4;
            } else if (length == 127) {
                if (avail < 10)
                    break;
                length = 0;
                for (int i = 0; i < 8; ++i)
                    length = (length << 8) | b[2 + i];
                head = 10;
            }
            const int keyAt = head;
            if (masked)
                head += 4;
            if (avail < head + length)
                break;
            Message m;
            m.offset = scanned + head;
            m.length = int(length);
            m.masked = masked;
            if (masked)
                std::memcpy(m.key, b + keyAt, 4);
            scanned += int(head + length);
            if (opcode > 2)
                continue; // control frames
            if (fin && opcode != 0 && fragments.isEmpty()) {
                returned += payloadSize(m);
                messages.push_back(std::move(m));
                continue;
            }
            // Fragments are joined at once; Qt sends none below half a megabyte.
            if (masked)
                unmask(log.data() + m.offset, m.length, m.key);
            fragments.append(log.constData() + m.offset, m.length);
            if (fin) {
                Message whole;
                whole.length = fragments.size();
                whole.assembled = fragments;
                fragments.clear();
                returned += payloadSize(whole);
                messages.push_back(std::move(whole));
            }
        }
    }

    // The bytes a compact envelope's payload decodes to, from its length and its padding.
    qint64 payloadSize(const Message &m) const
    {
        const int text = m.length - int(velmora::envelope::rfbEnvelopeSize(0));
        if (text < 4)
            return 0;
        const char *bytes =
            m.assembled.isEmpty() ? log.constData() + m.offset : m.assembled.constData();
        auto at = [&](int i) { return char(bytes[i] ^ (m.masked ? m.key[i % 4] : 0)); };
        const int end = m.length - 2; // before the closing "}
        const int padding = (at(end - 1) == '=') + (at(end - 2) == '=');
        return qint64(text / 4 * 3 - padding);
    }

    static void unmask(char *data, qint64 n, const char *key)
    {
        quint32 k4;
        std::memcpy(&k4, key, 4);
        const quint64 k8 = (quint64(k4) << 32) | k4;
        qint64 i = 0;
        for (; i + 8 <= n; i += 8) {
            quint64 w;
            std::memcpy(&w, data + i, 8);
            w ^= k8;
            std::memcpy(data + i, &w, 8);
        }
        for (; i < n; ++i)
            data[i] ^= key[i % 4];
    }

    QTcpServer server;
    QTcpSocket *peer = nullptr;
    std::vector<QByteArray> prepared;
    size_t nextPrepared = 0;
    bool handshakeDone = false;
    QByteArray log;  // received since the last settle()
    int scanned = 0; // where the first frame not yet complete starts in the log
    std::vector<Message> messages;
    QByteArray fragments;
    QByteArray scratch;
    StreamCheck check;
    qint64 returned = 0;
    bool ok = true;
};

// A plain WebSocket client of websockify, living in its own thread.
class RawClient : public QObject
{
public:
    explicit RawClient(quint16 port) : url(QStringLiteral("ws://127.0.0.1:%1").arg(port)) {}
    void open()
    {
        socket = new QWebSocket(QStringLiteral("localhost"), QWebSocketProtocol::Version13, this);
        connect(socket, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray &m) {
            check.got(m.constData(), m.size());
            if (!check.intact())
                broken.storeRelease(1);
            returned.fetchAndAddOrdered(m.size());
            // Wakes the driver's thread, which waits for events.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
        });
        connect(socket, &QWebSocket::connected, this, [this] { isUp.storeRelease(1); });
        socket->open(QUrl(url));
    }
    void send(const QByteArray &frame)
    {
        check.expect(frame);
        socket->sendBinaryMessage(frame);
    }

    QAtomicInteger<qint64> returned{0};
    QAtomicInt isUp{0};
    QAtomicInt broken{0};

private:
    StreamCheck check;
    QString url;
    QWebSocket *socket = nullptr;
};

class RawDriver : public Driver
{
public:
    explicit RawDriver(RawClient *client) : client(client) {}
    void send(const QByteArray &frame) override
    {
        QMetaObject::invokeMethod(
            client, [c = client, frame] { c->send(frame); }, Qt::QueuedConnection);
    }
    qint64 received() const override { return client->returned.loadAcquire(); }

private:
    RawClient *client;
};

Figures measure(Driver &driver, Qt::HANDLE worker, qint64 websockifyPid, const Options &options)
{
    const Qt::HANDLE mainThread = QThread::currentThreadId();
    const std::vector<QByteArray> warmup = vncLikeFrames(4 << 20, 7);
    driver.prepare(warmup);
    driver.stream(warmup, options.windowKib << 10);
    driver.settle();

    const std::vector<QByteArray> frames = vncLikeFrames(options.megabytes << 20, 11);
    qint64 bytes = 0;
    for (const QByteArray &f : frames)
        bytes += f.size();
    driver.prepare(frames);
    const double cpuBefore = threadCpuMs(worker);
    const double mainBefore = threadCpuMs(mainThread);
    const double websockifyBefore = processTreeCpuMs(websockifyPid);
    const double seconds = driver.stream(frames, options.windowKib << 10);
    const double cpu = threadCpuMs(worker) - cpuBefore;
    const double mainCpu = threadCpuMs(mainThread) - mainBefore;
    const double websockifyCpu = processTreeCpuMs(websockifyPid) - websockifyBefore;
    driver.settle();
    const double mb = double(bytes) / 1e6;

    std::vector<QByteArray> rttFrames = vncLikeFrames(qint64(options.rttFrames) * 16400, 13);
    const std::vector<double> rtt = driver.pingPong(rttFrames);
    driver.settle();

    Figures f;
    f.mbPerSecond = mb / seconds;
    f.cpuMsPerMb = cpu / mb;
    f.mainCpuMsPerMb = mainCpu / mb;
    f.websockifyCpuMsPerMb = websockifyCpu / mb;
    f.rttP50Ms = percentile(rtt, 0.50);
    f.rttP99Ms = percentile(rtt, 0.99);
    return f;
}

// Codec costs without sockets: the short cut for the stream's own envelopes against the general
// path (Qt's UTF-8 round trip, nlohmann, Qt's Base64), and the two ways to build an envelope.
void codecFigures()
{
    const std::vector<QByteArray> frames = vncLikeFrames(32 << 20, 17);
    std::vector<QByteArray> envelopes;
    qint64 bytes = 0;
    for (const QByteArray &f : frames) {
        bytes += f.size();
        envelopes.push_back(QByteArray::fromStdString(velmora::envelope::rfbEnvelope(
            "110", std::string_view(f.constData(), size_t(f.size())))));
    }
    const double mb = double(bytes) / 1e6;
    auto msPerMb = [mb](const std::function<void()> &work) {
        QElapsedTimer clock;
        clock.start();
        work();
        return double(clock.nsecsElapsed()) / 1e6 / mb;
    };
    qint64 sink = 0;
    const double fast = msPerMb([&] {
        QByteArray out;
        for (const QByteArray &e : envelopes) {
            out.resize(int(velmora::base64::maxDecodedSize(size_t(e.size()))));
            sink += qint64(*velmora::envelope::decodeCompactRfb(
                std::string_view(e.constData(), size_t(e.size())), out.data()));
        }
    });
    const double general = msPerMb([&] {
        for (const QByteArray &e : envelopes) {
            const QByteArray utf8 = QString::fromUtf8(e).toUtf8();
            const nlohmann::json j =
                nlohmann::json::parse(utf8.begin(), utf8.end(), nullptr, false);
            const std::string &p = j.at("payload").get_ref<const std::string &>();
            sink += QByteArray::fromBase64(QByteArray(p.c_str())).size();
        }
    });
    const double direct = msPerMb([&] {
        for (const QByteArray &f : frames) {
            QByteArray m(int(velmora::envelope::rfbEnvelopeSize(size_t(f.size()))),
                         Qt::Uninitialized);
            velmora::envelope::writeRfbEnvelope(f.constData(), size_t(f.size()), m.data());
            sink += m.size();
        }
    });
    const double dumped = msPerMb([&] {
        for (const QByteArray &f : frames) {
            const nlohmann::json j = {
                {"action", "rfb"}, {"api_version", "110"}, {"payload", f.toBase64().toStdString()}};
            sink += qint64(j.dump().size());
        }
    });
    std::printf("codec, ms per MB of payload (checksum %lld)\n", static_cast<long long>(sink % 10));
    std::printf("  server->proxy  short cut %.2f   general path %.2f\n", fast, general);
    std::printf("  proxy->server  direct    %.2f   nlohmann     %.2f\n", direct, dumped);
}

int runChild(const Options &options)
{
    const bool debugOn = QLoggingCategory::defaultCategory()->isDebugEnabled();

    EchoServer echo;
    WebsockifyProcess websockify;
    if (!echo.listen() || !websockify.start(echo.port())) {
        std::fprintf(stdout, "setup failed: %s\n", qPrintable(websockify.errorString()));
        return 1;
    }

    // Raw pass-through.
    QThread rawThread;
    rawThread.setObjectName(QStringLiteral("rawclient"));
    rawThread.start();
    auto *raw = new RawClient(websockify.port());
    raw->moveToThread(&rawThread);
    QMetaObject::invokeMethod(
        raw, [raw] { raw->open(); }, Qt::QueuedConnection);
    waitUntil([raw] { return raw->isUp.loadAcquire() == 1; }, 20000);
    Qt::HANDLE rawThreadId = nullptr;
    QMetaObject::invokeMethod(
        raw, [&rawThreadId] { rawThreadId = QThread::currentThreadId(); },
        Qt::BlockingQueuedConnection);
    RawDriver rawDriver(raw);
    const Figures rawFigures = measure(rawDriver, rawThreadId, websockify.processId(), options);
    const bool rawIntact = raw->broken.loadAcquire() == 0;
    QMetaObject::invokeMethod(
        raw, [raw] { delete raw; }, Qt::BlockingQueuedConnection);
    rawThread.quit();
    rawThread.wait();

    // The agent.
    FrameServer server;
    ConfigDir dir;
    dir.writeServer(QStringLiteral("127.0.0.1"), server.port());
    QThread agentThread;
    agentThread.setObjectName(QStringLiteral("agent"));
    agentThread.start();
    auto *client = new Client;
    client->setProxyHost(QStringLiteral("127.0.0.1"));
    client->setProxyPort(websockify.portText());
    client->moveToThread(&agentThread);
    QAtomicInt proxyUp{0};
    QObject::connect(client, &Client::connectedToProxy, client,
                     [&proxyUp] { proxyUp.storeRelease(1); });
    QMetaObject::invokeMethod(client, "run", Qt::QueuedConnection);
    waitUntil([&server] { return server.upgraded(); }, 20000);
    server.sendMessage(QByteArray::fromStdString(velmora::envelope::startSessionEnvelope()));
    waitUntil([&proxyUp] { return proxyUp.loadAcquire() == 1; }, 20000);
    Qt::HANDLE agentThreadId = nullptr;
    QMetaObject::invokeMethod(
        client, [&agentThreadId] { agentThreadId = QThread::currentThreadId(); },
        Qt::BlockingQueuedConnection);
    const Figures agent = measure(server, agentThreadId, websockify.processId(), options);
    QMetaObject::invokeMethod(
        client, [client] { delete client; }, Qt::BlockingQueuedConnection);
    agentThread.quit();
    agentThread.wait();

    std::printf("debug output %s (%lld MB streamed per path, %d frames for round trips)\n",
                debugOn ? "ON (Qt default, written to a null device)" : "OFF",
                static_cast<long long>(options.megabytes), options.rttFrames);
    std::printf("  %-18s %8s %11s %11s %11s %10s %10s\n", "", "MB/s", "client CPU", "driver CPU",
                "websockify", "RTT p50", "RTT p99");
    std::printf("  %-18s %8s %11s %11s %11s %10s %10s\n", "", "payload", "ms/MB", "ms/MB",
                "CPU ms/MB", "ms", "ms");
    auto row = [](const char *name, const Figures &f) {
        std::printf("  %-18s %8.1f %11.2f %11.2f %11.2f %10.3f %10.3f\n", name, f.mbPerSecond,
                    f.cpuMsPerMb, f.mainCpuMsPerMb, f.websockifyCpuMsPerMb, f.rttP50Ms, f.rttP99Ms);
    };
    row("raw pass-through", rawFigures);
    row("agent relay", agent);
    std::printf("  agent/raw payload rate: %.2f   streams intact: raw %s, agent %s\n",
                agent.mbPerSecond / rawFigures.mbPerSecond, rawIntact ? "yes" : "NO",
                server.intact() ? "yes" : "NO");
    std::fflush(stdout);
    return 0;
}

int runBoth(const QStringList &arguments)
{
    std::printf(
        "client CPU: the Client's thread (agent) or the raw WebSocket client's thread;\n"
        "driver CPU: the main thread (TCP echo, and for the agent the in-process server);\n"
        "websockify CPU: its processes. RTT: one frame at a time, sent until all back.\n\n");
    codecFigures();
    std::fflush(stdout);
    int status = 0;
    for (const bool debugOn : {true, false}) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (debugOn)
            env.remove(QStringLiteral("QT_LOGGING_RULES"));
        else
            env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("default.debug=false"));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        child.setStandardErrorFile(QProcess::nullDevice());
        child.start(QCoreApplication::applicationFilePath(),
                    QStringList{QStringLiteral("--child")} + arguments);
        if (!child.waitForFinished(-1) || child.exitCode() != 0)
            status = 1;
    }
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Options options;
    bool child = false;
    QStringList passOn;
    // A whole number within [low, high], or the usage message.
    auto number = [](const QString &text, qint64 low, qint64 high, qint64 *out) {
        bool ok = false;
        const qint64 value = text.toLongLong(&ok);
        if (!ok || value < low || value > high)
            return false;
        *out = value;
        return true;
    };
    const QStringList args = app.arguments().mid(1);
    bool usable = true;
    for (int i = 0; i < args.size() && usable; ++i) {
        qint64 frames = options.rttFrames;
        if (args[i] == QLatin1String("--child")) {
            child = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            usable = false;
        } else if (args[i] == QLatin1String("--megabytes")) {
            // The stream, its envelopes and what comes back are held in memory: about four times
            // this.
            usable = number(args[i + 1], 1, 1024, &options.megabytes);
        } else if (args[i] == QLatin1String("--window")) {
            usable = number(args[i + 1], 1, 1 << 20, &options.windowKib);
        } else if (args[i] == QLatin1String("--frames")) {
            usable = number(args[i + 1], 1, 100000, &frames);
            options.rttFrames = int(frames);
        } else {
            usable = false;
        }
        if (usable)
            passOn << args[i] << args[i + 1];
        ++i;
    }
    if (!usable) {
        std::fprintf(stderr, "usage: bench_relay [--megabytes 1..1024] [--window 1..1048576 KiB] "
                             "[--frames 1..100000]\n");
        return 2;
    }
    return child ? runChild(options) : runBoth(passOn);
}
