#include "server/net/localdirectory.h"

#include "server/net/localguard.h"
#include "server/net/nodeservices.h"
#include "server/net/supporterconnection.h"

#include <boost/asio/post.hpp>

namespace velmora::server {

NodeServices localServices(const NodeContext &context)
{
    NodeServices services;
    services.directory = std::make_unique<LocalDirectory>(context.io, context.agents);
    services.guard =
        std::make_unique<LocalGuard>(context.io, context.config.options.lockout,
                                     context.config.options.probes, context.config.options.newIds);
    return services;
}

LocalDirectory::LocalDirectory(net::io_context &io, Agents &agents) : io(io), agents(agents) {}

void LocalDirectory::redeem(const std::string &, std::function<void(SignatureUse)> done)
{
    net::post(io, [weak = std::weak_ptr<bool>(alive), done = std::move(done)] {
        if (weak.lock())
            done(SignatureUse::Replayed);
    });
}

void LocalDirectory::claim(AgentIdentity who, const std::string &,
                           std::function<void(std::optional<AgentIdentity>)> done)
{
    // Drawn in the turn that welcomes the agent, so that no other agent can draw it meanwhile.
    net::post(io, [this, weak = std::weak_ptr<bool>(alive), who = std::move(who),
                   done = std::move(done)]() mutable {
        if (!weak.lock())
            return;
        if (!who.returning())
            agents.draw(who);
        done(std::move(who));
    });
}

void LocalDirectory::locate(const std::shared_ptr<SupporterConnection> &supporter,
                            const CloseReason &here, std::function<void(Whereabouts)> done)
{
    net::post(io, [weak = std::weak_ptr<bool>(alive),
                   supporter = std::weak_ptr<SupporterConnection>(supporter), here,
                   done = std::move(done)] {
        const auto live = supporter.lock();
        if (!weak.lock() || !live || live->closing())
            return;
        Whereabouts nowhere;
        nowhere.reason = here;
        done(nowhere);
    });
}

} // namespace velmora::server
