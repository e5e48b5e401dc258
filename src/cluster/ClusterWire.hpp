// What nodes of one relay write to Redis and to each other: key and channel names, the payloads
// published on the channels, the seat fields, and the Redis protocol's command encoding. Pure
// functions without sockets, so that hostile input can be tried on them directly.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tnlrelay::cluster {

/// Every key and channel of the relay begins with this, so that one Redis can serve others too.
inline constexpr std::string_view kPrefix = "tnlrelay:";

std::string nodesKey();                      ///< set of node names that registered
std::string nodeKey(std::string_view node);  ///< a node's heartbeat: its summary, with expiry
std::string basesKey();                      ///< set of base names that have seats
std::string seatsKey(std::string_view base); ///< hash "node\nn" -> seats of base's instance n
std::string bannedKey();                     ///< hash ip -> name, the cluster's bans
std::string roomChannel(std::string_view instance); ///< where an instance's messages travel
std::string bansChannel();                          ///< where bans and unbans travel

/// An instance as base name and number: "lobby#3" is ("lobby", 3) and "lobby" is ("lobby", 1).
/// Only a canonical number of 2 or more counts ("x#1" and "x#02" are bases of their own), so
/// that `instanceName` gives back exactly the text it came from.
struct InstanceRef {
    std::string base;
    std::uint64_t n = 1;
    bool operator==(const InstanceRef&) const = default;
};
InstanceRef splitInstance(std::string_view instance);
std::string instanceName(std::string_view base, std::uint64_t n);

/// A seat field: the node holding the seats and the instance number.
std::string seatField(std::string_view node, std::uint64_t n);
/// The node and number of a seat field; nothing for a field that is not one.
std::optional<std::pair<std::string, std::uint64_t>> parseSeatField(std::string_view field);

/// What travels on the channels. Messages and presence on an instance's channel, bans on the
/// bans channel. `node` is the sender, so that a node skips what it published itself.
struct WireMessage {
    enum class Kind : char { message = 'M', presence = 'P', ban = 'B', unban = 'U' };
    Kind kind = Kind::message;
    std::string node;
    int opcode = 0;         ///< message: 1 (text) or 2 (binary)
    bool present = false;   ///< presence: whether `node` holds members of the instance
    std::string ip;         ///< ban, unban
    std::string_view bytes; ///< message: the payload; ban: the name. Views the decoded text
};

/// Node names and addresses are short: longer ones are refused on both ends.
inline constexpr std::size_t kMaxNodeName = 255;
inline constexpr std::size_t kMaxIpText = 255;

/// A message payload as published: "M", node length (1 byte), node, opcode (1 byte), bytes.
std::string encodeMessage(std::string_view node, int opcode, std::string_view bytes);
std::string encodePresence(std::string_view node, bool present);
std::string encodeBan(std::string_view node, std::string_view ip, std::string_view name);
std::string encodeUnban(std::string_view node, std::string_view ip);
/// The message a payload carries; nothing for anything malformed (unknown kind, lengths that do
/// not fit, an opcode other than text or binary, an empty node or address).
std::optional<WireMessage> decode(std::string_view payload);

/// One command in the Redis protocol (an array of bulk strings), appended to `out`.
void appendCommand(std::string& out, const std::vector<std::string_view>& args);

/// "host:port" with a port in 1..65535 and a host that is not empty; IPv6 in brackets.
struct RedisAddress {
    std::string host;
    int port = 0;
};
std::optional<RedisAddress> parseRedisAddress(std::string_view text);
/// A node name an operator may choose: 1 to 255 bytes, none of them a control byte.
bool validNodeName(std::string_view name);

/// Seats cluster-wide as the registry holds them: base -> n -> node -> count.
using SeatMap = std::map<std::string, std::map<std::uint64_t, std::map<std::string, std::int64_t>>>;

/// Turns the registry view (flat base, node, n, count quadruples as the view script returns
/// them) into seats; malformed entries are skipped.
SeatMap seatsFromView(const std::vector<std::string>& flat);
/// Total seats per instance name, for the room list.
std::map<std::string, std::int64_t> instanceTotals(const SeatMap& seats);
/// Nodes other than `self` that hold seats of an instance.
std::vector<std::string> holdersOf(const SeatMap& seats, std::string_view instance,
                                   std::string_view self);

/// What a node re-registers after the link was down: its members per instance, grouped by the
/// base whose seat hash holds them (instances without members are left out).
std::map<std::string, std::map<std::uint64_t, std::int64_t>>
seatsToClaim(const std::map<std::string, std::int64_t>& membersByInstance);

} // namespace tnlrelay::cluster
