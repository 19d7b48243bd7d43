// Load on the rendezvous server, over loopback only. A crowd of idle agents (100,000 by default)
// connects from many loopback source addresses (127.0.0.2 and up, fewer agents from each than
// the server's limit per address), so that neither the bench's ports nor that limit run out;
// it is held through two of the server's keepalive rounds, each agent pinging too as the real
// one does (memory and descriptors per agent, CPU at idle). Beside the crowd, a live session's
// round trips and the throughput of relayed sessions; then the same once the crowd has left.
// Then the sessions with the supporters over wss: a second server with TLS on its port (a
// certificate made for the run by tests/support/testcertificates.sh) and the agents on its
// plain listener. The servers run as child processes so that their own memory and CPU are
// measured; each holds a descriptor per agent, so the bench raises the limit on open files
// that they inherit (as root; otherwise the hard limit must allow it already).
//
// With --cluster the run is a cluster's instead: a Redis child (nothing saved, a Unix socket in a
// temporary folder, no TCP port) and three server nodes with --redis and one secret file, each on
// a port of its own choosing, which it also gives the others as its address. Idle agents are
// spread round-robin over the nodes (memory per agent on each node, Redis memory per agent), then
// the same sessions twice: each supporter on its agent's node, then each on the next node, which
// carries it to the agent's node over a WebSocket of its own; the ratio of the two is the cost of
// that extra hop. The two alternate over three rounds, and the figures are medians, so that a
// shared machine's changing load falls on both.
//
// The server relays a session only after it has followed an RFB security handshake with VNC
// authentication, so each session first goes through a minimal one: the bench agent plays the VNC
// server (RFB 3.8, one security type, a challenge, SecurityResult "OK" whatever the response) and
// the bench supporter plays the viewer. The handshake is timed apart; the relay figures count only
// the bytes that follow it.
//
//   bench_load [--agents N] [--sessions K] [--seconds S] [--idle-timeout S] [--agent-ping S]
//              [--cluster]
#include "protocol/base64.h"
#include "protocol/envelope.h"
#include "server/beast/beast.h"
#include "server/beast/tlscontext.h"
#include "server/beast/transport.h"

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
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
    /// Idle agents; 0: 100,000 on one server, 10,000 over a cluster's nodes.
    int agents = 0;
    int sessions = 4;
    double seconds = 5;
    /// The servers' --idle-timeout: they ping every half of it (30 s is the server's default).
    int idleTimeout = 30;
    /// Each idle agent pings every this many seconds, as the real agent does; 0: never.
    int agentPing = 10;
    bool cluster = false;
};

// The bench and each server hold a descriptor per idle agent, and the servers inherit the
// bench's limit. Raising the hard limit needs root (CAP_SYS_RESOURCE); without it the hard limit
// in force must be high enough already.
void raiseDescriptorLimit(int agents)
{
    const rlim_t needed = rlim_t(agents) + 1024;
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed)
        limit.rlim_max = needed;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        throw std::runtime_error("cannot raise the limit on open files to " +
                                 std::to_string(needed) + " (" + std::strerror(errno) +
                                 "): run as root, or raise the hard limit (ulimit -Hn) first");
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

// In a child between fork and exec: it is killed when the bench ends, however the bench ends.
void dieWithParent(pid_t parent)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(1);
}

// Starts `program` (looked up on PATH) with `arguments` (the first is its name) as a child that
// dies with this process; its standard error goes to `stderrFd` unless that is negative.
pid_t spawnChild(const char *program, std::vector<std::string> arguments, int stderrFd = -1)
{
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dieWithParent(parent);
        if (stderrFd >= 0)
            dup2(stderrFd, STDERR_FILENO);
        execvp(program, argv.data());
        _exit(127);
    }
    return pid;
}

