#include "server/net/redisclient.h"

#include "server/core/text.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>

#include <hiredis/async.h>
#include <hiredis/hiredis.h>
#include <openssl/sha.h>

#include <algorithm>
#include <deque>
#include <map>

namespace velmora::server {

namespace {

using Clock = std::chrono::steady_clock;

const char *const lostText = "Redis connection lost";
const char *const notConnectedText = "not connected to Redis";
const char *const stoppedText = "Redis client stopped";

RedisReply errorReply(std::string text)
{
    RedisReply reply;
    reply.type = RedisReply::Type::Error;
    reply.text = std::move(text);
    return reply;
}

RedisReply convert(const redisReply &from)
{
    RedisReply to;
    switch (from.type) {
    case REDIS_REPLY_STRING:
        to.type = RedisReply::Type::String;
        to.text.assign(from.str, from.len);
        break;
    case REDIS_REPLY_STATUS:
        to.type = RedisReply::Type::Status;
        to.text.assign(from.str, from.len);
        break;
    case REDIS_REPLY_ERROR:
        to.type = RedisReply::Type::Error;
        to.text.assign(from.str, from.len);
        break;
    case REDIS_REPLY_INTEGER:
        to.type = RedisReply::Type::Integer;
        to.integer = from.integer;
        break;
    case REDIS_REPLY_ARRAY:
        to.type = RedisReply::Type::Array;
        to.elements.reserve(from.elements);
        for (std::size_t i = 0; i < from.elements; ++i)
            to.elements.push_back(convert(*from.element[i]));
        break;
    default:
        to.type = RedisReply::Type::Nil;
        break;
    }
    return to;
}

timeval toTimeval(std::chrono::microseconds duration)
{
    duration = std::max(duration, std::chrono::microseconds(1000));
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(duration.count() / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(duration.count() % 1000000);
    return tv;
}

// Argument vectors as hiredis wants them, pointing into `arguments`.
struct Argv
{
    explicit Argv(const std::vector<std::string> &arguments)
    {
        for (const std::string &argument : arguments) {
            pointers.push_back(argument.data());
            lengths.push_back(argument.size());
        }
    }
    int count() const { return static_cast<int>(pointers.size()); }
    std::vector<const char *> pointers;
    std::vector<std::size_t> lengths;
};

} // namespace

RedisScript::RedisScript(std::string text) : source(std::move(text))
{
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char *>(source.data()), source.size(), digest);
    static const char hex[] = "0123456789abcdef";
    for (const unsigned char byte : digest) {
        sha1 += hex[byte >> 4];
        sha1 += hex[byte & 15];
    }
}

// hiredis owns its context and frees it itself after a connection error, and after the callbacks
// of a redisAsyncFree called from inside one of them. A Link stands between one context and the
// client so that either may go first: the client forgets a link by clearing `owner`, hiredis by
// calling the cleanup hook, which clears `context` and gives the descriptor back.
struct RedisClient::State
{
    struct Link
    {
        redisAsyncContext *context = nullptr;
        State *owner = nullptr;
        std::optional<net::posix::stream_descriptor> descriptor;
        bool reading = false;
        bool writing = false;
        bool waitingRead = false;
        bool waitingWrite = false;
    };

    enum class Phase { Idle, Connecting, Handshaking, Ready, Down };
    enum class Kind { User, Eval, Handshake, LastHandshake };

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

    struct Deferred
    {
        RedisCallback done;
        RedisReply reply;
    };

    State(net::io_context &io, RedisEndpoint endpoint, std::function<void(const std::string &)> log)
        : io(io), endpoint(std::move(endpoint)), log(std::move(log)), retryTimer(io),
          attemptTimer(io), replyTimer(io), resolver(io)
    {}

    ~State()
    {
        // Dropped, not called: the owner is going away and its callbacks may point into it.
        running = false;
        dropContext();
        pending.clear();
        deferred.clear();
    }

