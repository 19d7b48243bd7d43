// Load on the rendezvous server, over loopback only: many idle agents held at once (memory per
// agent, CPU at idle) and several relayed sessions at once (throughput against one session),
// then the same sessions with the supporters over wss: a second server with TLS on its port
// (a certificate made for the run by tests/support/testcertificates.sh) and the agents on its
// plain listener. The servers run as child processes so that their own memory and CPU are
// measured.
//
// The server relays a session only after it has followed an RFB security handshake with VNC
// authentication, so each session first goes through a minimal one: the bench agent plays the VNC
// server (RFB 3.8, one security type, a challenge, SecurityResult "OK" whatever the response) and
// the bench supporter plays the viewer. The handshake is timed apart; the relay figures count only
// the bytes that follow it.
//
//   bench_load [--agents N] [--sessions K] [--seconds S]
#include "protocol/base64.h"
#include "protocol/envelope.h"
#include "server/beast/beast.h"
#include "server/beast/tlscontext.h"
#include "server/beast/transport.h"

#include <boost/asio/steady_timer.hpp>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using namespace velmora::server;
using Clock = std::chrono::steady_clock;
using WebSocket = websocket::stream<Transport>;

namespace {

constexpr std::string_view kRfbVersion = "RFB 003.008\n";
constexpr char kVncAuth = 2;
constexpr std::size_t kChallengeSize = 16;

struct Settings
{
    int agents = 10000;
    int sessions = 4;
    double seconds = 5;
};

void raiseDescriptorLimit()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

// A temporary folder, removed with what it holds.
class TemporaryFolder
{
public:
    TemporaryFolder()
    {
        char folder[] = "/tmp/velmora-bench-XXXXXX";
        if (!mkdtemp(folder))
            throw std::runtime_error("mkdtemp failed");
        path = folder;
    }
    ~TemporaryFolder() { std::filesystem::remove_all(path); }
    TemporaryFolder(const TemporaryFolder &) = delete;
    TemporaryFolder &operator=(const TemporaryFolder &) = delete;

    std::string path;
};

// The server as a child process, on a free port, with a secret in a temporary folder and
// `extra` flags.
class ServerChild
{
public:
    explicit ServerChild(const std::vector<std::string> &extra = {})
    {
        const std::string secret = directory.path + "/secret";
        // Pings every 5 s, so that the idle measurement includes keepalive. The probe limit and
        // the ID locks keep their defaults: every supporter of the bench asks once for an online
        // agent's ID and passes the handshake, which touches neither (the counters printed at
        // the end show it).
        std::vector<std::string> arguments{
            "velmora-server", "--listen",       "127.0.0.1:0", "--secret-file",
            secret,           "--idle-timeout", "10"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        std::vector<char *> argv;
        for (std::string &argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        const bool withPlain =
            std::find(extra.begin(), extra.end(), "--plain-listen") != extra.end();
        int pipeFds[2];
        if (pipe(pipeFds) != 0)
            throw std::runtime_error("pipe failed");
        pid = fork();
        if (pid == 0) {
            dup2(pipeFds[1], STDERR_FILENO);
            close(pipeFds[0]);
            execv(VELMORA_SERVER_BIN, argv.data());
            _exit(127);
        }
        close(pipeFds[1]);
        log = fdopen(pipeFds[0], "r");
        char line[512];
        const char *listening = "listening on 127.0.0.1:";
        while ((port == 0 || (withPlain && plainPort == 0)) && fgets(line, sizeof line, log)) {
            const char *at = std::strstr(line, listening);
            if (!at)
                continue;
            const auto bound = static_cast<std::uint16_t>(std::atoi(at + std::strlen(listening)));
            if (std::strstr(line, "(plain)"))
                plainPort = bound;
            else
                port = bound;
        }
        if (port == 0 || (withPlain && plainPort == 0))
            throw std::runtime_error("the server did not start");
        // Keep draining its log so that it never blocks on a full pipe.
        drainer = fork();
        if (drainer == 0) {
            while (fgets(line, sizeof line, log)) {
            }
            _exit(0);
        }
    }

    ~ServerChild()
    {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        waitpid(drainer, &status, 0);
        fclose(log);
    }

    /// Resident memory in kB.
    long residentKb() const
    {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0)
                return std::atol(line.c_str() + 6);
        }
        return -1;
    }