// Ends child `pid`: SIGTERM, SIGKILL if it is still there after 10 s.
void endChild(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    int status = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

/// Resident memory of process `pid` in kB.
long residentKbOf(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

/// Descriptors that process `pid` holds open.
long descriptorsOf(pid_t pid)
{
    std::error_code ec;
    long count = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++count;
    return count;
}

/// The kernel's slab memory in kB (all processes: socket structures live there).
long slabKb()
{
    std::ifstream meminfo("/proc/meminfo");
    std::string line;
    while (std::getline(meminfo, line)) {
        if (line.rfind("Slab:", 0) == 0)
            return std::atol(line.c_str() + 5);
    }
    return -1;
}

/// User plus system CPU time of process `pid` in seconds.
double cpuSecondsOf(pid_t pid)
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

// The server as a child process, on a free port, with a secret in a temporary folder (or the
// one at `secretFile`, for nodes of one cluster) and `extra` flags. With --redis among them it
// is started once it has named itself as a node; it may not be connected to Redis yet.
class ServerChild
{
public:
    explicit ServerChild(const std::vector<std::string> &extra = {}, std::string secretFile = {})
    {
        const std::string secret =
            secretFile.empty() ? directory.path + "/secret" : std::move(secretFile);
        // Every limit keeps its default unless `extra` says otherwise: the idle agents come
        // from many source addresses, at most kAgentsPerSource from each. The probe limit and
        // the ID locks are not touched either: every supporter of the bench asks once for an
        // online agent's ID and passes the handshake (the counters printed at the end show it).
        std::vector<std::string> arguments{"velmora-server", "--listen", "127.0.0.1:0",
                                           "--secret-file", secret};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        const bool withPlain =
            std::find(extra.begin(), extra.end(), "--plain-listen") != extra.end();
        const bool inCluster = std::find(extra.begin(), extra.end(), "--redis") != extra.end();
        // Close-on-exec, so that servers started later do not hold this one's log open.
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        pid = spawnChild(VELMORA_SERVER_BIN, std::move(arguments), pipeFds[1]);
        close(pipeFds[1]);
        log = fdopen(pipeFds[0], "r");
        char line[512];
        std::string last;
        const char *listening = "listening on 127.0.0.1:";
        const char *joined = "cluster node ";
        const auto started = [&] {
            return port != 0 && (!withPlain || plainPort != 0) && (!inCluster || !node.empty());
        };
        while (!started() && fgets(line, sizeof line, log)) {
            last = line;
            if (const char *at = std::strstr(line, joined)) {
                node = std::string(at + std::strlen(joined));
                node = node.substr(0, node.find_first_of(" \n"));
                continue;
            }
            const char *at = std::strstr(line, listening);
            if (!at)
                continue;
            const auto bound = static_cast<std::uint16_t>(std::atoi(at + std::strlen(listening)));
            if (std::strstr(line, "(plain)"))
                plainPort = bound;
            else
                port = bound;
        }
        if (!started()) {
            endChild(pid);
            fclose(log);
            while (!last.empty() && last.back() == '\n')
                last.pop_back();
            throw std::runtime_error("the server did not start" +
                                     (last.empty() ? std::string() : ": " + last));
        }
        // Keep draining its log so that it never blocks on a full pipe.
        const pid_t parent = getpid();
        drainer = fork();
        if (drainer == 0) {
            dieWithParent(parent);
            while (fgets(line, sizeof line, log)) {
            }
            _exit(0);
        }
    }

    ~ServerChild()
    {
        endChild(pid);
        int status = 0;
        waitpid(drainer, &status, 0);
        fclose(log);
    }

    /// Resident memory in kB.
    long residentKb() const { return residentKbOf(pid); }

    /// User plus system CPU time in seconds.
    double cpuSeconds() const { return cpuSecondsOf(pid); }

    long descriptors() const { return descriptorsOf(pid); }

    /// Its --listen port (TLS with TLS flags), and its --plain-listen port if asked for one.
    std::uint16_t port = 0;
    std::uint16_t plainPort = 0;
    /// With --redis: the address it gives the other nodes, from its log.
    std::string node;

private:
    TemporaryFolder directory;
    pid_t pid = -1;
    pid_t drainer = -1;
    FILE *log = nullptr;
};

// redis-server as a child process for the cluster run: nothing saved, no TCP port, a Unix socket
// in a temporary folder. Asked with blocking RESP exchanges of its own (the bench's only Redis
// client).
class RedisChild
{
public:
    RedisChild()
    {
        socketPath = directory.path + "/redis.sock";
        const std::string logPath = directory.path + "/redis.log";
        std::vector<std::string> arguments{
            "redis-server", "--port",      "0",  "--unixsocket", socketPath, "--unixsocketperm",
            "700",          "--save",      "",   "--appendonly", "no",       "--dir",
            directory.path, "--daemonize", "no", "--loglevel",   "warning",  "--logfile",
            logPath};
        pid = spawnChild("redis-server", std::move(arguments));
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        for (;;) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
                    throw std::runtime_error("redis-server is missing (scripts/install-deps.sh "
                                             "--test installs it)");
                throw std::runtime_error("redis-server stopped at start: " + lastLine(logPath));
            }
            try {
                if (command({"PING"}) == "PONG")
                    break;
            } catch (const std::exception &) {
                // Not listening yet.
            }
            if (Clock::now() > deadline) {
                endChild(std::exchange(pid, -1));
                throw std::runtime_error("redis-server did not answer PING within 10 s");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    ~RedisChild() { endChild(pid); }
    RedisChild(const RedisChild &) = delete;
    RedisChild &operator=(const RedisChild &) = delete;

    /// The nodes' --redis.
    std::string url() const { return "unix://" + socketPath; }

    /// The reply to one command: the text of a status, an integer or a bulk string (empty for
    /// nil). Throws on an error reply, and when Redis does not answer within 5 s.
    std::string command(const std::vector<std::string> &arguments) const
    {
        net::io_context io;
        net::local::stream_protocol::socket socket(io);
        socket.connect(net::local::stream_protocol::endpoint(socketPath));
        const timeval timeout{5, 0};
        setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        std::string request = "*" + std::to_string(arguments.size()) + "\r\n";
        for (const std::string &argument : arguments)
            request += "$" + std::to_string(argument.size()) + "\r\n" + argument + "\r\n";
        net::write(socket, net::buffer(request));
        std::string reply;
        const std::size_t lineEnd = net::read_until(socket, net::dynamic_buffer(reply), "\r\n");
        const std::string first = reply.substr(1, lineEnd - 3);
        switch (reply[0]) {
        case '+':
        case ':':
            return first;
        case '-':
            throw std::runtime_error("Redis answered " + arguments[0] + " with " + first);
        case '$': {
            const long long size = std::atoll(first.c_str());
            if (size < 0)
                return {};
            const std::size_t total = lineEnd + std::size_t(size) + 2;
            if (reply.size() < total)
                net::read(socket, net::dynamic_buffer(reply),
                          net::transfer_exactly(total - reply.size()));
            return reply.substr(lineEnd, std::size_t(size));
        }
        default:
            throw std::runtime_error("an unexpected reply from Redis to " + arguments[0]);
        }
    }

    /// A field of INFO's answer, such as "used_memory" in section "memory".
    std::string info(const std::string &section, const std::string &field) const
    {
        std::istringstream lines(command({"INFO", section}));
        std::string line;
        while (std::getline(lines, line)) {
            if (line.rfind(field + ":", 0) == 0)
                return line.substr(field.size() + 1, line.find_last_not_of("\r") - field.size());
        }
        throw std::runtime_error("Redis's INFO " + section + " has no " + field);
    }

    /// Commands Redis ran since its start, from INFO commandstats: all of them (those that
    /// scripts ran included) and the scripts alone; the bench's own INFO left out.
    struct Calls
    {
        long long all = 0;
        long long scripts = 0;
    };
    Calls calls() const
    {
        std::istringstream lines(command({"INFO", "commandstats"}));
        std::string line;
        Calls calls;
        while (std::getline(lines, line)) {
            const auto name = line.find("cmdstat_");
            const auto at = line.find(":calls=");
            if (name != 0 || at == std::string::npos)
                continue;
            const std::string command = line.substr(8, at - 8);
            if (command == "info")
                continue;
            const long long count = std::atoll(line.c_str() + at + 7);
            calls.all += count;
            if (command == "evalsha" || command == "eval")
                calls.scripts += count;
        }
        return calls;
    }

    /// Bytes that Redis's allocator holds for data and overhead (INFO's used_memory).
    long long usedMemory() const { return std::atoll(info("memory", "used_memory").c_str()); }

    long residentKb() const { return residentKbOf(pid); }
    /// Redis's own CPU time (INFO cpu, to the microsecond, where /proc counts 10 ms ticks).
    double cpuSeconds() const
    {
        return std::atof(info("cpu", "used_cpu_sys").c_str()) +
               std::atof(info("cpu", "used_cpu_user").c_str());
    }

private:
    static std::string lastLine(const std::string &path)
    {
        std::ifstream file(path);
        std::string line;
        std::string last = "(nothing in its log)";
        while (std::getline(file, line)) {
            if (!line.empty())
                last = line;
        }
        return last;
    }

    TemporaryFolder directory;
    std::string socketPath;
    pid_t pid = -1;
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

// An agent as the bench plays it: connects (from `source` when given) and takes its ID. With a
// `frame`, it answers "start_session" as the VNC server of a minimal handshake and then sends
// `frame` envelopes back to back; with `echo`, it answers it so too and then sends back every
// byte the viewer sends.
class BenchAgent : public std::enable_shared_from_this<BenchAgent>
{
public:
    BenchAgent(net::io_context &io, std::uint16_t port, std::function<void(BenchAgent &)> ready,
               net::ip::address source = {})
        : ws(tcp::socket(io), nullptr), port(port), ready(std::move(ready)), source(source)
    {}

    void start()
    {
        auto self = shared_from_this();
        if (!source.is_unspecified()) {
            // A port of its own per source address: the bench's ports do not run out.
            auto &socket = beast::get_lowest_layer(ws).socket();
            beast::error_code ec;
            socket.open(tcp::v4(), ec);
            if (!ec)
                socket.bind(tcp::endpoint(source, 0), ec);
            if (ec)
                return fail(ec);
        }
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
                // Closed before it had an ID: refused (a cluster node without Redis, say).
                if (ec) {
                    if (self->id.empty())
                        self->fail(ec);
                    return;
                }
                const std::string message = beast::buffers_to_string(self->buffer.data());
                self->buffer.consume(self->buffer.size());
                if (message.find("\"connection_info\"") != std::string::npos) {
                    const auto at = message.find("\"id\":\"");
                    self->id = message.substr(at + 6, 9);
                    self->ready(*self);
                } else if (message.find("\"start_session\"") != std::string::npos &&
                           (self->frame || self->echo) && self->phase == Phase::Idle) {
                    self->phase = Phase::ClientVersion;
                    self->sendRfb(std::string(kRfbVersion));
                } else if (self->phase == Phase::Streaming && self->echo) {
                    if (const auto payload = rfbPayload(message))
                        self->sendRfb(*payload);
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
        if (++failures > 5)
            return;
        const auto &reason = ws.reason();
        if (ec == websocket::error::closed)
            std::fprintf(stderr, "agent failed: closed %d %s\n", int(reason.code),
                         reason.reason.c_str());
        else
            std::fprintf(stderr, "agent failed: %s\n", ec.message().c_str());
    }

    WebSocket ws;
    beast::flat_buffer buffer;
    std::uint16_t port;
    std::function<void(BenchAgent &)> ready;
    std::string id;
    net::ip::address source;
    std::shared_ptr<const std::string> frame;
    bool echo = false;
    bool stopped = false;
    // Atomic: the idle crowd's agents run on a thread of their own.
    static inline std::atomic<int> failures = 0;

private:
    enum class Phase { Idle, ClientVersion, Choice, Response, Streaming, Failed };

    void sendRfb(std::string_view bytes, std::function<void()> then = {})
    {
        writes.push(ws, shared_from_this(),
                    velmora::envelope::rfbEnvelope(velmora::envelope::kApiVersion, bytes),
                    std::move(then));
    }

    // The viewer's bytes in an "rfb" envelope of the server; none when it is not one.
    static std::optional<std::string> rfbPayload(const std::string &message)
    {
        const auto json = velmora::envelope::parse(velmora::envelope::untilZero(message));
        const std::string *payload =
            json ? velmora::envelope::stringMember(*json, "payload") : nullptr;
        if (!payload)
            return std::nullopt;
        return velmora::base64::decode(*payload);
    }

    // The viewer's handshake bytes, relayed by the server in "rfb" envelopes.
    void handshake(const std::string &message)
    {
        const auto payload = rfbPayload(message);
        if (!payload)
            return handshakeFailed("a message that is not an \"rfb\" envelope");
        received += *payload;
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
                if (frame)
                    sendRfb(std::string(4, '\0'), [self = shared_from_this()] { self->pump(); });
                else
                    sendRfb(std::string(4, '\0'));
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
                              self->probeAnswered();
                          } else {
                              self->received += beast::buffers_to_string(self->buffer.data());
                              self->handshake();
                          }
                          self->buffer.consume(self->buffer.size());
                          self->read();
                      });
    }

    /// Once streaming, against an echoing agent: sends a probe of kProbeSize bytes every
    /// `interval` (or as soon as the previous one is back, when it took longer) until `until`,
    /// and keeps each round trip in roundTripsMs.
    void startProbes(Clock::duration interval, Clock::time_point until)
    {
        probeInterval = interval;
        probesUntil = until;
        probeTimer = std::make_unique<net::steady_timer>(ws.get_executor());
        probe();
    }
    bool probing() const { return probeTimer && !probesDone; }

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
    std::vector<double> roundTripsMs;

private:
    enum class Phase { Version, Types, Challenge, Result, Streaming, Failed };
    // A viewer's pointer event is 6 bytes, a key event 8.
    static constexpr std::size_t kProbeSize = 8;

    void probe()
    {
        if (Clock::now() >= probesUntil) {
            probesDone = true;
            return;
        }
        probeSent = Clock::now();
        awaited = bytes + kProbeSize;
        send(std::string(kProbeSize, '\x05'));
    }

    void probeAnswered()
    {
        if (awaited == 0 || bytes < awaited)
            return;
        awaited = 0;
        roundTripsMs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - probeSent).count());
        probeTimer->expires_at(probeSent + probeInterval);
        probeTimer->async_wait([self = shared_from_this()](const beast::error_code &ec) {
            if (!ec)
                self->probe();
        });
    }

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
    std::unique_ptr<net::steady_timer> probeTimer;
    Clock::duration probeInterval{};
    Clock::time_point probesUntil;
    Clock::time_point probeSent;
    std::uint64_t awaited = 0;
    bool probesDone = false;
};