    net::io_context &io;
    const RedisEndpoint endpoint;
    const std::function<void(const std::string &)> log;
    std::chrono::milliseconds retry{1000};
    bool running = false;
    Phase phase = Phase::Idle;
    // Logged a failure that has not been followed by "back" yet.
    bool outage = false;
    // Makes timer and resolver completions of an earlier start or attempt harmless.
    std::uint64_t generation = 0;
    redisAsyncContext *context = nullptr;
    std::shared_ptr<Link> link;
    net::steady_timer retryTimer;
    net::steady_timer attemptTimer;
    // While ready: a Redis that stops answering (a stopped process, a silent network) is taken
    // as lost once a reply is this late, so that callers get their error instead of waiting.
    net::steady_timer replyTimer;
    std::chrono::milliseconds replyTimeout{2000};
    tcp::resolver resolver;
    std::uint64_t nextId = 1;
    std::map<std::uint64_t, Pending> pending;
    std::deque<Deferred> deferred;
    bool drainPosted = false;
    std::vector<std::function<void()>> connectedHandlers;
    Stats stats;
    // Expires with the state: completions posted to the loop check it before touching anything.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    // --- connecting

    void do_attempt()
    {
        if (!running)
            return;
        phase = Phase::Connecting;
        const std::uint64_t current = ++generation;
        std::weak_ptr<bool> weak = alive;
        attemptTimer.expires_after(std::max(retry, std::chrono::milliseconds(2000)));
        attemptTimer.async_wait([this, weak, current](const beast::error_code &ec) {
            if (weak.expired() || ec || current != generation)
                return;
            on_attempt_timeout();
        });
        if (!endpoint.unixPath.empty()) {
            open(redisAsyncConnectUnix(endpoint.unixPath.c_str()));
            return;
        }
        beast::error_code ec;
        const auto address = net::ip::make_address(endpoint.host, ec);
        if (!ec) {
            open(redisAsyncConnect(address.to_string().c_str(), endpoint.port));
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
        open(redisAsyncConnect(found.begin()->endpoint().address().to_string().c_str(),
                               endpoint.port));
    }

    void on_attempt_timeout()
    {
        if (phase != Phase::Connecting && phase != Phase::Handshaking)
            return;
        dropContext();
        attemptFailed("cannot reach Redis at " + endpoint.describe() + ": no answer within " +
                      secondsText(std::max(retry, std::chrono::milliseconds(2000))) + " s");
    }

    void open(redisAsyncContext *ac)
    {
        if (ac == nullptr) {
            attemptFailed("cannot reach Redis at " + endpoint.describe() + ": out of memory");
            return;
        }
        if (ac->err != 0) {
            const std::string reason = ac->errstr;
            redisAsyncFree(ac);
            attemptFailed("cannot reach Redis at " + endpoint.describe() + ": " + reason);
            return;
        }
        auto fresh = std::make_shared<Link>();
        beast::error_code ec;
        fresh->descriptor.emplace(io);
        fresh->descriptor->assign(ac->c.fd, ec);
        if (ec) {
            fresh->descriptor.reset();
            redisAsyncFree(ac);
            attemptFailed("cannot reach Redis at " + endpoint.describe() + ": " + ec.message());
            return;
        }
        fresh->context = ac;
        fresh->owner = this;
        ac->data = fresh.get();
        ac->ev.data = new std::shared_ptr<Link>(fresh);
        ac->ev.addRead = &State::hookAddRead;
        ac->ev.delRead = &State::hookDelRead;
        ac->ev.addWrite = &State::hookAddWrite;
        ac->ev.delWrite = &State::hookDelWrite;
        ac->ev.cleanup = &State::hookCleanup;
        link = fresh;
        context = ac;
        // Waits for the socket to become writable: the end of the non-blocking connect.
        redisAsyncSetConnectCallback(ac, &State::onConnect);
    }

    // The socket is connected: AUTH, SELECT and a PING whose answer makes the client connected.
    void on_socket_connected()
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
        Argv argv(arguments);
        if (redisAsyncCommandArgv(context, &State::onReply, reinterpret_cast<void *>(id),
                                  argv.count(), argv.pointers.data(),
                                  argv.lengths.data()) != REDIS_OK)
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
        std::weak_ptr<bool> weak = alive;
        for (std::size_t i = 0; i < connectedHandlers.size(); ++i) {
            const auto handler = connectedHandlers[i];
            handler();
            if (weak.expired() || phase != Phase::Ready)
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
                on_context_gone("no reply within " + std::to_string(replyTimeout.count()) + " ms");
                return;
            }
            watchReplies();
        });
    }

    // Called by the cleanup hook when hiredis frees a context the client still used: a lost
    // connection, or an attempt that failed.
    void on_context_gone(const std::string &reason)
    {
        link.reset();
        context = nullptr;
        const bool wasReady = phase == Phase::Ready;
        failPending(lostText);
        if (!wasReady) {
            attemptFailed("cannot reach Redis at " + endpoint.describe() + ": " + reason);
            return;
        }
        phase = Phase::Down;
        stats.connected = false;
        outage = true;
        log(std::string(lostText) + ": " + reason);
        scheduleRetry();
    }

    // Forgets the current context and has hiredis free it (later, when called from inside one
    // of its reply callbacks); its callbacks and hooks find no owner from then on.
    void dropContext()
    {
        if (link)
            link->owner = nullptr;
        link.reset();
        redisAsyncContext *ac = context;
        context = nullptr;
        if (ac != nullptr)
            redisAsyncFree(ac);
    }

    // --- replies

    void on_reply(std::uint64_t id, const redisReply &raw)
    {
        const auto found = pending.find(id);
        if (found == pending.end())
            return;
        Pending entry = std::move(found->second);
        pending.erase(found);
        RedisReply reply = convert(raw);
        if (entry.kind == Kind::Handshake || entry.kind == Kind::LastHandshake) {
            if (reply.isError()) {
                dropContext();
                failPending(lostText);
                attemptFailed("Redis at " + endpoint.describe() + ": " + entry.what +
                              " failed: " + reply.text);
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
                deliverLater(std::move(retried.done), errorReply(lostText));
            }
            return;
        }
        if (reply.isError())
            ++stats.errors;
        entry.done(reply);
    }

    // --- callbacks that never run inline

    void failPending(const char *text)
    {
        auto failed = std::move(pending);
        pending.clear();
        for (auto &[id, entry] : failed) {
            (void)id;
            if (entry.done) {
                ++stats.errors;
                deliverLater(std::move(entry.done), errorReply(text));
            }
        }
    }

    void deliverLater(RedisCallback done, RedisReply reply)
    {
        deferred.push_back({std::move(done), std::move(reply)});
        if (drainPosted)
            return;
        drainPosted = true;
        std::weak_ptr<bool> weak = alive;
        net::post(io, [this, weak] {
            if (weak.expired())
                return;
            drainPosted = false;
            drain();
        });
    }

    void drain()
    {
        std::weak_ptr<bool> weak = alive;
        while (!deferred.empty()) {
            Deferred item = std::move(deferred.front());
            deferred.pop_front();
            item.done(item.reply);
            if (weak.expired())
                return;
        }
    }

    // --- hiredis's hooks

    static std::shared_ptr<Link> &linkOf(void *data)
    {
        return *static_cast<std::shared_ptr<Link> *>(data);
    }

    static void armRead(const std::shared_ptr<Link> &link)
    {
        if (link->context == nullptr || !link->reading || link->waitingRead)
            return;
        link->waitingRead = true;
        link->descriptor->async_wait(net::posix::stream_descriptor::wait_read,
                                     [link](const beast::error_code &ec) {
                                         link->waitingRead = false;
                                         if (ec == net::error::operation_aborted ||
                                             link->context == nullptr || !link->reading)
                                             return;
                                         redisAsyncHandleRead(link->context);
                                         armRead(link);
                                     });
    }

    static void armWrite(const std::shared_ptr<Link> &link)
    {
        if (link->context == nullptr || !link->writing || link->waitingWrite)
            return;
        link->waitingWrite = true;
        link->descriptor->async_wait(net::posix::stream_descriptor::wait_write,
                                     [link](const beast::error_code &ec) {
                                         link->waitingWrite = false;
                                         if (ec == net::error::operation_aborted ||
                                             link->context == nullptr || !link->writing)
                                             return;
                                         redisAsyncHandleWrite(link->context);
                                         armWrite(link);
                                     });
    }

    static void hookAddRead(void *data)
    {
        const std::shared_ptr<Link> &link = linkOf(data);
        link->reading = true;
        armRead(link);
    }
    static void hookDelRead(void *data) { linkOf(data)->reading = false; }
    static void hookAddWrite(void *data)
    {
        const std::shared_ptr<Link> &link = linkOf(data);
        link->writing = true;
        armWrite(link);
    }
    static void hookDelWrite(void *data) { linkOf(data)->writing = false; }

    // hiredis frees the context next and closes its socket: the descriptor lets go of it first.
    static void hookCleanup(void *data)
    {
        auto *held = static_cast<std::shared_ptr<Link> *>(data);
        const std::shared_ptr<Link> link = *held;
        delete held;
        const std::string reason = link->context != nullptr && link->context->errstr != nullptr
                                       ? std::string(link->context->errstr)
                                       : std::string("connection closed");
        link->context = nullptr;
        link->reading = link->writing = false;
        if (link->descriptor) {
            link->descriptor->release();
            link->descriptor.reset();
        }
        if (State *owner = link->owner) {
            link->owner = nullptr;
            owner->on_context_gone(reason);
        }
    }

    static void onConnect(const redisAsyncContext *ac, int status)
    {
        auto *link = static_cast<Link *>(ac->data);
        // A failure is followed by the cleanup hook, which tells the owner.
        if (status == REDIS_OK && link->owner != nullptr)
            link->owner->on_socket_connected();
    }

    static void onReply(redisAsyncContext *ac, void *reply, void *privdata)
    {
        auto *link = static_cast<Link *>(ac->data);
        // No reply: hiredis is freeing the context, and its cleanup hook tells the owner.
        if (reply == nullptr || link->owner == nullptr)
            return;
        link->owner->on_reply(reinterpret_cast<std::uint64_t>(privdata),
                              *static_cast<redisReply *>(reply));
    }
};

