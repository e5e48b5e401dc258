// The bridge's two sides: with a cluster in the build, reading the cluster settings of
// config.json and passing every call to the node's link; without one, a line at start that the
// settings are ignored, and nothing else.
#include "ClusterBridge.hpp"

#include "text/Text.hpp"

#ifdef TNLRELAY_CLUSTER
#include "cluster/Cluster.hpp"
#include "platform/Platform.hpp"

#include <fstream>
#endif

namespace tnlrelay {

#ifdef TNLRELAY_CLUSTER

using detail::logValue;

namespace {

std::string hostName() {
    std::string name = platform::hostName();
    return name.empty() ? "relay" : name;
}

/// A path of config.json: relative ones are in the data directory.
std::string configPathOf(const std::string& text) {
    const std::filesystem::path p = std::filesystem::u8path(text);
    return (p.is_absolute() ? p : dataDir() / p).string();
}

/// The first line of a file that holds a secret, without its line end; none when unreadable.
std::optional<std::string> secretFromFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

/// The login to Redis: `clusterRedisPasswordFile` (kept out of config.json, which the relay
/// rewrites and operators pass around) or `clusterRedisPassword`, and `clusterRedisUser`.
void readLogin(const RelayConfig& config, cluster::RedisAddress& redis, RelayLog& log) {
    // The secret is never written anywhere: not in a line, not in the state document.
    if (auto file = config.value<std::string>("clusterRedisPasswordFile")) {
        if (auto secret = secretFromFile(configPathOf(*file)); secret && !secret->empty())
            redis.password = *secret;
        else
            log.error("clusterRedisPasswordFile " + logValue(*file) +
                      " cannot be read or is empty; connecting without a login");
    } else if (auto password = config.value<std::string>("clusterRedisPassword")) {
        redis.password = *password;
    } else if (config.find("clusterRedisPassword")) {
        log.error("clusterRedisPassword must be a text; connecting without a login");
    }
    if (auto user = config.value<std::string>("clusterRedisUser")) {
        if (redis.password.empty())
            log.error("clusterRedisUser is ignored without a password");
        else
            redis.user = *user;
    }
}

/// The Redis of `clusterRedis`, with its login and TLS; none (and a line saying why) when
/// unusable.
std::optional<cluster::RedisAddress> redisAddress(const RelayConfig& config,
                                                  const std::string& redisText, RelayLog& log) {
    auto redis = cluster::parseRedisAddress(redisText);
    if (!redis) {
        log.error("clusterRedis " + logValue(redisText) +
                  " is not host:port, sentinel://host:port,.../master or "
                  "cluster://host:port,...; running as a single node");
        return std::nullopt;
    }
    readLogin(config, *redis, log);
    if (auto tls = config.value<bool>("clusterRedisTls"))
        redis->tls = *tls;
    else if (config.find("clusterRedisTls"))
        log.error("clusterRedisTls must be true or false; connecting without TLS");
    if (auto ca = config.value<std::string>("clusterRedisCaFile")) {
        if (redis->tls)
            redis->caFile = configPathOf(*ca);
        else
            log.error("clusterRedisCaFile is ignored without clusterRedisTls");
    }
    return redis;
}

/// `nodeName`, else the host name and the game port.
std::string nodeName(const RelayConfig& config, std::int32_t gamePort, RelayLog& log) {
    std::string node = hostName() + ":" + std::to_string(gamePort);
    if (auto named = config.value<std::string>("nodeName")) {
        if (cluster::validNodeName(*named))
            node = *named;
        else
            log.error("nodeName " + logValue(*named) +
                      " is not usable (1 to 255 bytes, no "
                      "control characters); using " +
                      logValue(node));
    }
    return node;
}

std::string clusterName(const RelayConfig& config, RelayLog& log) {
    std::string name;
    if (auto named = config.value<std::string>("clusterName")) {
        if (cluster::validNodeName(*named))
            name = *named;
        else
            log.error("clusterName " + logValue(*named) +
                      " is not usable (1 to 255 bytes, no control characters); using none");
    }
    return name;
}

} // namespace

void ClusterBridge::Deleter::operator()(cluster::Cluster* c) const {
    delete c;
}

void ClusterBridge::start(net::Loop& loop, const RelayConfig& config, std::int32_t gamePort,
                          RelayLog& log, cluster::Hooks hooks) {
    const auto redisText = config.value<std::string>("clusterRedis");
    if (!redisText) {
        if (config.find("clusterRedis"))
            log.error("clusterRedis must be a text; running as a single node");
        return;
    }
    auto redis = redisAddress(config, *redisText, log);
    if (!redis) return;
    const std::string node = nodeName(config, gamePort, log);
    const cluster::Keys keys = cluster::keysFor(
        clusterName(config, log), redis->layout == cluster::RedisAddress::Layout::cluster);
    log.info("cluster: node " + logValue(node) + " joins through Redis " + logValue(*redisText));
    cluster_.reset(new cluster::Cluster(loop, *redis, node, keys, hooks));
    cluster_->tick(std::chrono::steady_clock::now());
}

bool ClusterBridge::placing() const {
    return cluster_ && cluster_->placing();
}

bool ClusterBridge::linkUp() const {
    return cluster_ && cluster_->linked();
}

std::uint64_t ClusterBridge::place(const std::string& room, int max) {
    return cluster_ ? cluster_->place(room, max) : 0;
}

void ClusterBridge::cancel(std::uint64_t ticket) {
    if (cluster_) cluster_->cancel(ticket);
}

const cluster::Room* ClusterBridge::addMember(const std::string& instance, bool counted) {
    return cluster_ ? cluster_->addMember(instance, counted) : nullptr;
}

void ClusterBridge::removeMember(const std::string& instance) {
    if (cluster_) cluster_->removeMember(instance);
}

void ClusterBridge::publish(const cluster::Room& room, int opcode, const net::Payload& payload) {
    if (cluster_) cluster_->publish(room, opcode, std::string_view(payload.data(), payload.size()));
}

void ClusterBridge::shareBan(const std::string& ip, const std::string& name,
                             std::function<void(bool)> done) {
    if (cluster_)
        cluster_->shareBan(ip, name, std::move(done));
    else if (done)
        done(true);
}

void ClusterBridge::shareUnban(const std::string& ip, std::function<void(bool)> done) {
    if (cluster_)
        cluster_->shareUnban(ip, std::move(done));
    else if (done)
        done(true);
}

std::uint32_t ClusterBridge::takeConnId() {
    return cluster_ ? cluster_->takeConnId() : 0;
}

void ClusterBridge::view(std::size_t offset, std::size_t limit, std::size_t roomOffset,
                         std::size_t roomLimit, std::function<void(nlohmann::json)> done) {
    if (cluster_)
        cluster_->view(offset, limit, roomOffset, roomLimit, std::move(done));
    else
        done(nlohmann::json());
}

void ClusterBridge::kick(std::uint32_t connId, std::function<void(KickResult)> done) {
    if (!cluster_) {
        done(KickResult::heldNowhere);
        return;
    }
    cluster_->kick(connId, [done = std::move(done)](cluster::Cluster::KickResult r) {
        using R = cluster::Cluster::KickResult;
        done(r == R::kicked        ? KickResult::kicked
             : r == R::heldNowhere ? KickResult::heldNowhere
                                   : KickResult::unreachable);
    });
}

bool ClusterBridge::roomTotals(std::map<std::string, std::int64_t>& totals) const {
    return cluster_ && cluster_->roomTotals(totals);
}

nlohmann::json ClusterBridge::state() const {
    return cluster_ ? cluster_->state() : nlohmann::json();
}

void ClusterBridge::tick(std::chrono::steady_clock::time_point now) {
    if (cluster_) cluster_->tick(now);
}

void ClusterBridge::shutdown() {
    if (cluster_) cluster_->shutdown();
}

#else // no cluster in this build

void ClusterBridge::Deleter::operator()(cluster::Cluster*) const {}

void ClusterBridge::start(net::Loop&, const RelayConfig& config, std::int32_t, RelayLog& log,
                          cluster::Hooks) {
    if (config.find("clusterRedis"))
        log.error("clusterRedis is ignored: this build of the relay has no cluster support "
                  "(hiredis); it runs as a single node");
}

bool ClusterBridge::placing() const {
    return false;
}
bool ClusterBridge::linkUp() const {
    return false;
}
std::uint64_t ClusterBridge::place(const std::string&, int) {
    return 0;
}
void ClusterBridge::cancel(std::uint64_t) {}
const cluster::Room* ClusterBridge::addMember(const std::string&, bool) {
    return nullptr;
}
void ClusterBridge::removeMember(const std::string&) {}
void ClusterBridge::publish(const cluster::Room&, int, const net::Payload&) {}
void ClusterBridge::shareBan(const std::string&, const std::string&,
                             std::function<void(bool)> done) {
    if (done) done(true);
}
void ClusterBridge::shareUnban(const std::string&, std::function<void(bool)> done) {
    if (done) done(true);
}
std::uint32_t ClusterBridge::takeConnId() {
    return 0;
}
void ClusterBridge::view(std::size_t, std::size_t, std::size_t, std::size_t,
                         std::function<void(nlohmann::json)> done) {
    done(nlohmann::json());
}
void ClusterBridge::kick(std::uint32_t, std::function<void(KickResult)> done) {
    done(KickResult::heldNowhere);
}
bool ClusterBridge::roomTotals(std::map<std::string, std::int64_t>&) const {
    return false;
}
nlohmann::json ClusterBridge::state() const {
    return nlohmann::json();
}
void ClusterBridge::tick(std::chrono::steady_clock::time_point) {}
void ClusterBridge::shutdown() {}

#endif

} // namespace tnlrelay