void runFor(net::io_context &io, Clock::duration duration)
{
    io.restart();
    io.run_for(duration);
}

// Turns the loop for `duration`, even when it has nothing to do meanwhile.
void holdFor(net::io_context &io, Clock::duration duration)
{
    net::steady_timer timer(io, duration);
    timer.async_wait([](const beast::error_code &) {});
    runFor(io, duration);
}

// Waits until `done` holds, turning the loop meanwhile; throws `what` after `limit`.
void waitUntil(net::io_context &io, const std::function<bool()> &done, Clock::duration limit,
               const char *what)
{
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline)
            throw std::runtime_error(what);
        runFor(io, std::chrono::milliseconds(20));
    }
}

// Idle agents per loopback source address: below the server's default limit of agents per
// address (1024), so that the servers run with their defaults.
constexpr int kAgentsPerSource = 1000;

// At least four, so that the 256 handshakes in flight stay within the server's default limit
// of HTTP connections per address (128).
int sourceAddressesFor(int agents)
{
    return std::max(4, (agents + kAgentsPerSource - 1) / kAgentsPerSource);
}

// Source address `index` of the idle agents: 127.0.0.2 and up (all of 127/8 is loopback).
net::ip::address sourceAddress(int index)
{
    return net::ip::address_v4(0x7f000002u + std::uint32_t(index));
}

// Connects `count` idle agents, at most `inFlight` handshakes at a time; agent i to
// ports[i % ports.size()], from the i-th source address round-robin, so that the handshakes in
// flight come from many addresses.
std::vector<std::shared_ptr<BenchAgent>> connectAgents(net::io_context &io,
                                                       const std::vector<std::uint16_t> &ports,
                                                       int count, double &seconds)
{
    const int sources = sourceAddressesFor(count);
    std::vector<std::shared_ptr<BenchAgent>> agents;
    int readyCount = 0;
    int started = 0;
    const int inFlight = 256;
    std::function<void()> startOne;
    startOne = [&] {
        if (started >= count)
            return;
        const std::uint16_t port = ports[std::size_t(started) % ports.size()];
        const net::ip::address source = sourceAddress(started % sources);
        ++started;
        auto agent = std::make_shared<BenchAgent>(
            io, port,
            [&](BenchAgent &) {
                ++readyCount;
                startOne();
            },
            source);
        agents.push_back(agent);
        agent->start();
    };
    const auto begin = Clock::now();
    for (int i = 0; i < inFlight; ++i)
        startOne();
    const auto deadline = begin + std::chrono::seconds(300);
    io.restart();
    while (readyCount < count && Clock::now() < deadline && BenchAgent::failures == 0)
        io.run_for(std::chrono::milliseconds(50));
    seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    if (readyCount < count)
        throw std::runtime_error("only " + std::to_string(readyCount) + " of " +
                                 std::to_string(count) + " agents got an ID");
    return agents;
}

