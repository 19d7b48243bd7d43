// The directory of a single node: every agent is here or nowhere, and IDs need only be unique
// here. Its answers come on the next turn of the loop, as a shared directory's would.
#pragma once

#include "server/beast/beast.h"
#include "server/net/agentdirectory.h"

#include <memory>

namespace velmora::server {

class LocalDirectory : public AgentDirectory
{
public:
    /// `io` and `agents` must outlive the directory.
    LocalDirectory(net::io_context &io, Agents &agents);

    void claim(AgentIdentity who, const std::string &remote,
               std::function<void(std::optional<AgentIdentity>)> done) override;
    void left(const std::string &) override {}
    void locate(const std::shared_ptr<SupporterConnection> &supporter, const CloseReason &here,
                std::function<void(Whereabouts)> done) override;
    bool carriedBy(std::string_view, std::string_view, std::string_view) const override
    {
        return false;
    }
    /// Never asked: nothing passes carriedBy.
    void redeem(const std::string &signature, std::function<void(SignatureUse)> done) override;
    void sweeping(Clock::time_point) override {}
    void stop() override {}

private:
    net::io_context &io;
    Agents &agents;
    /// Expires with the directory: answers on their way check it.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

} // namespace velmora::server
