// Which agents are online under which session ID, which of them are in a session, and which IDs
// belonged to agents that went offline recently and may come back.
#pragma once

#include "server/core/clock.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace velmora::server {

/// Names one network connection for the lifetime of the server; 0 is never used.
using ConnectionId = std::uint64_t;

class SessionRegistry
{
public:
    /// Why a supporter cannot start a session with an ID.
    enum class Refusal { None, UnknownId, Offline, Busy };

    struct Agent
    {
        ConnectionId connection = 0;
        std::string token;
        /// The supporter's connection while a session runs, else 0.
        ConnectionId supporter = 0;
    };

    /// IDs of agents that went offline are kept for `remember` (and at most `maxRemembered` of
    /// them, the oldest forgotten first), so that no other agent gets them meanwhile.
    explicit SessionRegistry(Clock::duration remember = std::chrono::hours(24),
                             std::size_t maxRemembered = 100000);

    /// True when a new agent must not get `id`: online, or offline but remembered.
    bool isTaken(std::string_view id) const;

    /// True when `id` is online under a token other than `token`. Such a token is valid but
    /// belongs to another agent (possible after a restart forgot the ID); its holder gets a
    /// fresh ID.
    bool heldByOtherToken(std::string_view id, std::string_view token) const;

    /// Records the agent on `connection` as online under `id` and `token`. Returns the connection
    /// it replaces (an earlier one with the same ID), which the caller closes, ending its session.
    std::optional<ConnectionId> agentOnline(const std::string &id, const std::string &token,
                                            ConnectionId connection, Clock::time_point now);

    /// The agent on `connection` went offline; nothing happens when `id` is held by another
    /// connection (it was replaced). Its session, if any, ends. The ID is remembered.
    void agentOffline(const std::string &id, ConnectionId connection, Clock::time_point now);

    /// Starts a session of the supporter on `supporter` with the agent `id`.
    Refusal beginSession(std::string_view id, ConnectionId supporter, Clock::time_point now);

    /// Ends the session of `supporter` with `id`, if it is that session.
    void endSession(std::string_view id, ConnectionId supporter);

    /// The online agent with `id`, or null.
    const Agent *find(std::string_view id) const;

    std::size_t onlineCount() const { return agents.size(); }
    std::size_t sessionCount() const { return sessions; }
    std::size_t rememberedCount() const { return remembered.size(); }

private:
    void forgetExpired(Clock::time_point now);

    Clock::duration rememberFor;
    std::size_t maxRemembered;
    std::unordered_map<std::string, Agent> agents;
    std::size_t sessions = 0;
    // When each remembered ID went offline; `order` lists them oldest first and may hold stale
    // entries for IDs that came back or went offline again (checked against `remembered`).
    std::unordered_map<std::string, Clock::time_point> remembered;
    std::deque<std::pair<Clock::time_point, std::string>> order;
};

} // namespace velmora::server
