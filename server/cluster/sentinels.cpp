#include "server/cluster/sentinels.h"

#include "server/cluster/hiredisasio.h"
#include "server/core/commandline.h"
#include "server/core/text.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>

#include <sstream>

namespace velmora::server {

namespace {

using Address = Sentinels::Address;

// One connection to one Sentinel: `command` is sent once connected; each reply goes to
// `onReply`, and the end of the connection or a failed attempt to `onFailed`, both later on the
// loop and never after close().
struct Talk : HiredisAsio::Owner, std::enable_shared_from_this<Talk>
{
    Talk(net::io_context &io, Address target, std::vector<std::string> command)
        : io(io), target(std::move(target)), command(std::move(command)), resolver(io)
    {}

    ~Talk() { close(); }

    void start()
    {
        beast::error_code ec;
        const auto address = net::ip::make_address(target.host, ec);
        if (!ec) {
            open(address.to_string());
            return;
        }
        // hiredis would resolve a name with getaddrinfo, blocking the loop.
        std::weak_ptr<Talk> weak = shared_from_this();
        resolver.async_resolve(
            target.host, std::to_string(target.port),
            [weak](const beast::error_code &ec, const tcp::resolver::results_type &found) {
                const auto self = weak.lock();
                if (!self || self->ended)
                    return;
                if (ec || found.empty())
                    self->fail(ec ? ec.message() : "no address");
                else
                    self->open(found.begin()->endpoint().address().to_string());
            });
    }

    void close()
    {
        ended = true;
        resolver.cancel();
        if (link)
            link->close();
        link.reset();
    }

    void open(const std::string &address)
    {
        std::string error;
        link = HiredisAsio::connect(io, *this, address, target.port, {}, error);
        if (!link)
            fail(error);
    }

    void connected() override
    {
        if (!link->send(1, command))
            fail("the command was not taken");
    }

    void replied(std::uint64_t, const RedisReply &reply) override
    {
        later([reply](Talk &self) { self.onReply(reply); });
    }

    void gone(const std::string &reason) override
    {
        link.reset();
        fail(reason);
    }

    void fail(const std::string &reason)
    {
        later([reason](Talk &self) {
            self.ended = true;
            self.onFailed(reason);
        });
    }

    // Runs `what` on a later turn of the loop, unless the owner has closed the talk by then.
    template <typename F> void later(F what)
    {
        std::weak_ptr<Talk> weak = shared_from_this();
        net::post(io, [weak, what = std::move(what)] {
            const auto self = weak.lock();
            if (self && !self->ended)
                what(*self);
        });
    }

    net::io_context &io;
    const Address target;
    const std::vector<std::string> command;
    tcp::resolver resolver;
    std::shared_ptr<HiredisAsio> link;
    bool ended = false;
    std::function<void(const RedisReply &)> onReply;
    std::function<void(const std::string &)> onFailed;
};

std::optional<std::uint16_t> portOf(const std::string &text)
{
    unsigned long long port = 0;
    if (!parseNumber(text, 65535, port) || port == 0)
        return std::nullopt;
    return static_cast<std::uint16_t>(port);
}

} // namespace

struct Sentinels::State
{
    State(net::io_context &io, std::vector<Address> sentinels, std::string masterName,
          std::chrono::milliseconds timeout)
        : io(io), sentinels(std::move(sentinels)), masterName(std::move(masterName)),
          timeout(timeout), askTimer(io), watchTimer(io)
    {}

    net::io_context &io;
    const std::vector<Address> sentinels;
    const std::string masterName;
    const std::chrono::milliseconds timeout;
    // The Sentinel that answered last is asked first.
    std::size_t preferred = 0;
    // Expires with the state: timer completions check it before touching anything.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    // --- locate
    std::function<void(std::optional<Address>, const std::string &)> located;
    std::shared_ptr<Talk> asking;
    net::steady_timer askTimer;
    std::size_t tried = 0;
    std::string lastWhy;
    std::uint64_t askGeneration = 0;

    // --- watch
    std::function<void(const Address &)> moved;
    std::shared_ptr<Talk> watching;
    net::steady_timer watchTimer;
    std::size_t watchIndex = 0;
    std::uint64_t watchGeneration = 0;