// The idle agents, once connected, on a loop and a thread of their own: the bench's sessions
// beside them are then not served in turns with their pings and pongs. Each agent pings the
// server every `pingSeconds` (as the real agent does), the pings spread evenly over that time.
class IdleCrowd
{
public:
    IdleCrowd(const std::vector<std::uint16_t> &ports, int count, int pingSeconds)
        : pingSlots(pingSeconds * kTicksPerSecond), pinger(io)
    {
        agents = connectAgents(io, ports, count, connectSeconds);
    }
    ~IdleCrowd() { leave(); }
    IdleCrowd(const IdleCrowd &) = delete;
    IdleCrowd &operator=(const IdleCrowd &) = delete;

    /// From now on the agents are served (and ping) on the crowd's thread.
    void hold()
    {
        guard.emplace(io.get_executor());
        if (pingSlots > 0) {
            pinger.expires_after(std::chrono::milliseconds(1000 / kTicksPerSecond));
            pinger.async_wait([this](const beast::error_code &ec) { onTick(ec); });
        }
        io.restart();
        thread = std::thread([this] { io.run(); });
    }

    /// Every agent closes its connection at once (no close frame, as a lost network would).
    void leave()
    {
        if (!thread.joinable())
            return;
        net::post(io, [this] {
            pinger.cancel();
            for (const auto &agent : agents) {
                beast::error_code ignored;
                beast::get_lowest_layer(agent->ws).socket().close(ignored);
            }
            guard.reset();
        });
        thread.join();
        agents.clear();
    }

    int size() const { return int(agents.size()); }
    double connectSeconds = 0;

private:
    static constexpr int kTicksPerSecond = 10;

    void onTick(const beast::error_code &ec)
    {
        if (ec)
            return;
        const std::size_t slot = std::size_t(tick++ % pingSlots);
        const std::size_t from = agents.size() * slot / std::size_t(pingSlots);
        const std::size_t to = agents.size() * (slot + 1) / std::size_t(pingSlots);
        for (std::size_t i = from; i < to; ++i)
            agents[i]->ws.async_ping({}, [](const beast::error_code &) {});
        pinger.expires_at(pinger.expiry() + std::chrono::milliseconds(1000 / kTicksPerSecond));
        pinger.async_wait([this](const beast::error_code &error) { onTick(error); });
    }

    net::io_context io;
    std::vector<std::shared_ptr<BenchAgent>> agents;
    const int pingSlots;
    long long tick = 0;
    net::steady_timer pinger;
    std::optional<net::executor_work_guard<net::io_context::executor_type>> guard;
    std::thread thread;
};

struct RelayFigures
{
    /// Relayed payload after the handshakes, in MB/s over the timed window.
    double megabytesPerSecond = 0;
    /// The slowest session's handshake, in milliseconds.
    double slowestHandshakeMs = 0;
    /// The server's CPU time per MB relayed, in milliseconds: of all servers together.
    double serverCpuMsPerMegabyte = 0;
    /// The same for each server, in the order given.
    std::vector<double> cpuMsPerMegabyte;
};

// Where a session's two ends connect: the agent at `agentPort`, the supporter at
// `supporterPort`, over wss when `tls` is set.
struct SessionPorts
{
    std::uint16_t agentPort = 0;
    std::uint16_t supporterPort = 0;
    ssl::context *tls = nullptr;
};

