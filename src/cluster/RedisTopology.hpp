// Where the cluster's Redis is: one server, a master found through Sentinels, or a Redis Cluster
// of shards, as `clusterRedis` names it; and, for a Redis Cluster, which slot (and so which shard)
// a key or channel belongs to. Pure functions without sockets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tnlrelay::cluster {

/// One server: "host:port" with a port in 1..65535 and a host that is not empty; IPv6 in brackets.
struct RedisEndpoint {
    std::string host;
    int port = 0;
    std::string text() const; ///< "host:port", IPv6 in brackets
    bool operator==(const RedisEndpoint&) const = default;
};
std::optional<RedisEndpoint> parseRedisEndpoint(std::string_view text);

/// The Redis of a cluster, as `clusterRedis` names it:
///   "host:port"                                one Redis
///   "sentinel://host:port,host:port/<master>"  the master that these Sentinels name
///   "cluster://host:port,host:port"            a Redis Cluster, found through any of these
struct RedisAddress {
    enum class Layout { single, sentinel, cluster };
    Layout layout = Layout::single;
    std::vector<RedisEndpoint> servers; ///< the Redis, the Sentinels, or the Cluster's seeds
    std::string master;                 ///< Sentinel: the master's name
    // The first server, for a single Redis: where it is.
    std::string host;
    int port = 0;
    /// With a password, every connection to Redis logs in first (AUTH, with the user for an ACL
    /// user). Secrets: never written to the log or shown.
    std::string user;
    std::string password;
    /// TLS to Redis (and to the Sentinels), trusting the certificates of `caFile` (PEM), or the
    /// system's when it is empty.
    bool tls = false;
    std::string caFile;
};
std::optional<RedisAddress> parseRedisAddress(std::string_view text);

/// The number of hash slots of a Redis Cluster.
inline constexpr unsigned kRedisSlots = 16384;
/// The slot of a key or shard channel: CRC16 of the key, or of its hash tag (the text between
/// the first "{" and the first "}" after it, when that is not empty).
unsigned keySlot(std::string_view key);
/// The key a command is routed by in a Redis Cluster: the first key of a script (EVAL, EVALSHA,
/// FCALL with at least one), else the first argument (keys, SPUBLISH, SSUBSCRIBE channels);
/// nothing for a command without one (PING).
std::optional<std::string_view> routingKey(const std::vector<std::string_view>& args);

} // namespace tnlrelay::cluster