    void askNext()
    {
        if (asking)
            asking->close();
        asking.reset();
        if (tried == sentinels.size()) {
            finish(std::nullopt);
            return;
        }
        const std::size_t index = (preferred + tried) % sentinels.size();
        ++tried;
        const Address &sentinel = sentinels[index];
        const std::string where = "the Sentinel at " + describe(sentinel);
        asking = std::make_shared<Talk>(
            io, sentinel,
            std::vector<std::string>{"SENTINEL", "get-master-addr-by-name", masterName});
        asking->onReply = [this, index, where](const RedisReply &reply) {
            if (reply.isError()) {
                lastWhy = where + " answered: " + reply.text;
            } else if (reply.type != RedisReply::Type::Array) {
                lastWhy = where + " knows no primary '" + masterName + "'";
            } else if (const auto port = reply.elements.size() == 2 ? portOf(reply.elements[1].text)
                                                                    : std::nullopt;
                       port && !reply.elements[0].text.empty()) {
                preferred = index;
                finish(Address{reply.elements[0].text, *port});
                return;
            } else {
                lastWhy = where + " gave no address";
            }
            askNext();
        };
        asking->onFailed = [this, where](const std::string &why) {
            lastWhy = "cannot reach " + where + ": " + why;
            askNext();
        };
        const std::uint64_t current = ++askGeneration;
        std::weak_ptr<bool> weak = alive;
        askTimer.expires_after(timeout);
        askTimer.async_wait([this, weak, current, where](const beast::error_code &ec) {
            if (weak.expired() || ec || current != askGeneration)
                return;
            lastWhy = where + " did not answer within " + secondsText(timeout) + " s";
            askNext();
        });
        asking->start();
    }

    void finish(std::optional<Address> address)
    {
        ++askGeneration;
        askTimer.cancel();
        if (asking)
            asking->close();
        asking.reset();
        const auto done = std::move(located);
        located = nullptr;
        if (done)
            done(std::move(address), lastWhy);
    }

    void subscribe()
    {
        const Address &sentinel = sentinels[watchIndex];
        watching = std::make_shared<Talk>(io, sentinel,
                                          std::vector<std::string>{"SUBSCRIBE", "+switch-master"});
        watching->onReply = [this](const RedisReply &reply) { announced(reply); };
        watching->onFailed = [this](const std::string &) {
            watching.reset();
            const std::uint64_t current = ++watchGeneration;
            std::weak_ptr<bool> weak = alive;
            watchTimer.expires_after(timeout);
            watchTimer.async_wait([this, weak, current](const beast::error_code &ec) {
                if (weak.expired() || ec || current != watchGeneration)
                    return;
                watchIndex = (watchIndex + 1) % sentinels.size();
                subscribe();
            });
        };
        watching->start();
    }

    // "message", "+switch-master", "NAME OLD-IP OLD-PORT NEW-IP NEW-PORT".
    void announced(const RedisReply &reply)
    {
        if (reply.type != RedisReply::Type::Array || reply.elements.size() != 3 ||
            reply.elements[0].text != "message")
            return;
        std::istringstream words(reply.elements[2].text);
        std::string name, oldHost, oldPort, newHost, newPort;
        if (!(words >> name >> oldHost >> oldPort >> newHost >> newPort) || name != masterName)
            return;
        if (const auto port = portOf(newPort); port && moved)
            moved(Address{newHost, *port});
    }
};

Sentinels::Sentinels(net::io_context &io, std::vector<Address> sentinels, std::string masterName,
                     std::chrono::milliseconds timeout)
    : state(std::make_shared<State>(io, std::move(sentinels), std::move(masterName), timeout))
{}

Sentinels::~Sentinels()
{
    stop();
}

void Sentinels::locate(std::function<void(std::optional<Address>, const std::string &)> done)
{
    State &s = *state;
    s.located = std::move(done);
    s.tried = 0;
    s.lastWhy.clear();
    s.askNext();
}

void Sentinels::watch(std::function<void(const Address &)> moved)
{
    State &s = *state;
    s.moved = std::move(moved);
    if (!s.watching) {
        s.watchIndex = s.preferred;
        s.subscribe();
    }
}

void Sentinels::stop()
{
    State &s = *state;
    s.located = nullptr;
    s.moved = nullptr;
    ++s.askGeneration;
    ++s.watchGeneration;
    s.askTimer.cancel();
    s.watchTimer.cancel();
    if (s.asking)
        s.asking->close();
    s.asking.reset();
    if (s.watching)
        s.watching->close();
    s.watching.reset();
}

std::string Sentinels::describe(const Address &address)
{
    return formatHostPort(address.host, address.port);
}

} // namespace velmora::server