RedisClient::RedisClient(net::io_context &io, RedisEndpoint endpoint,
                         std::function<void(const std::string &)> log)
    : state(std::make_unique<State>(io, std::move(endpoint), std::move(log)))
{}

RedisClient::~RedisClient() = default;

std::optional<std::string> RedisClient::checkReachable(std::chrono::milliseconds timeout) const
{
    const RedisEndpoint &endpoint = state->endpoint;
    const auto deadline = Clock::now() + timeout;
    const auto remaining = [&deadline] {
        return toTimeval(
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()));
    };
    std::unique_ptr<redisContext, void (*)(redisContext *)> context(
        endpoint.unixPath.empty()
            ? redisConnectWithTimeout(endpoint.host.c_str(), endpoint.port, remaining())
            : redisConnectUnixWithTimeout(endpoint.unixPath.c_str(), remaining()),
        &redisFree);
    const std::string where = endpoint.describe();
    if (!context)
        return "cannot reach Redis at " + where + ": out of memory";
    if (context->err != 0)
        return "cannot reach Redis at " + where + ": " + context->errstr;
    const auto ask = [&](const std::vector<std::string> &arguments,
                         const std::string &what) -> std::optional<std::string> {
        redisSetTimeout(context.get(), remaining());
        Argv argv(arguments);
        std::unique_ptr<redisReply, void (*)(void *)> reply(
            static_cast<redisReply *>(redisCommandArgv(context.get(), argv.count(),
                                                       argv.pointers.data(), argv.lengths.data())),
            &freeReplyObject);
        if (!reply) {
            const std::string reason = context->errstr;
            const bool timedOut = reason.find("temporarily unavailable") != std::string::npos;
            return "Redis at " + where + ": no answer to " + what + ": " +
                   (timedOut ? "timed out after " + secondsText(timeout) + " s" : reason);
        }
        if (reply->type == REDIS_REPLY_ERROR)
            return "Redis at " + where + ": " + what +
                   " failed: " + std::string(reply->str, reply->len);
        return std::nullopt;
    };
    if (!endpoint.password.empty()) {
        std::vector<std::string> auth{"AUTH"};
        if (!endpoint.user.empty())
            auth.push_back(endpoint.user);
        auth.push_back(endpoint.password);
        if (auto problem = ask(auth, "AUTH"))
            return problem;
    }
    if (endpoint.database != 0) {
        const std::string database = std::to_string(endpoint.database);
        if (auto problem = ask({"SELECT", database}, "SELECT " + database))
            return problem;
    }
    return ask({"PING"}, "PING");
}

