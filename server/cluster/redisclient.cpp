#include "server/cluster/redisclient.h"

#include "server/cluster/deferredreplies.h"
#include "server/cluster/hiredisasio.h"
#include "server/cluster/sentinels.h"
#include "server/core/text.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <map>

namespace velmora::server {

namespace {

using Clock = std::chrono::steady_clock;

const char *const lostText = "Redis connection lost";
const char *const notConnectedText = "not connected to Redis";
const char *const stoppedText = "Redis client stopped";

// How long one Sentinel may take to answer before the next one is asked.
constexpr std::chrono::milliseconds sentinelTimeout{1000};

} // namespace

struct RedisClient::State : HiredisAsio::Owner
{
    enum class Phase { Idle, Connecting, Handshaking, Ready, Down };
    enum class Kind { User, Eval, Handshake, Role, LastHandshake };

    struct Pending
    {
        Kind kind = Kind::User;
        RedisCallback done;
        Clock::time_point sent;
        // For EVAL after NOSCRIPT: the script and "NUMKEYS KEY... ARG...".
        std::string source;
        std::vector<std::string> evalTail;
        // For a failed handshake step: what it was, for the log.
        std::string what;
    };

    State(net::io_context &io, RedisEndpoint endpoint, std::function<void(const std::string &)> log)
        : io(io), endpoint(std::move(endpoint)), log(std::move(log)), retryTimer(io),
          attemptTimer(io), replyTimer(io), resolver(io), deferred(io)
    {
        if (!this->endpoint.sentinels.empty())
            sentinels = std::make_unique<Sentinels>(io, this->endpoint.sentinels,
                                                    this->endpoint.masterName, sentinelTimeout);
    }

    ~State()
    {
        // Dropped, not called: the owner is going away and its callbacks may point into it.
        running = false;
        dropContext();
        pending.clear();
        deferred.clear();
    }

    net::io_context &io;
    // With Sentinel, host and port are the primary's as the Sentinels last told.
    RedisEndpoint endpoint;
    std::unique_ptr<Sentinels> sentinels;
    const std::function<void(const std::string &)> log;
    std::chrono::milliseconds retry{1000};
    bool running = false;
    Phase phase = Phase::Idle;
    // Logged a failure that has not been followed by "back" yet.
    bool outage = false;
    // Makes timer and resolver completions of an earlier start or attempt harmless.
    std::uint64_t generation = 0;
    std::shared_ptr<HiredisAsio> link;
    net::steady_timer retryTimer;
    net::steady_timer attemptTimer;
    // While ready: a Redis that stops answering (a stopped process, a silent network) is taken
    // as lost once a reply is this late, so that callers get their error instead of waiting.
    net::steady_timer replyTimer;
    std::chrono::milliseconds replyTimeout{2000};
    tcp::resolver resolver;
    std::uint64_t nextId = 1;
    std::map<std::uint64_t, Pending> pending;
    DeferredReplies deferred;
    std::vector<std::function<void()>> connectedHandlers;
    std::vector<std::function<void()>> lostHandlers;
    Stats stats;
    // Expires with the state: completions posted to the loop check it before touching anything.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    // --- connecting

    std::chrono::milliseconds attemptTimeout() const
    {
        return std::max(retry, std::chrono::milliseconds(2000)) +
               sentinelTimeout * static_cast<int>(endpoint.sentinels.size());
    }

    void do_attempt()
    {
        if (!running)
            return;
        phase = Phase::Connecting;
        const std::uint64_t current = ++generation;
        std::weak_ptr<bool> weak = alive;
        attemptTimer.expires_after(attemptTimeout());
        attemptTimer.async_wait([this, weak, current](const beast::error_code &ec) {
            if (weak.expired() || ec || current != generation)
                return;
            on_attempt_timeout();
        });
        if (sentinels) {
            sentinels->locate([this, weak, current](std::optional<Sentinels::Address> primary,
                                                    const std::string &why) {
                if (weak.expired() || current != generation || !running)
                    return;
                on_locate(primary, why);
            });
            return;
        }
        connectToEndpoint();
    }

    // The Sentinels' answer: the primary to connect to, or why none is known.
    void on_locate(const std::optional<Sentinels::Address> &primary, const std::string &why)
    {
        if (!primary) {
            attemptFailed("cannot locate Redis primary '" + endpoint.masterName + "': " + why);
            return;
        }
        followPrimary(*primary);
        connectToEndpoint();
    }

