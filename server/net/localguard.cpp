#include "server/net/localguard.h"

#include <boost/asio/post.hpp>

namespace velmora::server {

LocalGuard::LocalGuard(net::io_context &io, LockoutSchedule lockouts, ProbeLimit probes,
                       ProbeLimit newIds)
    : io(io), guard(lockouts, probes, newIds)
{}

template <typename Answer> void LocalGuard::answer(std::function<void(Answer)> done, Answer value)
{
    net::post(io, [weak = std::weak_ptr<bool>(alive), done = std::move(done),
                   value = std::move(value)]() mutable {
        if (weak.lock())
            done(std::move(value));
    });
}

void LocalGuard::admit(const std::string &client, const std::string &id,
                       std::function<void(Admission)> done)
{
    Admission admission;
    if (const auto refusal = guard.admit(client, id, Clock::now())) {
        admission.kind = Admission::Kind::Refused;
        admission.refusal = *refusal;
    } else {
        admission.kind = Admission::Kind::Allowed;
    }
    answer(std::move(done), admission);
}

void LocalGuard::ledNowhere(const std::string &client)
{
    guard.ledNowhere(client, Clock::now());
}

void LocalGuard::handshakeEnded(const std::string &id, const AttemptGuard::Ending &ending,
                                std::function<void(AttemptGuard::Verdict)> done)
{
    answer(std::move(done), guard.handshakeEnded(id, ending, Clock::now()));
}

void LocalGuard::newId(const std::string &client,
                       std::function<void(std::optional<std::chrono::milliseconds>)> done)
{
    answer(std::move(done), std::optional(guard.newId(client, Clock::now())));
}

void LocalGuard::lockedFor(const std::string &id,
                           std::function<void(std::chrono::milliseconds)> done)
{
    answer(std::move(done), guard.lockedFor(id, Clock::now()));
}

void LocalGuard::forgetIdle(Clock::time_point now)
{
    guard.forgetIdle(now);
}

} // namespace velmora::server