    /// User plus system CPU time in seconds.
    double cpuSeconds() const
    {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        unsigned long long utime = 0;
        unsigned long long stime = 0;
        for (int index = 3; fields >> field; ++index) {
            if (index == 14)
                utime = std::stoull(field);
            if (index == 15) {
                stime = std::stoull(field);
                break;
            }
        }
        return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
    }

    /// Its --listen port (TLS with TLS flags), and its --plain-listen port if asked for one.
    std::uint16_t port = 0;
    std::uint16_t plainPort = 0;

private:
    TemporaryFolder directory;
    pid_t pid = -1;
    pid_t drainer = -1;
    FILE *log = nullptr;
};

// Writes one WebSocket message at a time, as Beast requires, in the order they were queued.
// `then` runs whenever the queue has been written out.
class WriteQueue
{
public:
    void push(WebSocket &ws, std::shared_ptr<void> owner, std::string message,
              std::function<void()> then = {})
    {
        outgoing.push_back(std::move(message));
        if (then)
            drained = std::move(then);
        if (!writing)
            next(ws, std::move(owner));
    }

private:
    void next(WebSocket &ws, std::shared_ptr<void> owner)
    {
        if (outgoing.empty()) {
            if (auto then = std::exchange(drained, nullptr))
                then();
            return;
        }
        writing = true;
        ws.async_write(net::buffer(outgoing.front()),
                       [this, &ws, owner](const beast::error_code &ec, std::size_t) {
                           writing = false;
                           if (ec)
                               return;
                           outgoing.pop_front();
                           next(ws, owner);
                       });
    }

    std::deque<std::string> outgoing;
    std::function<void()> drained;
    bool writing = false;
};

// An agent as the bench plays it: connects and takes its ID. With a `frame`, it answers
// "start_session" as the VNC server of a minimal handshake and then sends `frame` envelopes back
// to back.
class BenchAgent : public std::enable_shared_from_this<BenchAgent>
{
public:
    BenchAgent(net::io_context &io, std::uint16_t port, std::function<void(BenchAgent &)> ready)
        : ws(tcp::socket(io), nullptr), port(port), ready(std::move(ready))
    {}

    void start()
    {
        auto self = shared_from_this();
        beast::get_lowest_layer(ws).async_connect(
            tcp::endpoint(net::ip::make_address("127.0.0.1"), port),
            [self](const beast::error_code &ec) {
                if (ec)
                    return self->fail(ec);
                self->ws.set_option(
                    websocket::stream_base::decorator([](websocket::request_type &request) {
                        request.set(http::field::cookie, "VELMORA-SESSION-TOKEN=");
                    }));
                self->ws.async_handshake("127.0.0.1", "/", [self](const beast::error_code &error) {
                    if (error)
                        return self->fail(error);
                    self->ws.binary(true);
                    self->read();
                });
            });
    }

    void read()
    {
        ws.async_read(
            buffer, [self = shared_from_this()](const beast::error_code &ec, std::size_t) {
                if (ec)
                    return;
                const std::string message = beast::buffers_to_string(self->buffer.data());
                self->buffer.consume(self->buffer.size());
                if (message.find("\"connection_info\"") != std::string::npos) {
                    const auto at = message.find("\"id\":\"");
                    self->id = message.substr(at + 6, 9);
                    self->ready(*self);
                } else if (message.find("\"start_session\"") != std::string::npos && self->frame &&
                           self->phase == Phase::Idle) {
                    self->phase = Phase::ClientVersion;
                    self->sendRfb(std::string(kRfbVersion));
                } else if (self->phase != Phase::Idle && self->phase != Phase::Streaming) {
                    self->handshake(message);
                }
                self->read();
            });
    }