void RedisClient::start(std::chrono::milliseconds retry)
{
    if (state->running)
        return;
    state->retry = std::max(retry, std::chrono::milliseconds(1));
    state->running = true;
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
    s.dropContext();
    s.phase = State::Phase::Idle;
    s.stats.connected = false;
    s.outage = false;
    s.failPending(stoppedText);
    s.drain();
}

bool RedisClient::connected() const
{
    return state->phase == State::Phase::Ready;
}

void RedisClient::command(std::vector<std::string> arguments, RedisCallback done)
{
    State &s = *state;
    ++s.stats.commands;
    State::Pending entry;
    entry.done = std::move(done);
    entry.sent = Clock::now();
    if (s.phase != State::Phase::Ready || arguments.empty()) {
        ++s.stats.errors;
        s.deliverLater(std::move(entry.done),
                       errorReply(arguments.empty() ? "an empty command" : notConnectedText));
        return;
    }
    if (!s.send(entry, arguments)) {
        ++s.stats.errors;
        s.deliverLater(std::move(entry.done), errorReply(notConnectedText));
    }
}

void RedisClient::eval(const RedisScript &script, std::vector<std::string> keys,
                       std::vector<std::string> arguments, RedisCallback done)
{
    State &s = *state;
    ++s.stats.commands;
    State::Pending entry;
    entry.kind = State::Kind::Eval;
    entry.done = std::move(done);
    entry.sent = Clock::now();
    if (s.phase != State::Phase::Ready) {
        ++s.stats.errors;
        s.deliverLater(std::move(entry.done), errorReply(notConnectedText));
        return;
    }
    entry.source = script.source;
    entry.evalTail.reserve(1 + keys.size() + arguments.size());
    entry.evalTail.push_back(std::to_string(keys.size()));
    for (std::string &key : keys)
        entry.evalTail.push_back(std::move(key));
    for (std::string &argument : arguments)
        entry.evalTail.push_back(std::move(argument));
    std::vector<std::string> evalsha{"EVALSHA", script.sha1};
    evalsha.insert(evalsha.end(), entry.evalTail.begin(), entry.evalTail.end());
    if (!s.send(entry, evalsha)) {
        ++s.stats.errors;
        s.deliverLater(std::move(entry.done), errorReply(notConnectedText));
    }
}

void RedisClient::onConnected(std::function<void()> handler)
{
    state->connectedHandlers.push_back(std::move(handler));
}

RedisClient::Stats RedisClient::stats() const
{
    return state->stats;
}

} // namespace velmora::server