// `count` sessions, session i's ends at portsOf(i), each streaming desktop frames of `frameSize`
// bytes from agent to supporter after its handshake, timed over `seconds` once every session is
// streaming; the CPU time is that of `servers`.
RelayFigures sessionThroughput(net::io_context &io, const std::vector<const ServerChild *> &servers,
                               const std::function<SessionPorts(int)> &portsOf, int count,
                               double seconds, std::size_t frameSize)
{
    std::mt19937 random(1);
    std::string frameBytes(frameSize, '\0');
    for (char &c : frameBytes)
        c = static_cast<char>(random());
    const auto envelope = std::make_shared<const std::string>(
        velmora::envelope::rfbEnvelope(velmora::envelope::kApiVersion, frameBytes));

    std::vector<std::shared_ptr<BenchAgent>> agents;
    int ready = 0;
    const int failures = BenchAgent::failures;
    for (int i = 0; i < count; ++i) {
        auto agent =
            std::make_shared<BenchAgent>(io, portsOf(i).agentPort, [&](BenchAgent &) { ++ready; });
        agent->frame = envelope;
        agents.push_back(agent);
        agent->start();
    }
    const auto agentsDeadline = Clock::now() + std::chrono::seconds(20);
    io.restart();
    while (ready < count) {
        if (BenchAgent::failures > failures || Clock::now() > agentsDeadline)
            throw std::runtime_error("only " + std::to_string(ready) + " of " +
                                     std::to_string(count) + " agents of the sessions got an ID");
        io.run_for(std::chrono::milliseconds(10));
    }
    // Every supporter asks for the ID of an agent that is online, once: the server's limit on
    // probes per address and its locks per ID do not come into play.
    std::vector<std::shared_ptr<BenchSupporter>> supporters;
    for (int i = 0; i < count; ++i) {
        const SessionPorts ports = portsOf(i);
        supporters.push_back(
            std::make_shared<BenchSupporter>(io, ports.supporterPort, agents[i]->id, ports.tls));
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
    std::vector<double> cpu;
    for (const ServerChild *server : servers)
        cpu.push_back(server->cpuSeconds());
    const auto begin = Clock::now();
    runFor(io, std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
    const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    for (std::size_t i = 0; i < servers.size(); ++i)
        cpu[i] = servers[i]->cpuSeconds() - cpu[i];
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
    for (const double spent : cpu) {
        figures.cpuMsPerMegabyte.push_back(spent * 1000 / (double(after - before) / 1e6));
        figures.serverCpuMsPerMegabyte += figures.cpuMsPerMegabyte.back();
    }
    return figures;
}

// `count` sessions through `server`, both ends at `ports`.
RelayFigures sessionThroughput(net::io_context &io, const ServerChild &server,
                               const SessionPorts &ports, int count, double seconds,
                               std::size_t frameSize)
{
    return sessionThroughput(
        io, {&server}, [&](int) { return ports; }, count, seconds, frameSize);
}

// Round trips of one live session at `port`, in milliseconds: an echoing agent, and a supporter
// that sends a probe every 20 ms for `duration` after the VNC handshake.
std::vector<double> liveRoundTrips(net::io_context &io, std::uint16_t port,
                                   Clock::duration duration)
{
    int ready = 0;
    const int failures = BenchAgent::failures;
    auto agent = std::make_shared<BenchAgent>(io, port, [&](BenchAgent &) { ++ready; });
    agent->echo = true;
    agent->start();
    waitUntil(
        io,
        [&] {
            if (BenchAgent::failures > failures)
                throw std::runtime_error("the live session's agent failed");
            return ready == 1;
        },
        std::chrono::seconds(20), "the live session's agent got no ID within 20 s");
    auto supporter = std::make_shared<BenchSupporter>(io, port, agent->id, nullptr);
    supporter->start();
    const auto failed = [&] {
        if (supporter->hasFailed())
            throw std::runtime_error(supporter->problem);
    };
    waitUntil(
        io,
        [&] {
            failed();
            return supporter->streaming();
        },
        std::chrono::seconds(20), "the live session's handshake did not end within 20 s");
    supporter->startProbes(std::chrono::milliseconds(20), Clock::now() + duration);
    waitUntil(
        io,
        [&] {
            failed();
            return !supporter->probing();
        },
        duration + std::chrono::seconds(20), "a probe of the live session was not answered");
    beast::error_code ignored;
    beast::get_lowest_layer(agent->ws).socket().close(ignored);
    beast::get_lowest_layer(supporter->ws).socket().close(ignored);
    runFor(io, std::chrono::milliseconds(200));
    return supporter->roundTripsMs;
}

// "p50 A ms, p99 B ms (N round trips)" of `values`, by nearest rank.
std::string percentiles(std::vector<double> values)
{
    if (values.empty())
        return "no round trips";
    std::sort(values.begin(), values.end());
    const auto rank = [&](double q) {
        const auto index = std::size_t(std::ceil(q * double(values.size())));
        return values[std::min(values.size(), std::max<std::size_t>(index, 1)) - 1];
    };
    char text[128];
    std::snprintf(text, sizeof text, "p50 %.2f ms, p99 %.2f ms, max %.2f ms (%zu round trips)",
                  rank(0.5), rank(0.99), values.back(), values.size());
    return text;
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
    try {
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
    } catch (const beast::system_error &error) {
        throw std::runtime_error("GET /metrics from the server on port " + std::to_string(port) +
                                 ": " + error.what());
    }
}

Settings parse(int argc, char **argv)
{
    const char *usage =
        "usage: bench_load [--agents N] [--sessions K] [--seconds S] [--idle-timeout S]\n"
        "                  [--agent-ping S] [--cluster]\n"
        "  --agents N        idle agents (default 100000; with --cluster 10000)\n"
        "  --idle-timeout S  the servers' --idle-timeout (default 30: they ping every 15 s);\n"
        "                    the idle agents are held through two of their keepalive rounds\n"
        "  --agent-ping S    each idle agent pings every S s, as the real agent (default 10; 0:\n"
        "                    never)\n"
        "  --cluster         Redis and three nodes instead of one server: idle agents spread over\n"
        "                    the nodes, then the sessions with each supporter on its agent's node\n"
        "                    and on another one";
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--cluster") {
            settings.cluster = true;
            continue;
        }
        if (i + 1 >= argc)
            throw std::runtime_error(usage);
        const char *value = argv[++i];
        if (flag == "--agents")
            settings.agents = std::atoi(value);
        else if (flag == "--sessions")
            settings.sessions = std::atoi(value);
        else if (flag == "--seconds")
            settings.seconds = std::atof(value);
        else if (flag == "--idle-timeout")
            settings.idleTimeout = std::atoi(value);
        else if (flag == "--agent-ping")
            settings.agentPing = std::atoi(value);
        else
            throw std::runtime_error(usage);
    }
    if (settings.agents == 0)
        settings.agents = settings.cluster ? 10000 : 100000;
    if (settings.agents < 1 || settings.agents > 250000 || settings.sessions < 1 ||
        settings.seconds <= 0 || settings.seconds > 60 || settings.idleTimeout < 2 ||
        settings.idleTimeout > 120 || settings.agentPing < 0 || settings.agentPing > 60)
        throw std::runtime_error("out of range (agents 1..250000, seconds up to 60, idle-timeout "
                                 "2..120, agent-ping 0..60)");
    return settings;
}

// The value of the /metrics sample named `name` (with its labels, as in
// velmora_cluster_forwarded_sessions_total{direction="out"}); -1 when there is none.
long long metricValue(const std::string &metrics, const std::string &name)
{
    std::istringstream lines(metrics);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.size() > name.size() && line.rfind(name, 0) == 0 && line[name.size()] == ' ')
            return std::atoll(line.c_str() + name.size() + 1);
    }
    return -1;
}

