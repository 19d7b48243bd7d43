// Load on the rendezvous server, over loopback only: many idle agents held at once (memory per
// agent, CPU at idle) and several relayed sessions at once (throughput against one session).
// The server runs as a child process so that its own memory and CPU are measured.
//
//   bench_load [--agents N] [--sessions K] [--seconds S]
#include "protocol/envelope.h"
#include "server/beast.h"

#include <boost/asio/steady_timer.hpp>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace velmora::server;
using Clock = std::chrono::steady_clock;

namespace {

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

// The server as a child process, on a free port, with a secret in a temporary folder.
class ServerChild
{
public:
    ServerChild()
    {
        char folder[] = "/tmp/velmora-bench-XXXXXX";
        if (!mkdtemp(folder))
            throw std::runtime_error("mkdtemp failed");
        directory = folder;
        int pipeFds[2];
        if (pipe(pipeFds) != 0)
            throw std::runtime_error("pipe failed");
        pid = fork();
        if (pid == 0) {
            dup2(pipeFds[1], STDERR_FILENO);
            close(pipeFds[0]);
            const std::string secret = directory + "/secret";
            // Pings every 5 s, so that the idle measurement includes keepalive.
            execl(VELMORA_SERVER_BIN, "velmora-server", "--listen", "127.0.0.1:0", "--secret-file",
                  secret.c_str(), "--idle-timeout", "10", nullptr);
            _exit(127);
        }
        close(pipeFds[1]);
        log = fdopen(pipeFds[0], "r");
        char line[512];
        while (fgets(line, sizeof line, log)) {
            const char *at = std::strstr(line, "listening on 127.0.0.1:");
            if (at) {
                port = static_cast<std::uint16_t>(
                    std::atoi(at + std::strlen("listening on 127.0.0.1:")));
                break;
            }
        }
        if (port == 0)
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
        std::remove((directory + "/secret").c_str());
        rmdir(directory.c_str());
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

    std::uint16_t port = 0;

private:
    std::string directory;
    pid_t pid = -1;
    pid_t drainer = -1;
    FILE *log = nullptr;
};

// An agent as the bench plays it: connects, takes its ID, and in a session sends `frame`
// envelopes back to back.
class BenchAgent : public std::enable_shared_from_this<BenchAgent>
{
public:
    BenchAgent(net::io_context &io, std::uint16_t port, std::function<void(BenchAgent &)> ready)
        : ws(io), port(port), ready(std::move(ready))
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
                } else if (message.find("\"start_session\"") != std::string::npos && self->frame) {
                    self->pump();
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

    websocket::stream<beast::tcp_stream> ws;
    beast::flat_buffer buffer;
    std::uint16_t port;
    std::function<void(BenchAgent &)> ready;
    std::string id;
    std::shared_ptr<const std::string> frame;
    bool stopped = false;
    static inline int failures = 0;
};

// A supporter that counts what it receives.
class BenchSupporter : public std::enable_shared_from_this<BenchSupporter>
{
public:
    BenchSupporter(net::io_context &io, std::uint16_t port, std::string id)
        : ws(io), port(port), id(std::move(id))
    {}

    void start()
    {
        auto self = shared_from_this();
        beast::get_lowest_layer(ws).async_connect(
            tcp::endpoint(net::ip::make_address("127.0.0.1"), port),
            [self](const beast::error_code &ec) {
                if (ec)
                    return;
                self->ws.async_handshake("127.0.0.1", "/viewer/" + self->id,
                                         [self](const beast::error_code &error) {
                                             if (!error)
                                                 self->read();
                                         });
            });
    }

    void read()
    {
        ws.async_read(buffer,
                      [self = shared_from_this()](const beast::error_code &ec, std::size_t size) {
                          if (ec)
                              return;
                          self->bytes += size;
                          self->buffer.consume(self->buffer.size());
                          self->read();
                      });
    }

    websocket::stream<beast::tcp_stream> ws;
    beast::flat_buffer buffer;
    std::uint16_t port;
    std::string id;
    std::uint64_t bytes = 0;
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

// MB/s of relayed payload over `seconds` with `count` sessions, each streaming desktop frames of
// `frameSize` bytes from agent to supporter.
double sessionThroughput(net::io_context &io, std::uint16_t port, int count, double seconds,
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
        auto agent = std::make_shared<BenchAgent>(io, port, [&](BenchAgent &) { ++ready; });
        agent->frame = envelope;
        agents.push_back(agent);
        agent->start();
    }
    io.restart();
    while (ready < count)
        io.run_for(std::chrono::milliseconds(10));
    std::vector<std::shared_ptr<BenchSupporter>> supporters;
    for (const auto &agent : agents) {
        supporters.push_back(std::make_shared<BenchSupporter>(io, port, agent->id));
        supporters.back()->start();
    }
    // Let the sessions get going before measuring.
    runFor(io, std::chrono::milliseconds(500));
    std::uint64_t before = 0;
    for (const auto &supporter : supporters)
        before += supporter->bytes;
    const auto begin = Clock::now();
    runFor(io, std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
    const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
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
    return double(after - before) / elapsed / 1e6;
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
        const double one = sessionThroughput(io, server.port, 1, settings.seconds, frameSize);
        const double many =
            sessionThroughput(io, server.port, settings.sessions, settings.seconds, frameSize);
        std::printf("relay, 64 KiB frames agent to supporter, bench clients in one thread:\n");
        std::printf("  1 session:        %.1f MB/s\n", one);
        std::printf("  %d sessions:       %.1f MB/s in all (%.2f x one session, %.1f MB/s each)\n",
                    settings.sessions, many, many / one, many / settings.sessions);
        std::printf("server memory after: %ld kB\n", server.residentKb());
        return 0;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench_load: %s\n", error.what());
        return 1;
    }
}
