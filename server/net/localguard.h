// The guard of a single node: AttemptGuard in this process, its answers handed back on the next
// turn of the loop like those of a guard that has to ask elsewhere. Its state changes at the call,
// so a lock or a probe takes effect for every question asked after it.
#pragma once

#include "server/beast/beast.h"
#include "server/core/attemptguard.h"
#include "server/net/guard.h"

#include <memory>

namespace velmora::server {

class LocalGuard : public Guard
{
public:
    /// `io` must outlive the guard; runs on its thread.
    LocalGuard(net::io_context &io, LockoutSchedule lockouts, ProbeLimit probes,
               ProbeLimit newIds = kNewIdLimit);

    void admit(const std::string &client, const std::string &id,
               std::function<void(Admission)> done) override;
    void ledNowhere(const std::string &client) override;
    void handshakeEnded(const std::string &id, const AttemptGuard::Ending &ending,
                        std::function<void(AttemptGuard::Verdict)> done) override;
    void newId(const std::string &client,
               std::function<void(std::optional<std::chrono::milliseconds>)> done) override;
    void lockedFor(const std::string &id,
                   std::function<void(std::chrono::milliseconds)> done) override;
    void forgetIdle(Clock::time_point now) override;

    const AttemptGuard &attempts() const { return guard; }

private:
    /// Calls `done(answer)` on the next turn, unless the guard is gone by then.
    template <typename Answer> void answer(std::function<void(Answer)> done, Answer value);

    net::io_context &io;
    AttemptGuard guard;
    /// Expires with the guard: answers on their way check it.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

} // namespace velmora::server