// "node 1 A, node 2 B, ..." with `format` for each value.
std::string perNode(const std::vector<double> &values, const char *format)
{
    std::string out;
    for (std::size_t i = 0; i < values.size(); ++i) {
        char value[64];
        std::snprintf(value, sizeof value, format, values[i]);
        out += (i ? ", node " : "node ") + std::to_string(i + 1) + " " + value;
    }
    return out;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// One workload over several rounds: medians, the range of the throughput, the slowest handshake.
struct RelaySummary
{
    double megabytesPerSecond = 0;
    double lowest = 0;
    double highest = 0;
    double slowestHandshakeMs = 0;
    double cpuMsPerMegabyte = 0;
    std::vector<double> nodeCpuMsPerMegabyte;
};

RelaySummary summarize(const std::vector<RelayFigures> &rounds)
{
    RelaySummary summary;
    std::vector<double> throughput;
    std::vector<double> cpu;
    for (const RelayFigures &round : rounds) {
        throughput.push_back(round.megabytesPerSecond);
        cpu.push_back(round.serverCpuMsPerMegabyte);
        summary.slowestHandshakeMs = std::max(summary.slowestHandshakeMs, round.slowestHandshakeMs);
    }
    summary.megabytesPerSecond = median(throughput);
    summary.lowest = *std::min_element(throughput.begin(), throughput.end());
    summary.highest = *std::max_element(throughput.begin(), throughput.end());
    summary.cpuMsPerMegabyte = median(cpu);
    for (std::size_t node = 0; node < rounds.front().cpuMsPerMegabyte.size(); ++node) {
        std::vector<double> values;
        for (const RelayFigures &round : rounds)
            values.push_back(round.cpuMsPerMegabyte[node]);
        summary.nodeCpuMsPerMegabyte.push_back(median(values));
    }
    return summary;
}

// What `count` session starts cost Redis: each an echoing agent on node i mod n (connected
// beforehand, not counted) and a supporter on the next node, all at once, counted from the
// supporters' connections to the last VNC handshake's end. Run with no idle agents online, so
// that Redis meanwhile does nothing else (but a node's refresh of nothing, now and then).
struct StartCost
{
    double callsPerStart = 0;
    double scriptsPerStart = 0;
    double cpuMicrosecondsPerStart = 0;
};

StartCost sessionStartCost(net::io_context &io, const RedisChild &redis,
                           const std::vector<std::uint16_t> &ports, int count)
{
    std::vector<std::shared_ptr<BenchAgent>> agents;
    int ready = 0;
    for (int i = 0; i < count; ++i) {
        agents.push_back(std::make_shared<BenchAgent>(io, ports[std::size_t(i) % ports.size()],
                                                      [&](BenchAgent &) { ++ready; }));
        agents.back()->echo = true;
        agents.back()->start();
    }
    waitUntil(
        io, [&] { return ready == count; }, std::chrono::seconds(20),
        "the session-start agents got no ID within 20 s");
    const RedisChild::Calls before = redis.calls();
    const double cpuBefore = redis.cpuSeconds();
    std::vector<std::shared_ptr<BenchSupporter>> supporters;
    for (int i = 0; i < count; ++i) {
        supporters.push_back(std::make_shared<BenchSupporter>(
            io, ports[std::size_t(i + 1) % ports.size()], agents[std::size_t(i)]->id, nullptr));
        supporters.back()->start();
    }
    waitUntil(
        io,
        [&] {
            for (const auto &supporter : supporters) {
                if (supporter->hasFailed())
                    throw std::runtime_error(supporter->problem);
                if (!supporter->streaming())
                    return false;
            }
            return true;
        },
        std::chrono::seconds(20), "not every session started within 20 s");
    const RedisChild::Calls after = redis.calls();
    const double cpu = redis.cpuSeconds() - cpuBefore;
    for (const auto &agent : agents) {
        beast::error_code ignored;
        beast::get_lowest_layer(agent->ws).socket().close(ignored);
    }
    for (const auto &supporter : supporters) {
        beast::error_code ignored;
        beast::get_lowest_layer(supporter->ws).socket().close(ignored);
    }
    runFor(io, std::chrono::milliseconds(200));
    StartCost cost;
    cost.callsPerStart = double(after.all - before.all) / count;
    cost.scriptsPerStart = double(after.scripts - before.scripts) / count;
    cost.cpuMicrosecondsPerStart = cpu * 1e6 / count;
    return cost;
}

// The cluster run (see the top of this file).
int runCluster(const Settings &settings)
{
    constexpr int kNodes = 3;
    constexpr int kRounds = 3;
    RedisChild redis;
    TemporaryFolder shared;
    // Every node reads the same secret: the first one creates it.
    const std::string secret = shared.path + "/secret";
    std::vector<std::unique_ptr<ServerChild>> nodes;
    std::vector<const ServerChild *> servers;
    std::vector<std::uint16_t> ports;
    for (int i = 0; i < kNodes; ++i) {
        nodes.push_back(std::make_unique<ServerChild>(
            std::vector<std::string>{"--redis", redis.url(), "--idle-timeout",
                                     std::to_string(settings.idleTimeout)},
            secret));
        // Without --node-address a node names itself by the port it was given.
        const ServerChild &node = *nodes.back();
        if (node.node != "127.0.0.1:" + std::to_string(node.port))
            throw std::runtime_error("the node on port " + std::to_string(node.port) +
                                     " calls itself " + node.node);
        servers.push_back(&node);
        ports.push_back(node.port);
    }
    net::io_context io;
    // A node refuses new agents until it is connected to Redis.
    for (const ServerChild *node : servers) {
        waitUntil(
            io,
            [&] {
                return metricValue(fetchMetrics(io, node->port), "velmora_cluster_redis_up") == 1;
            },
            std::chrono::seconds(10), "a node did not connect to Redis within 10 s");
    }
    const auto forwarded = [&] {
        long long out = 0;
        for (const ServerChild *node : servers)
            out += metricValue(fetchMetrics(io, node->port),
                               "velmora_cluster_forwarded_sessions_total{direction=\"out\"}");
        return out;
    };
    runFor(io, std::chrono::milliseconds(200));
    const long long redisBase = redis.usedMemory();
    std::vector<long> baseKb;
    for (const ServerChild *node : servers)
        baseKb.push_back(node->residentKb());

    const RedisChild::Calls callsBase = redis.calls();
    double connectSeconds = 0;
    auto agents = connectAgents(io, ports, settings.agents, connectSeconds);
    const RedisChild::Calls callsConnected = redis.calls();
    runFor(io, std::chrono::milliseconds(500));
    const long long redisHeld = redis.usedMemory();
    std::vector<long> heldKb;
    for (const ServerChild *node : servers)
        heldKb.push_back(node->residentKb());

    // Two of the nodes' keepalive rounds, and so two directory refreshes.
    std::vector<double> cpu;
    for (const ServerChild *node : servers)
        cpu.push_back(node->cpuSeconds());
    const double redisCpu = redis.cpuSeconds();
    const RedisChild::Calls callsIdle = redis.calls();
    const double window = settings.idleTimeout;
    runFor(io, std::chrono::seconds(settings.idleTimeout));
    for (std::size_t i = 0; i < servers.size(); ++i)
        cpu[i] = (servers[i]->cpuSeconds() - cpu[i]) / window * 100;
    const double redisIdle = (redis.cpuSeconds() - redisCpu) / window * 100;
    const RedisChild::Calls callsLater = redis.calls();
    const double idleCalls = double(callsLater.all - callsIdle.all) / window;
    const double idleScripts = double(callsLater.scripts - callsIdle.scripts) / window;
    const long long redisLater = redis.usedMemory();
    std::vector<long> laterKb;
    for (const ServerChild *node : servers)
        laterKb.push_back(node->residentKb());

    for (const auto &agent : agents) {
        beast::error_code ignored;
        beast::get_lowest_layer(agent->ws).socket().close(ignored);
    }
    agents.clear();
    // Each node takes its agents out of the directory; their IDs stay taken for a day.
    waitUntil(
        io,
        [&] {
            for (const ServerChild *node : servers) {
                if (metricValue(fetchMetrics(io, node->port), "velmora_agents_online") != 0)
                    return false;
            }
            return redis.command({"ZCARD", "velmora:directory"}) == "0";
        },
        std::chrono::seconds(30), "the agents were still in the directory 30 s after leaving");
    const long long redisLeft = redis.usedMemory();

    std::printf("cluster:            redis-server %s on a Unix socket (nothing saved), %d nodes "
                "on 127.0.0.1 with one secret file, each named by the port it was given\n",
                redis.info("server", "redis_version").c_str(), kNodes);
    std::printf("idle agents:        %d spread over %d nodes round-robin, connected in %.2f s "
                "(%.0f per second)\n",
                settings.agents, kNodes, connectSeconds, settings.agents / connectSeconds);
    for (int i = 0; i < kNodes; ++i) {
        const int held = settings.agents / kNodes + (i < settings.agents % kNodes ? 1 : 0);
        std::printf("node %d memory:      %ld kB at start, %ld kB with its %d agents: %.1f kB per "
                    "agent (%.1f after the idle window)\n",
                    i + 1, baseKb[i], heldKb[i], held,
                    held ? double(heldKb[i] - baseKb[i]) / held : 0,
                    held ? double(laterKb[i] - baseKb[i]) / held : 0);
    }
    std::printf(
        "Redis memory:       used_memory %lld kB at start, %lld kB with the agents: %.0f "
        "bytes per agent (%.0f after the idle window); %lld kB once they left: %.0f bytes per "
        "agent (an ID stays taken for a day)\n",
        redisBase / 1024, redisHeld / 1024, double(redisHeld - redisBase) / settings.agents,
        double(redisLater - redisBase) / settings.agents, redisLeft / 1024,
        double(redisLeft - redisBase) / settings.agents);
    const double refresh = std::max(1.0, settings.idleTimeout / 2.0);
    std::printf("CPU at idle:        %s %% of one core; Redis %.2f %% (over %.0f s; keepalive "
                "pings every %.0f s, each node refreshes its directory entries every %.0f s)\n",
                perNode(cpu, "%.2f").c_str(), redisIdle, window, refresh, refresh);
    const double thousands = settings.agents / 1000.0;
    std::printf("Redis at idle:      %.0f commands a second (%.1f scripts), %.1f per 1,000 "
                "agents (%.2f scripts: a refresh runs 5 commands per agent, in scripts of 1,000 "
                "agents); Redis CPU %.3f %% of one core per 1,000 agents\n",
                idleCalls, idleScripts, idleCalls / thousands, idleScripts / thousands,
                redisIdle / thousands);
    std::printf("Redis per arrival:  %.1f commands (%.2f scripts) per agent connected with no ID "
                "yet\n",
                double(callsConnected.all - callsBase.all) / settings.agents,
                double(callsConnected.scripts - callsBase.scripts) / settings.agents);
    constexpr int kStarts = 40;
    const StartCost starts = sessionStartCost(io, redis, ports, kStarts);
    std::printf("Redis per session:  %.1f commands (%.2f scripts) and %.0f us of Redis CPU per "
                "session start, the supporter on another node than its agent (%d at once)\n",
                starts.callsPerStart, starts.scriptsPerStart, starts.cpuMicrosecondsPerStart,
                kStarts);

    const std::size_t frameSize = 64 * 1024;
    const auto sameNode = [&](int i) {
        const std::uint16_t port = ports[std::size_t(i) % ports.size()];
        return SessionPorts{port, port, nullptr};
    };
    const auto crossNode = [&](int i) {
        return SessionPorts{ports[std::size_t(i) % ports.size()],
                            ports[std::size_t(i + 1) % ports.size()], nullptr};
    };
    // Checks that the sessions went where they were meant to.
    const auto measure = [&](const std::function<SessionPorts(int)> &portsOf, int count,
                             bool carried) {
        const long long before = forwarded();
        const RelayFigures figures =
            sessionThroughput(io, servers, portsOf, count, settings.seconds, frameSize);
        const long long carriedNow = forwarded() - before;
        if (carriedNow != (carried ? count : 0))
            throw std::runtime_error(std::to_string(carriedNow) + " of " + std::to_string(count) +
                                     " sessions were carried between nodes, expected " +
                                     std::to_string(carried ? count : 0));
        return figures;
    };
    // Rounds that alternate same node and cross-node, so that a change in the machine's load
    // falls on both; a ratio compares the two of one round.
    std::vector<RelayFigures> one, oneCarried, many, manyCarried;
    for (int round = 0; round < kRounds; ++round) {
        one.push_back(measure(sameNode, 1, false));
        oneCarried.push_back(measure(crossNode, 1, true));
        many.push_back(measure(sameNode, settings.sessions, false));
        manyCarried.push_back(measure(crossNode, settings.sessions, true));
    }

    std::printf("relay, 64 KiB frames agent to supporter, bench clients in one thread, timed after "
                "each session's VNC handshake; session i's agent on node (i mod %d) + 1; same "
                "node: its supporter there too; cross-node: its supporter on the next node, which "
                "carries it to the agent's node; medians of %d rounds that alternate the two "
                "(lowest-highest), server CPU of each node per MB relayed in all:\n",
                kNodes, kRounds);
    const RelaySummary sameOne = summarize(one);
    const RelaySummary crossOne = summarize(oneCarried);
    const RelaySummary sameMany = summarize(many);
    const RelaySummary crossMany = summarize(manyCarried);
    const auto ratio = [](const std::vector<RelayFigures> &cross,
                          const std::vector<RelayFigures> &same) {
        std::vector<double> ratios;
        for (std::size_t i = 0; i < cross.size(); ++i)
            ratios.push_back(cross[i].megabytesPerSecond / same[i].megabytesPerSecond);
        char text[96];
        std::snprintf(text, sizeof text, "%.2f x same node (%.2f-%.2f)", median(ratios),
                      *std::min_element(ratios.begin(), ratios.end()),
                      *std::max_element(ratios.begin(), ratios.end()));
        return std::string(text);
    };
    std::printf("  1 session, same node:   %.1f MB/s (%.1f-%.1f; handshake %.1f ms; server CPU "
                "%.2f ms per MB: %s)\n",
                sameOne.megabytesPerSecond, sameOne.lowest, sameOne.highest,
                sameOne.slowestHandshakeMs, sameOne.cpuMsPerMegabyte,
                perNode(sameOne.nodeCpuMsPerMegabyte, "%.2f").c_str());
    std::printf("  1 session, cross-node:  %.1f MB/s (%.1f-%.1f; %s; handshake %.1f ms; server "
                "CPU %.2f ms per MB: %s)\n",
                crossOne.megabytesPerSecond, crossOne.lowest, crossOne.highest,
                ratio(oneCarried, one).c_str(), crossOne.slowestHandshakeMs,
                crossOne.cpuMsPerMegabyte, perNode(crossOne.nodeCpuMsPerMegabyte, "%.2f").c_str());
    std::printf("  %d sessions, same node:  %.1f MB/s in all (%.1f-%.1f; %.1f MB/s each; slowest "
                "handshake %.1f ms; server CPU %.2f ms per MB: %s)\n",
                settings.sessions, sameMany.megabytesPerSecond, sameMany.lowest, sameMany.highest,
                sameMany.megabytesPerSecond / settings.sessions, sameMany.slowestHandshakeMs,
                sameMany.cpuMsPerMegabyte, perNode(sameMany.nodeCpuMsPerMegabyte, "%.2f").c_str());
    std::printf("  %d sessions, cross-node: %.1f MB/s in all (%.1f-%.1f; %s; %.1f MB/s each; "
                "slowest handshake %.1f ms; server CPU %.2f ms per MB: %s)\n",
                settings.sessions, crossMany.megabytesPerSecond, crossMany.lowest,
                crossMany.highest, ratio(manyCarried, many).c_str(),
                crossMany.megabytesPerSecond / settings.sessions, crossMany.slowestHandshakeMs,
                crossMany.cpuMsPerMegabyte,
                perNode(crossMany.nodeCpuMsPerMegabyte, "%.2f").c_str());
    for (int i = 0; i < kNodes; ++i) {
        const std::string metrics = fetchMetrics(io, ports[i]);
        std::printf(
            "node %d counters: sessions carried out %lld, in %lld; handshakes %s; supporters "
            "refused: %s; ID locks: %s; Redis commands %lld, errors %lld, average round trip "
            "%lld us\n",
            i + 1,
            metricValue(metrics, "velmora_cluster_forwarded_sessions_total{direction=\"out\"}"),
            metricValue(metrics, "velmora_cluster_forwarded_sessions_total{direction=\"in\"}"),
            nonZeroMetrics(metrics, "velmora_handshakes_total").c_str(),
            nonZeroMetrics(metrics, "velmora_supporter_refusals_total").c_str(),
            nonZeroMetrics(metrics, "velmora_lockouts_total ").c_str(),
            metricValue(metrics, "velmora_cluster_redis_commands_total"),
            metricValue(metrics, "velmora_cluster_redis_errors_total"),
            metricValue(metrics, "velmora_cluster_redis_latency_microseconds{of=\"average\"}"));
    }
    return 0;
}

// The run on one server (see the top of this file).
int runSingle(const Settings &settings)
{
    ServerChild server({"--idle-timeout", std::to_string(settings.idleTimeout)});
    net::io_context io;
    runFor(io, std::chrono::milliseconds(200));
    const long baseKb = server.residentKb();
    const long baseDescriptors = server.descriptors();
    const long baseSlab = slabKb();
    const auto online = [&] {
        return metricValue(fetchMetrics(io, server.port), "velmora_agents_online");
    };

    IdleCrowd crowd({server.port}, settings.agents, settings.agentPing);
    crowd.hold();
    holdFor(io, std::chrono::milliseconds(500));
    const long heldKb = server.residentKb();
    const long heldDescriptors = server.descriptors();
    const long heldSlab = slabKb();
    const int agents = settings.agents;
    const int sources = sourceAddressesFor(agents);
    std::printf("idle agents:        %d from %d loopback source addresses (127.0.0.2 and up, up "
                "to %d each), connected in %.2f s (%.0f per second)\n",
                agents, sources, (agents + sources - 1) / sources, crowd.connectSeconds,
                agents / crowd.connectSeconds);
    std::printf("server memory:      %ld kB at start, %ld kB with the agents: %.2f kB per agent "
                "(resident)\n",
                baseKb, heldKb, double(heldKb - baseKb) / agents);
    std::printf("descriptors:        %ld at start, %ld with the agents (%.3f per agent)\n",
                baseDescriptors, heldDescriptors,
                double(heldDescriptors - baseDescriptors) / agents);
    std::printf("kernel slab:        %+ld kB on the whole machine with the agents: about %.1f kB "
                "per TCP connection end (both ends are on this machine; other processes move "
                "it too)\n",
                heldSlab - baseSlab, double(heldSlab - baseSlab) / (2.0 * agents));

    // Two of the server's keepalive rounds.
    const double window = settings.idleTimeout;
    const double cpuBefore = server.cpuSeconds();
    holdFor(io, std::chrono::seconds(settings.idleTimeout));
    const double cpuIdle = (server.cpuSeconds() - cpuBefore) / window * 100;
    const long laterKb = server.residentKb();
    if (online() != agents)
        throw std::runtime_error("only " + std::to_string(online()) + " of " +
                                 std::to_string(agents) + " agents were online after " +
                                 std::to_string(settings.idleTimeout) + " s idle");
    std::printf("server CPU at idle: %.2f %% of one core over %.0f s: two rounds of its keepalive "
                "pings (every %.0f s: %.0f a second)",
                cpuIdle, window, window / 2, agents / (window / 2));
    if (settings.agentPing > 0)
        std::printf(" and the agents' pings (every %d s: %.0f a second)", settings.agentPing,
                    double(agents) / settings.agentPing);
    std::printf("; memory then %.2f kB per agent\n", double(laterKb - baseKb) / agents);

    // One keepalive round of round trips beside the crowd, then the sessions' throughput.
    const auto roundTripTime = std::chrono::seconds(std::max(2, settings.idleTimeout / 2));
    const std::vector<double> crowdedTrips = liveRoundTrips(io, server.port, roundTripTime);
    std::printf("live session beside the %d idle agents, a probe every 20 ms for %lld s: %s\n",
                agents, static_cast<long long>(roundTripTime.count()),
                percentiles(crowdedTrips).c_str());
    const std::size_t frameSize = 64 * 1024;
    const SessionPorts plainPorts{server.port, server.port, nullptr};
    const RelayFigures crowdedOne =
        sessionThroughput(io, server, plainPorts, 1, settings.seconds, frameSize);
    const RelayFigures crowdedMany =
        sessionThroughput(io, server, plainPorts, settings.sessions, settings.seconds, frameSize);
    if (online() != agents)
        throw std::runtime_error("idle agents were lost during the sessions");

    crowd.leave();
    waitUntil(
        io, [&] { return online() == 0; }, std::chrono::seconds(60),
        "the server still had idle agents online 60 s after they left");
    const long leftKb = server.residentKb();
    const std::vector<double> aloneTrips = liveRoundTrips(io, server.port, roundTripTime);
    std::printf("live session alone, the same probes: %s\n", percentiles(aloneTrips).c_str());
    const RelayFigures one =
        sessionThroughput(io, server, plainPorts, 1, settings.seconds, frameSize);
    const RelayFigures many =
        sessionThroughput(io, server, plainPorts, settings.sessions, settings.seconds, frameSize);
    std::printf("server memory once the agents left: %ld kB\n", leftKb);
    std::printf("relay beside the idle agents, against the same once they left:\n");
    std::printf("  1 session:        %.1f MB/s beside them, %.1f MB/s alone (%.2f x; server CPU "
                "%.2f against %.2f ms per MB)\n",
                crowdedOne.megabytesPerSecond, one.megabytesPerSecond,
                crowdedOne.megabytesPerSecond / one.megabytesPerSecond,
                crowdedOne.serverCpuMsPerMegabyte, one.serverCpuMsPerMegabyte);
    std::printf("  %d sessions:       %.1f MB/s in all beside them, %.1f MB/s alone (%.2f x; "
                "server CPU %.2f against %.2f ms per MB)\n",
                settings.sessions, crowdedMany.megabytesPerSecond, many.megabytesPerSecond,
                crowdedMany.megabytesPerSecond / many.megabytesPerSecond,
                crowdedMany.serverCpuMsPerMegabyte, many.serverCpuMsPerMegabyte);

    // The same workload with the supporters over wss.
    TemporaryFolder certificates;
    makeCertificates(certificates.path);
    ServerChild tlsServer({"--tls-cert", certificates.path + "/server.crt", "--tls-key",
                           certificates.path + "/server.key", "--plain-listen", "127.0.0.1:0"});
    const auto tls = clientTlsContext(certificates.path + "/ca.crt");
    const SessionPorts tlsPorts{tlsServer.plainPort, tlsServer.port, tls.get()};
    const RelayFigures tlsOne =
        sessionThroughput(io, tlsServer, tlsPorts, 1, settings.seconds, frameSize);
    const RelayFigures tlsMany =
        sessionThroughput(io, tlsServer, tlsPorts, settings.sessions, settings.seconds, frameSize);

    std::printf("relay, 64 KiB frames agent to supporter, bench clients in one thread, timed "
                "after each session's VNC handshake; TLS: a second server with --tls-cert, "
                "the supporters over wss, the agents on its plain listener:\n");
    std::printf("  1 session:        %.1f MB/s (handshake %.1f ms; server CPU %.2f ms per MB)\n",
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
}

} // namespace

int main(int argc, char **argv)
{
    try {
        const Settings settings = parse(argc, argv);
        raiseDescriptorLimit(settings.agents);
        return settings.cluster ? runCluster(settings) : runSingle(settings);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench_load: %s\n", error.what());
        return 1;
    }
}