    // Takes `primary` as the one to use from now on; one log line when it is another than before.
    void followPrimary(const Sentinels::Address &primary)
    {
        if (primary.host == endpoint.host && primary.port == endpoint.port)
            return;
        const std::string before = endpoint.host.empty() ? std::string() : endpoint.describe();
        endpoint.host = primary.host;
        endpoint.port = primary.port;
        if (!before.empty())
            log("Redis primary '" + endpoint.masterName + "' moved from " + before + " to " +
                endpoint.describe());
    }

    // A Sentinel announced a failover: a connection to the old primary is dropped at once, and a
    // client waiting to try again tries the new one now.
    void on_moved(const Sentinels::Address &primary)
    {
        if (!running || (primary.host == endpoint.host && primary.port == endpoint.port))
            return;
        if (phase == Phase::Ready) {
            const std::weak_ptr<bool> weak = alive;
            dropContext();
            gone("the Sentinels moved the primary to " + Sentinels::describe(primary));
            // A handler told of the loss may have stopped or destroyed the client.
            if (weak.expired())
                return;
        }
        if (running && phase == Phase::Down)
            do_attempt();
    }

    void connectToEndpoint()
    {
        const std::uint64_t current = generation;
        std::weak_ptr<bool> weak = alive;
        beast::error_code ec;
        const auto address = net::ip::make_address(endpoint.host, ec);
        if (!endpoint.unixPath.empty() || !ec) {
            open(endpoint.unixPath.empty() ? address.to_string() : std::string());
            return;
        }
        // hiredis would resolve a name with getaddrinfo, blocking the loop.
        resolver.async_resolve(
            endpoint.host, std::to_string(endpoint.port),
            [this, weak, current](const beast::error_code &ec, tcp::resolver::results_type found) {
                if (weak.expired() || current != generation || !running)
                    return;
                on_resolve(ec, found);
            });
    }

    void on_resolve(const beast::error_code &ec, const tcp::resolver::results_type &found)
    {
        if (ec || found.empty()) {
            attemptFailed("cannot reach Redis at " + endpoint.describe() + ": " +
                          (ec ? ec.message() : std::string("no address")));
            return;
        }
        open(found.begin()->endpoint().address().to_string());
    }

    void on_attempt_timeout()
    {
        if (phase != Phase::Connecting && phase != Phase::Handshaking)
            return;
        dropContext();
        attemptFailed("cannot reach Redis at " + endpoint.describe() + ": no answer within " +
                      secondsText(attemptTimeout()) + " s");
    }

    void open(const std::string &address)
    {
        std::string error;
        link = HiredisAsio::connect(io, *this, address, endpoint.port, endpoint.unixPath, error);
        if (!link)
            attemptFailed("cannot reach Redis at " + endpoint.describe() + ": " + error);
    }

    // The socket is connected: AUTH, SELECT and a PING whose answer makes the client connected.
    void connected() override
    {
        phase = Phase::Handshaking;
        if (!endpoint.password.empty()) {
            std::vector<std::string> auth{"AUTH"};
            if (!endpoint.user.empty())
                auth.push_back(endpoint.user);
            auth.push_back(endpoint.password);
            sendInternal(std::move(auth), Kind::Handshake, "AUTH");
        }
        if (endpoint.database != 0)
            sendInternal({"SELECT", std::to_string(endpoint.database)}, Kind::Handshake,
                         "SELECT " + std::to_string(endpoint.database));
        // A primary that a failover made a replica must not be written to.
        if (sentinels)
            sendInternal({"ROLE"}, Kind::Role, "ROLE");
        sendInternal({"PING"}, Kind::LastHandshake, "PING");
    }

    void sendInternal(std::vector<std::string> arguments, Kind kind, std::string what)
    {
        Pending entry;
        entry.kind = kind;
        entry.what = std::move(what);
        entry.sent = Clock::now();
        // Inside hiredis's connect callback the context cannot be freed: should hiredis refuse
        // the command, the attempt timer, which is already running, ends the attempt.
        send(entry, arguments);
    }

    // Hands `arguments` to hiredis and keeps `entry` (moved from) for the reply; false, with
    // `entry` left alone, when the context takes no more commands.
    bool send(Pending &entry, const std::vector<std::string> &arguments)
    {
        const std::uint64_t id = nextId++;
        if (!link || !link->send(id, arguments))
            return false;
        pending.emplace(id, std::move(entry));
        return true;
    }