    void pump()
    {
        if (stopped)
            return;
        ws.async_write(net::buffer(*frame),
                       [self = shared_from_this()](const beast::error_code &ec, std::size_t) {
                           if (!ec)
                               self->pump();
                       });
    }

    void fail(const beast::error_code &ec)
    {
        ++failures;
        if (failures < 5)
            std::fprintf(stderr, "agent failed: %s\n", ec.message().c_str());
    }

    WebSocket ws;
    beast::flat_buffer buffer;
    std::uint16_t port;
    std::function<void(BenchAgent &)> ready;
    std::string id;
    std::shared_ptr<const std::string> frame;
    bool stopped = false;
    static inline int failures = 0;

private:
    enum class Phase { Idle, ClientVersion, Choice, Response, Streaming, Failed };

    void sendRfb(std::string_view bytes, std::function<void()> then = {})
    {
        writes.push(ws, shared_from_this(),
                    velmora::envelope::rfbEnvelope(velmora::envelope::kApiVersion, bytes),
                    std::move(then));
    }

    // The viewer's handshake bytes, relayed by the server in "rfb" envelopes.
    void handshake(const std::string &message)
    {
        const auto json = velmora::envelope::parse(velmora::envelope::untilZero(message));
        const std::string *payload =
            json ? velmora::envelope::stringMember(*json, "payload") : nullptr;
        if (!payload)
            return handshakeFailed("a message that is not an \"rfb\" envelope");
        received += velmora::base64::decode(*payload);
        for (;;) {
            switch (phase) {
            case Phase::ClientVersion:
                if (received.size() < kRfbVersion.size())
                    return;
                if (std::string_view(received).substr(0, kRfbVersion.size()) != kRfbVersion)
                    return handshakeFailed("the viewer's version");
                received.erase(0, kRfbVersion.size());
                sendRfb(std::string{'\x01', kVncAuth});
                phase = Phase::Choice;
                continue;
            case Phase::Choice:
                if (received.empty())
                    return;
                if (received[0] != kVncAuth)
                    return handshakeFailed("the viewer's security type");
                received.erase(0, 1);
                sendRfb(challenge());
                phase = Phase::Response;
                continue;
            case Phase::Response:
                if (received.size() < kChallengeSize)
                    return;
                received.erase(0, kChallengeSize);
                phase = Phase::Streaming;
                // Any response is right: SecurityResult "OK", then the desktop's frames.
                sendRfb(std::string(4, '\0'), [self = shared_from_this()] { self->pump(); });
                return;
            default:
                return;
            }
        }
    }

    std::string challenge()
    {
        std::mt19937 random(static_cast<unsigned>(std::hash<std::string>()(id)));
        std::string bytes(kChallengeSize, '\0');
        for (char &c : bytes)
            c = static_cast<char>(random());
        return bytes;
    }

    void handshakeFailed(const char *what)
    {
        phase = Phase::Failed;
        std::fprintf(stderr, "agent id=%s: unexpected handshake bytes: %s\n", id.c_str(), what);
    }

    Phase phase = Phase::Idle;
    std::string received;
    WriteQueue writes;
};

// A supporter that plays the viewer of a minimal handshake, then counts what it receives; over
// wss with `tls`.
class BenchSupporter : public std::enable_shared_from_this<BenchSupporter>
{
public:
    BenchSupporter(net::io_context &io, std::uint16_t port, std::string id, ssl::context *tls)
        : ws(tcp::socket(io), tls), port(port), id(std::move(id))
    {}

    void start()
    {
        auto self = shared_from_this();
        beast::get_lowest_layer(ws).async_connect(
            tcp::endpoint(net::ip::make_address("127.0.0.1"), port),
            [self](const beast::error_code &ec) {
                if (ec)
                    return self->failed("connect: " + ec.message());
                if (!self->ws.next_layer().secure())
                    return self->upgrade();
                if (!self->ws.next_layer().expectHost("127.0.0.1"))
                    return self->failed("TLS: the host to check");
                self->ws.next_layer().async_handshake(
                    ssl::stream_base::client, [self](const beast::error_code &error) {
                        if (error)
                            return self->failed("TLS: " + error.message());
                        self->upgrade();
                    });
            });
    }

