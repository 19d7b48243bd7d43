#include "server/cluster/clusterdirectory.h"

namespace velmora::server {

namespace {

// Time comes from Redis, the one clock that all nodes share.
//
// KEYS: id key, agent key, directory. ARGV: fingerprint, node, entry ms, remember ms, mode, ID.
// A new agent takes only a free ID; a returning one takes its ID unless another agent's token
// holds it, and ('returning', not 'take') unless another node holds it, which is named instead.
// Granted, the ID is remembered for `remember` from now (the node's refreshes keep it so while
// the agent stays), and the node is its holder.
const RedisScript kClaim(R"lua(
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local holder = redis.call('GET', KEYS[1])
if holder and (ARGV[5] == 'new' or holder ~= ARGV[1]) then
  return 0
end
if ARGV[5] == 'returning' then
  local node = redis.call('GET', KEYS[2])
  if node and node ~= ARGV[2] then
    return node
  end
end
redis.call('SET', KEYS[1], ARGV[1], 'PX', ARGV[4])
redis.call('SET', KEYS[2], ARGV[2], 'PX', ARGV[3])
redis.call('ZADD', KEYS[3], now + tonumber(ARGV[3]), ARGV[6])
return 1
)lua");

// KEYS: directory. ARGV: prefix, node, entry ms, remember ms, then ID and fingerprint pairs.
// Renews this node's entries, and puts back those that Redis lost (a restart); returns the IDs
// that another node or another agent holds now. Drops expired IDs from the count.
const RedisScript kRefresh(R"lua(
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local lost = {}
for i = 5, #ARGV, 2 do
  local id, fingerprint = ARGV[i], ARGV[i + 1]
  local idKey, agentKey = ARGV[1] .. 'id:' .. id, ARGV[1] .. 'agent:' .. id
  local node = redis.call('GET', agentKey)
  local holder = redis.call('GET', idKey)
  if (node and node ~= ARGV[2]) or (holder and holder ~= fingerprint) then
    lost[#lost + 1] = id
  else
    redis.call('SET', idKey, fingerprint, 'PX', ARGV[4])
    redis.call('SET', agentKey, ARGV[2], 'PX', ARGV[3])
    redis.call('ZADD', KEYS[1], now + tonumber(ARGV[3]), id)
  end
end
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now)
return {redis.call('ZCARD', KEYS[1]), lost}
)lua");

// KEYS: agent key, directory. ARGV: node, ID. Only this node's entry goes: the agent may already
// be back through another node.
const RedisScript kLeave(R"lua(
if redis.call('GET', KEYS[1]) == ARGV[1] then
  redis.call('DEL', KEYS[1])
  redis.call('ZREM', KEYS[2], ARGV[2])
end
return 0
)lua");

} // namespace

ClusterDirectory::ClusterDirectory(net::io_context &io, RedisClient &redis, Settings settings,
                                   LocalAgents localAgents, Lost lost)
    : redis(redis), settings(std::move(settings)), localAgents(std::move(localAgents)),
      lost(std::move(lost)), timer(io)
{
    redis.onConnected([this, alive = std::weak_ptr<bool>(alive)] {
        if (alive.lock())
            doRefresh();
    });
    schedule();
}

ClusterDirectory::~ClusterDirectory()
{
    *alive = false;
}

void ClusterDirectory::claimNew(const std::string &id, const std::string &fingerprint,
                                std::function<void(Claim)> done)
{
    claim(id, fingerprint, "new", settings.rememberNew,
          [done = std::move(done)](Claim result, const std::string &) { done(result); });
}

void ClusterDirectory::claimReturning(const std::string &id, const std::string &fingerprint,
                                      bool overHolder,
                                      std::function<void(Claim, const std::string &)> done)
{
    claim(id, fingerprint, overHolder ? "take" : "returning", settings.remember, std::move(done));
}

void ClusterDirectory::claim(const std::string &id, const std::string &fingerprint,
                             const char *mode, std::chrono::milliseconds remember,
                             std::function<void(Claim, const std::string &)> done)
{
    const std::string &p = settings.prefix;
    redis.eval(kClaim, {p + "id:" + id, p + "agent:" + id, p + "directory"},
               {fingerprint, settings.node, std::to_string(3 * settings.refresh.count()),
                std::to_string(remember.count()), mode, id},
               [done = std::move(done)](const RedisReply &reply) {
                   if (reply.type == RedisReply::Type::String)
                       done(Claim::HeldElsewhere, reply.text);
                   else if (reply.type != RedisReply::Type::Integer)
                       done(Claim::Unavailable, {});
                   else
                       done(reply.integer == 1 ? Claim::Granted : Claim::Taken, {});
               });
}

void ClusterDirectory::left(const std::string &id)
{
    const std::string &p = settings.prefix;
    redis.eval(kLeave, {p + "agent:" + id, p + "directory"}, {settings.node, id},
               [](const RedisReply &) {});
}

void ClusterDirectory::lookup(const std::string &id, std::function<void(Location)> done)
{
    const std::string &p = settings.prefix;
    redis.command({"MGET", p + "agent:" + id, p + "id:" + id},
                  [done = std::move(done)](const RedisReply &reply) {
                      Location where;
                      if (reply.type != RedisReply::Type::Array || reply.elements.size() != 2) {
                          where.kind = Location::Kind::Unavailable;
                      } else if (reply.elements[0].type == RedisReply::Type::String) {
                          where.kind = Location::Kind::Node;
                          where.node = reply.elements[0].text;
                      } else if (reply.elements[1].type == RedisReply::Type::String) {
                          where.kind = Location::Kind::Offline;
                      }
                      done(std::move(where));
                  });
}

void ClusterDirectory::stop()
{
    stopped = true;
    timer.cancel();
}

void ClusterDirectory::schedule()
{
    if (stopped)
        return;
    timer.expires_after(settings.refresh);
    timer.async_wait([this, alive = std::weak_ptr<bool>(alive)](const beast::error_code &ec) {
        if (ec || !alive.lock() || stopped)
            return;
        doRefresh();
        schedule();
    });
}

void ClusterDirectory::doRefresh()
{
    // In batches, so that one script never holds Redis up for long.
    constexpr std::size_t kBatch = 1000;
    const std::string &p = settings.prefix;
    auto agents = localAgents();
    std::size_t next = 0;
    do {
        std::vector<std::string> arguments{p, settings.node,
                                           std::to_string(3 * settings.refresh.count()),
                                           std::to_string(settings.remember.count())};
        for (const std::size_t end = std::min(agents.size(), next + kBatch); next < end; ++next) {
            arguments.push_back(std::move(agents[next].first));
            arguments.push_back(std::move(agents[next].second));
        }
        redis.eval(kRefresh, {p + "directory"}, std::move(arguments),
                   [this, alive = std::weak_ptr<bool>(alive)](const RedisReply &reply) {
                       if (alive.lock())
                           onRefresh(reply);
                   });
    } while (next < agents.size());
}

void ClusterDirectory::onRefresh(const RedisReply &reply)
{
    if (reply.type != RedisReply::Type::Array || reply.elements.size() != 2)
        return;
    knownSize = static_cast<std::size_t>(std::max(0LL, reply.elements[0].integer));
    for (const RedisReply &id : reply.elements[1].elements)
        lost(id.text);
}

} // namespace velmora::server