    void becomeReady()
    {
        attemptTimer.cancel();
        phase = Phase::Ready;
        watchReplies();
        stats.connected = true;
        if (outage) {
            outage = false;
            log("Redis connection back");
        }
        notify(connectedHandlers);
    }

    // Calls each handler in turn, unless one of them stopped or destroyed the client.
    void notify(const std::vector<std::function<void()>> &handlers)
    {
        const Phase now = phase;
        std::weak_ptr<bool> weak = alive;
        for (std::size_t i = 0; i < handlers.size(); ++i) {
            const auto handler = handlers[i];
            handler();
            if (weak.expired() || phase != now)
                return;
        }
    }

    void attemptFailed(const std::string &reason)
    {
        phase = Phase::Down;
        stats.connected = false;
        ++stats.errors;
        if (!outage) {
            outage = true;
            log(reason);
        }
        scheduleRetry();
    }

    void scheduleRetry()
    {
        attemptTimer.cancel();
        if (!running)
            return;
        const std::uint64_t current = ++generation;
        std::weak_ptr<bool> weak = alive;
        retryTimer.expires_after(retry);
        retryTimer.async_wait([this, weak, current](const beast::error_code &ec) {
            if (weak.expired() || ec || current != generation)
                return;
            do_attempt();
        });
    }

    void watchReplies()
    {
        const std::uint64_t current = generation;
        std::weak_ptr<bool> weak = alive;
        replyTimer.expires_after(replyTimeout / 4);
        replyTimer.async_wait([this, weak, current](const beast::error_code &ec) {
            if (weak.expired() || ec || current != generation || phase != Phase::Ready)
                return;
            // Replies come in order: the oldest pending command is the one to wait for.
            if (!pending.empty() && Clock::now() - pending.begin()->second.sent > replyTimeout) {
                dropContext();
                gone("no reply within " + std::to_string(replyTimeout.count()) + " ms");
                return;
            }
            watchReplies();
        });
    }

    // hiredis frees the context the client still used (a lost connection, or an attempt that
    // failed), or the client gave up on it.
    void gone(const std::string &reason) override
    {
        link.reset();
        const bool wasReady = phase == Phase::Ready;
        failPending(lostText);
        if (!wasReady) {
            attemptFailed("cannot reach Redis at " + endpoint.describe() + ": " + reason);
            return;
        }
        phase = Phase::Down;
        stats.connected = false;
        outage = true;
        scheduleRetry();
        const std::weak_ptr<bool> weak = alive;
        notify(lostHandlers);
        if (!weak.expired())
            log(std::string(lostText) + ": " + reason);
    }

    // Forgets the current context and has hiredis free it (later, when called from inside one
    // of its reply callbacks); its callbacks find no owner from then on.
    void dropContext()
    {
        if (link)
            link->close();
        link.reset();
    }

    // --- replies

    void replied(std::uint64_t id, const RedisReply &reply) override
    {
        const auto found = pending.find(id);
        if (found == pending.end())
            return;
        Pending entry = std::move(found->second);
        pending.erase(found);
        if (entry.kind == Kind::Handshake || entry.kind == Kind::Role ||
            entry.kind == Kind::LastHandshake) {
            std::string failure = reply.isError() ? reply.text : std::string();
            if (entry.kind == Kind::Role && failure.empty() &&
                (reply.elements.empty() || reply.elements[0].text != "master"))
                failure = "it is " +
                          (reply.elements.empty() ? "no primary" : "a " + reply.elements[0].text);
            if (!failure.empty()) {
                dropContext();
                failPending(lostText);
                attemptFailed("Redis at " + endpoint.describe() + ": " + entry.what +
                              " failed: " + failure);
            } else if (entry.kind == Kind::LastHandshake) {
                becomeReady();
            }
            return;
        }
        const auto latency =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - entry.sent);
        stats.lastLatencyUs = static_cast<std::uint64_t>(latency.count());
        stats.averageLatencyUs = stats.averageLatencyUs == 0
                                     ? stats.lastLatencyUs
                                     : (stats.averageLatencyUs * 7 + stats.lastLatencyUs) / 8;
        if (entry.kind == Kind::Eval && reply.isError() && reply.text.rfind("NOSCRIPT", 0) == 0) {
            // Redis lost its script cache (a restart, SCRIPT FLUSH): load it with EVAL.
            std::vector<std::string> arguments{"EVAL", entry.source};
            arguments.insert(arguments.end(), entry.evalTail.begin(), entry.evalTail.end());
            Pending retried;
            retried.done = std::move(entry.done);
            retried.sent = Clock::now();
            ++stats.commands;
            if (!send(retried, arguments)) {
                ++stats.errors;
                deferred.deliverLater(std::move(retried.done), RedisReply::error(lostText));
            }
            return;
        }
        if (reply.isError())
            ++stats.errors;
        entry.done(reply);
    }