    void upgrade()
    {
        ws.async_handshake("127.0.0.1", "/viewer/" + id,
                           [self = shared_from_this()](const beast::error_code &ec) {
                               if (ec)
                                   return self->failed("upgrade: " + ec.message());
                               // The server drops text messages from viewers.
                               self->ws.binary(true);
                               self->opened = Clock::now();
                               self->read();
                           });
    }

    void read()
    {
        ws.async_read(buffer,
                      [self = shared_from_this()](const beast::error_code &ec, std::size_t size) {
                          if (ec) {
                              if (self->phase != Phase::Streaming) {
                                  const auto &reason = self->ws.reason();
                                  self->failed(ec == websocket::error::closed
                                                   ? "closed " + std::to_string(reason.code) + " " +
                                                         std::string(reason.reason.c_str())
                                                   : ec.message());
                              }
                              return;
                          }
                          if (self->phase == Phase::Streaming) {
                              self->bytes += size;
                          } else {
                              self->received += beast::buffers_to_string(self->buffer.data());
                              self->handshake();
                          }
                          self->buffer.consume(self->buffer.size());
                          self->read();
                      });
    }

    bool streaming() const { return phase == Phase::Streaming; }
    bool hasFailed() const { return phase == Phase::Failed; }
    /// From the WebSocket upgrade to the SecurityResult.
    double handshakeSeconds() const
    {
        return std::chrono::duration<double>(accepted - opened).count();
    }

    WebSocket ws;
    beast::flat_buffer buffer;
    std::uint16_t port;
    std::string id;
    /// Bytes relayed after the handshake.
    std::uint64_t bytes = 0;
    std::string problem;

private:
    enum class Phase { Version, Types, Challenge, Result, Streaming, Failed };

    void send(std::string bytes) { writes.push(ws, shared_from_this(), std::move(bytes)); }

    void handshake()
    {
        for (;;) {
            switch (phase) {
            case Phase::Version:
                if (received.size() < kRfbVersion.size())
                    return;
                if (received.compare(0, 8, "RFB 003.") != 0)
                    return failed("not an RFB version: " + received.substr(0, 12));
                received.erase(0, kRfbVersion.size());
                send(std::string(kRfbVersion));
                phase = Phase::Types;
                continue;
            case Phase::Types: {
                if (received.empty())
                    return;
                const std::size_t count = std::uint8_t(received[0]);
                if (count == 0)
                    return failed("the server offers no security type");
                if (received.size() < 1 + count)
                    return;
                if (received.find(kVncAuth, 1) > count)
                    return failed("no VNC authentication offered");
                received.erase(0, 1 + count);
                send(std::string(1, kVncAuth));
                phase = Phase::Challenge;
                continue;
            }
            case Phase::Challenge:
                if (received.size() < kChallengeSize)
                    return;
                received.erase(0, kChallengeSize);
                // The bench agent takes any response.
                send(std::string(kChallengeSize, '\x5a'));
                phase = Phase::Result;
                continue;
            case Phase::Result:
                if (received.size() < 4)
                    return;
                if (received.compare(0, 4, std::string(4, '\0')) != 0)
                    return failed("SecurityResult was not OK");
                received.erase(0, 4);
                phase = Phase::Streaming;
                accepted = Clock::now();
                // Desktop bytes that came with the result belong to the relayed stream.
                bytes += received.size();
                received.clear();
                return;
            default:
                return;
            }
        }
    }

    void failed(const std::string &why)
    {
        if (phase == Phase::Failed)
            return;
        phase = Phase::Failed;
        problem = "supporter for id=" + id + ": " + why;
    }

    Phase phase = Phase::Version;
    std::string received;
    WriteQueue writes;
    Clock::time_point opened;
    Clock::time_point accepted;
};

void runFor(net::io_context &io, Clock::duration duration)
{
    io.restart();
    io.run_for(duration);
}

// Connects `count` idle agents, at most `inFlight` handshakes at a time.
std::vector<std::shared_ptr<BenchAgent>> connectAgents(net::io_context &io, std::uint16_t port,
                                                       int count, double &seconds)
{
    std::vector<std::shared_ptr<BenchAgent>> agents;
    int readyCount = 0;
    int started = 0;
    const int inFlight = 256;
    std::function<void()> startOne;
    startOne = [&] {
        if (started >= count)
            return;
        ++started;
        auto agent = std::make_shared<BenchAgent>(io, port, [&](BenchAgent &) {
            ++readyCount;
            startOne();
        });
        agents.push_back(agent);
        agent->start();
    };
    const auto begin = Clock::now();
    for (int i = 0; i < inFlight; ++i)
        startOne();
    const auto deadline = begin + std::chrono::seconds(120);
    io.restart();
    while (readyCount < count && Clock::now() < deadline && BenchAgent::failures == 0)
        io.run_for(std::chrono::milliseconds(50));
    seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    if (readyCount < count)
        throw std::runtime_error("only " + std::to_string(readyCount) + " of " +
                                 std::to_string(count) + " agents got an ID");
    return agents;
}

struct RelayFigures
{
    /// Relayed payload after the handshakes, in MB/s over the timed window.
    double megabytesPerSecond = 0;
    /// The slowest session's handshake, in milliseconds.
    double slowestHandshakeMs = 0;
    /// The server's CPU time per MB relayed, in milliseconds.
    double serverCpuMsPerMegabyte = 0;
};

// Where a session's two ends connect: the agent at `agentPort`, the supporter at
// `supporterPort`, over wss when `tls` is set.
struct SessionPorts
{
    std::uint16_t agentPort = 0;
    std::uint16_t supporterPort = 0;
    ssl::context *tls = nullptr;
};

// `count` sessions through `server`, each streaming desktop frames of `frameSize` bytes from
// agent to supporter after its handshake, timed over `seconds` once every session is streaming.
RelayFigures sessionThroughput(net::io_context &io, const ServerChild &server,
                               const SessionPorts &ports, int count, double seconds,
                               std::size_t frameSize)
{
    std::mt19937 random(1);
    std::string frameBytes(frameSize, '\0');
    for (char &c : frameBytes)
        c = static_cast<char>(random());
    const auto envelope = std::make_shared<const std::string>(
        velmora::envelope::rfbEnvelope(velmora::envelope::kApiVersion, frameBytes));

    std::vector<std::shared_ptr<BenchAgent>> agents;
    int ready = 0;
    for (int i = 0; i < count; ++i) {
        auto agent =
            std::make_shared<BenchAgent>(io, ports.agentPort, [&](BenchAgent &) { ++ready; });
        agent->frame = envelope;
        agents.push_back(agent);
        agent->start();
    }
    io.restart();
    while (ready < count)
        io.run_for(std::chrono::milliseconds(10));
    // Every supporter asks for the ID of an agent that is online, once: the server's limit on
    // probes per address and its locks per ID do not come into play.
    std::vector<std::shared_ptr<BenchSupporter>> supporters;
    for (const auto &agent : agents) {
        supporters.push_back(
            std::make_shared<BenchSupporter>(io, ports.supporterPort, agent->id, ports.tls));
        supporters.back()->start();
    }
    const auto allStreaming = [&] {
        for (const auto &supporter : supporters) {
            if (supporter->hasFailed())
                throw std::runtime_error(supporter->problem);
            if (!supporter->streaming())
                return false;
        }
        return true;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    io.restart();
    while (!allStreaming()) {
        if (Clock::now() > deadline)
            throw std::runtime_error("not every session finished its handshake within 20 s");
        io.run_for(std::chrono::milliseconds(1));
    }
    RelayFigures figures;
    for (const auto &supporter : supporters)
        figures.slowestHandshakeMs =
            std::max(figures.slowestHandshakeMs, supporter->handshakeSeconds() * 1000);
    // Let the sessions get going before measuring.
    runFor(io, std::chrono::milliseconds(500));
    std::uint64_t before = 0;
    for (const auto &supporter : supporters)
        before += supporter->bytes;
    const double cpuBefore = server.cpuSeconds();
    const auto begin = Clock::now();
    runFor(io, std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
    const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    const double cpu = server.cpuSeconds() - cpuBefore;
    std::uint64_t after = 0;
    for (const auto &supporter : supporters)
        after += supporter->bytes;
    for (const auto &agent : agents) {
        agent->stopped = true;
        beast::error_code ignored;
        beast::get_lowest_layer(agent->ws).socket().close(ignored);
    }
    for (const auto &supporter : supporters) {
        beast::error_code ignored;
        beast::get_lowest_layer(supporter->ws).socket().close(ignored);
    }
    runFor(io, std::chrono::milliseconds(200));
    figures.megabytesPerSecond = double(after - before) / elapsed / 1e6;
    figures.serverCpuMsPerMegabyte = cpu * 1000 / (double(after - before) / 1e6);
    return figures;
}

// The server's certificate for the TLS run, made by the tests' script into `folder`.
void makeCertificates(const std::string &folder)
{
    const std::string command =
        std::string("bash '") + VELMORA_TEST_CERTIFICATES + "' '" + folder + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("making the certificates failed (is the openssl CLI there?)");
}

// The server's own counters: "name{labels} value" lines of GET /metrics whose name starts with
// `prefix` and whose value is not zero, joined with ", "; "none" when there are none.
std::string nonZeroMetrics(const std::string &metrics, const std::string &prefix)
{
    std::istringstream lines(metrics);
    std::string line;
    std::string out;
    while (std::getline(lines, line)) {
        if (line.rfind(prefix, 0) != 0)
            continue;
        const auto space = line.rfind(' ');
        if (space == std::string::npos || line.substr(space + 1) == "0")
            continue;
        out += (out.empty() ? "" : ", ") + line.substr(prefix.size());
    }
    return out.empty() ? "none" : out;
}

std::string fetchMetrics(net::io_context &io, std::uint16_t port)
{
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    http::request<http::empty_body> request(http::verb::get, "/metrics", 11);
    request.set(http::field::host, "127.0.0.1");
    http::write(socket, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(socket, buffer, response);
    beast::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    return response.body();
}

Settings parse(int argc, char **argv)
{
    Settings settings;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--agents")
            settings.agents = std::atoi(argv[i + 1]);
        else if (flag == "--sessions")
            settings.sessions = std::atoi(argv[i + 1]);
        else if (flag == "--seconds")
            settings.seconds = std::atof(argv[i + 1]);
        else
            throw std::runtime_error("usage: bench_load [--agents N] [--sessions K] [--seconds S]");
    }
    if (settings.agents < 1 || settings.sessions < 1 || settings.seconds <= 0 ||
        settings.seconds > 60 || settings.agents > 15000)
        throw std::runtime_error("out of range (agents 1..15000, seconds up to 60)");
    return settings;
}

} // namespace

int main(int argc, char **argv)
{
    try {
        const Settings settings = parse(argc, argv);
        raiseDescriptorLimit();
        ServerChild server;
        net::io_context io;
        runFor(io, std::chrono::milliseconds(200));
        const long baseKb = server.residentKb();

        double connectSeconds = 0;
        auto agents = connectAgents(io, server.port, settings.agents, connectSeconds);
        runFor(io, std::chrono::milliseconds(500));
        const long heldKb = server.residentKb();
        std::printf("idle agents:        %d connected in %.2f s (%.0f per second)\n",
                    settings.agents, connectSeconds, settings.agents / connectSeconds);
        std::printf("server memory:      %ld kB at start, %ld kB with the agents: %.1f kB per "
                    "agent\n",
                    baseKb, heldKb, double(heldKb - baseKb) / settings.agents);

        const double cpuBefore = server.cpuSeconds();
        const double window = 10;
        runFor(io, std::chrono::seconds(10));
        const double cpuIdle = (server.cpuSeconds() - cpuBefore) / window * 100;
        std::printf("server CPU at idle: %.2f %% of one core over %.0f s (keepalive pings every "
                    "5 s)\n",
                    cpuIdle, window);
        for (const auto &agent : agents) {
            beast::error_code ignored;
            beast::get_lowest_layer(agent->ws).socket().close(ignored);
        }
        agents.clear();
        runFor(io, std::chrono::seconds(1));

        const std::size_t frameSize = 64 * 1024;
        const SessionPorts plainPorts{server.port, server.port, nullptr};
        const RelayFigures one =
            sessionThroughput(io, server, plainPorts, 1, settings.seconds, frameSize);
        const RelayFigures many = sessionThroughput(io, server, plainPorts, settings.sessions,
                                                    settings.seconds, frameSize);

        // The same workload with the supporters over wss.
        TemporaryFolder certificates;
        makeCertificates(certificates.path);
        ServerChild tlsServer({"--tls-cert", certificates.path + "/server.crt", "--tls-key",
                               certificates.path + "/server.key", "--plain-listen", "127.0.0.1:0"});
        const auto tls = clientTlsContext(certificates.path + "/ca.crt");
        const SessionPorts tlsPorts{tlsServer.plainPort, tlsServer.port, tls.get()};
        const RelayFigures tlsOne =
            sessionThroughput(io, tlsServer, tlsPorts, 1, settings.seconds, frameSize);
        const RelayFigures tlsMany = sessionThroughput(io, tlsServer, tlsPorts, settings.sessions,
                                                       settings.seconds, frameSize);

        std::printf("relay, 64 KiB frames agent to supporter, bench clients in one thread, timed "
                    "after each session's VNC handshake; TLS: a second server with --tls-cert, "
                    "the supporters over wss, the agents on its plain listener:\n");
        std::printf(
            "  1 session:        %.1f MB/s (handshake %.1f ms; server CPU %.2f ms per MB)\n",
            one.megabytesPerSecond, one.slowestHandshakeMs, one.serverCpuMsPerMegabyte);
        std::printf("  1 session, TLS:   %.1f MB/s (%.2f x plain; handshake %.1f ms; server CPU "
                    "%.2f ms per MB)\n",
                    tlsOne.megabytesPerSecond, tlsOne.megabytesPerSecond / one.megabytesPerSecond,
                    tlsOne.slowestHandshakeMs, tlsOne.serverCpuMsPerMegabyte);
        std::printf("  %d sessions:       %.1f MB/s in all (%.2f x one session, %.1f MB/s each; "
                    "slowest handshake %.1f ms; server CPU %.2f ms per MB)\n",
                    settings.sessions, many.megabytesPerSecond,
                    many.megabytesPerSecond / one.megabytesPerSecond,
                    many.megabytesPerSecond / settings.sessions, many.slowestHandshakeMs,
                    many.serverCpuMsPerMegabyte);
        std::printf("  %d sessions, TLS:  %.1f MB/s in all (%.2f x plain; %.2f x one session, "
                    "%.1f MB/s each; slowest handshake %.1f ms; server CPU %.2f ms per MB)\n",
                    settings.sessions, tlsMany.megabytesPerSecond,
                    tlsMany.megabytesPerSecond / many.megabytesPerSecond,
                    tlsMany.megabytesPerSecond / tlsOne.megabytesPerSecond,
                    tlsMany.megabytesPerSecond / settings.sessions, tlsMany.slowestHandshakeMs,
                    tlsMany.serverCpuMsPerMegabyte);
        std::printf("server memory after: %ld kB\n", server.residentKb());
        for (const auto &[name, port] :
             {std::pair{"server's", server.port}, std::pair{"TLS server's", tlsServer.plainPort}}) {
            const std::string metrics = fetchMetrics(io, port);
            std::printf("%s counters: handshakes %s; supporters refused: %s; ID locks: %s\n", name,
                        nonZeroMetrics(metrics, "velmora_handshakes_total").c_str(),
                        nonZeroMetrics(metrics, "velmora_supporter_refusals_total").c_str(),
                        nonZeroMetrics(metrics, "velmora_lockouts_total ").c_str());
        }
        return 0;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench_load: %s\n", error.what());
        return 1;
    }
}