    // Sends a command of the client's user: `entry.done` gets its reply, or an error later.
    void submit(Pending entry, const std::vector<std::string> &arguments)
    {
        ++stats.commands;
        entry.sent = Clock::now();
        if (phase == Phase::Ready && !arguments.empty() && send(entry, arguments))
            return;
        ++stats.errors;
        deferred.deliverLater(
            std::move(entry.done),
            RedisReply::error(arguments.empty() ? "an empty command" : notConnectedText));
    }

    // Every command waiting for a reply gets an error instead, later on the loop.
    void failPending(const char *text)
    {
        auto failed = std::move(pending);
        pending.clear();
        for (auto &[id, entry] : failed) {
            (void)id;
            if (entry.done) {
                ++stats.errors;
                deferred.deliverLater(std::move(entry.done), RedisReply::error(text));
            }
        }
    }
};

RedisClient::RedisClient(net::io_context &io, RedisEndpoint endpoint,
                         std::function<void(const std::string &)> log)
    : state(std::make_unique<State>(io, std::move(endpoint), std::move(log)))
{}

RedisClient::~RedisClient() = default;

std::optional<std::string> RedisClient::checkReachable(const RedisEndpoint &endpoint,
                                                       std::chrono::milliseconds timeout)
{
    // One attempt of the client itself, on a loop of its own: its first failure is the answer.
    net::io_context io;
    std::optional<std::string> problem;
    RedisClient client(io, endpoint, [&](const std::string &line) {
        if (!problem)
            problem = line;
        io.stop();
    });
    client.onConnected([&io] { io.stop(); });
    client.start(timeout);
    io.run_for(timeout);
    if (client.connected())
        return std::nullopt;
    return problem ? *problem
                   : "cannot reach Redis at " + endpoint.describe() + ": no answer within " +
                         secondsText(timeout) + " s";
}

void RedisClient::start(std::chrono::milliseconds retry)
{
    if (state->running)
        return;
    state->retry = std::max(retry, std::chrono::milliseconds(1));
    state->running = true;
    if (state->sentinels) {
        std::weak_ptr<bool> weak = state->alive;
        state->sentinels->watch([this, weak](const Sentinels::Address &primary) {
            if (!weak.expired())
                state->on_moved(primary);
        });
    }
    state->do_attempt();
}

void RedisClient::stop()
{
    State &s = *state;
    s.running = false;
    ++s.generation;
    s.retryTimer.cancel();
    s.attemptTimer.cancel();
    s.replyTimer.cancel();
    s.resolver.cancel();
    if (s.sentinels)
        s.sentinels->stop();
    s.dropContext();
    s.phase = State::Phase::Idle;
    s.stats.connected = false;
    s.outage = false;
    s.failPending(stoppedText);
    s.deferred.drain();
}

bool RedisClient::connected() const
{
    return state->phase == State::Phase::Ready;
}

void RedisClient::command(std::vector<std::string> arguments, RedisCallback done)
{
    State::Pending entry;
    entry.done = std::move(done);
    state->submit(std::move(entry), arguments);
}

void RedisClient::eval(const RedisScript &script, std::vector<std::string> keys,
                       std::vector<std::string> arguments, RedisCallback done)
{
    State::Pending entry;
    entry.kind = State::Kind::Eval;
    entry.done = std::move(done);
    entry.source = script.source;
    entry.evalTail.reserve(1 + keys.size() + arguments.size());
    entry.evalTail.push_back(std::to_string(keys.size()));
    for (std::string &key : keys)
        entry.evalTail.push_back(std::move(key));
    for (std::string &argument : arguments)
        entry.evalTail.push_back(std::move(argument));
    std::vector<std::string> evalsha{"EVALSHA", script.sha1};
    evalsha.insert(evalsha.end(), entry.evalTail.begin(), entry.evalTail.end());
    state->submit(std::move(entry), evalsha);
}

void RedisClient::onConnected(std::function<void()> handler)
{
    state->connectedHandlers.push_back(std::move(handler));
}

void RedisClient::onLost(std::function<void()> handler)
{
    state->lostHandlers.push_back(std::move(handler));
}

RedisClient::Stats RedisClient::stats() const
{
    return state->stats;
}

} // namespace velmora::server
