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
/// On a Redis Cluster the registry's keys carry this hash tag after the prefix, so that they
/// share one slot (the scripts touch several at once); the channels go without it and spread
/// over the shards. On one Redis the names are untagged.
inline constexpr std::string_view kRegistryTag = "{registry}:";

/// The key and channel names of one cluster. A cluster with a name of its own (`clusterName`)
/// puts it after the common prefix, so that several clusters can share one Redis.
struct Keys {
    std::string prefix{kPrefix};        ///< of the registry's keys
    std::string channelPrefix{kPrefix}; ///< of the channels

    std::string nodes() const;                      ///< set of node names that registered
    std::string node(std::string_view node) const;  ///< a node's heartbeat: summary, with expiry
    std::string bases() const;                      ///< set of base names that have seats
    std::string seats(std::string_view base) const; ///< hash "node\nn" -> seats of instance n
    std::string banned() const;                     ///< hash ip -> BanEntry text, the bans
    std::string roomChannel(std::string_view instance) const; ///< an instance's messages
    std::string bansChannel() const; ///< bans, unbans, kicks and their answers, as made
    std::string connIds() const;     ///< counter: the last connection id handed out in a block
};
/// The names of the cluster called `clusterName` (empty: the default cluster); `slotTagged` for
/// a Redis Cluster.
Keys keysFor(std::string_view clusterName, bool slotTagged = false);

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
    enum class Kind : char {
        message = 'M',
        presence = 'P',
        ban = 'B',
        unban = 'U',
        kick = 'K',
        kickAnswer = 'A',
        view = 'V',
        viewAnswer = 'W'
    };
    Kind kind = Kind::message;
    std::string node;
    int opcode = 0;       ///< message: 1 (text) or 2 (binary)
    bool present = false; ///< presence: whether `node` holds members of the instance
    /// presence, kick answer: the node it answers (a presence that answers an announcement
    /// tells that node its announcement was heard); empty for an announcement
    std::string to;
    std::string ip;           ///< ban, unban
    std::int64_t time = 0;    ///< ban, unban: when it was made (see `BanEntry`)
    std::uint32_t connId = 0; ///< kick: the connection asked for
    std::uint64_t seq = 0;    ///< kick, kick answer: the request's number at its sender
    bool found = false;       ///< kick answer: the answering node held it and kicked it
    std::uint64_t offset = 0; ///< view: the first of the node's players asked for
    std::uint64_t limit = 0;  ///< view: how many at most
    /// message: the payload; ban: the name; view answer: the players (JSON). Views the
    /// decoded text
    std::string_view bytes;
};

/// Node names and addresses are short: longer ones are refused on both ends.
inline constexpr std::size_t kMaxNodeName = 255;
inline constexpr std::size_t kMaxIpText = 255;

/// A message payload as published: "M", node length (1 byte), node, opcode (1 byte), bytes.
std::string encodeMessage(std::string_view node, int opcode, std::string_view bytes);
std::string encodePresence(std::string_view node, bool present);
/// A presence in answer to `to`'s announcement: "P", node, 2, `to` (1 + up to 255 bytes).
std::string encodePresenceAnswer(std::string_view node, std::string_view to);
/// A kick asked of every node: "K", node, connection id and request number in decimal
/// separated by "\n".
std::string encodeKick(std::string_view node, std::uint32_t connId, std::uint64_t seq);
/// The answer to a kick: "A", node, `to`, request number in decimal, "\n", "1" (held and
/// kicked) or "0".
std::string encodeKickAnswer(std::string_view node, std::string_view to, std::uint64_t seq,
                             bool found);
/// A node's players asked of it (`to`) for the cluster view: "V", node, `to`, request number,
/// offset and limit in decimal, each after the one before and a "\n".
std::string encodeViewRequest(std::string_view node, std::string_view to, std::uint64_t seq,
                              std::uint64_t offset, std::uint64_t limit);
/// The answer: "W", node, `to`, request number in decimal, "\n", the players as JSON text.
std::string encodeViewAnswer(std::string_view node, std::string_view to, std::uint64_t seq,
                             std::string_view players);
/// A ban: "B", node, address (1 + up to 255 bytes each), time in decimal, "\n", name. An unban
/// is the same with "U" and without a name.
std::string encodeBan(std::string_view node, std::string_view ip, std::int64_t time,
                      std::string_view name);
std::string encodeUnban(std::string_view node, std::string_view ip, std::int64_t time);
/// The message a payload carries; nothing for anything malformed (unknown kind, lengths that do
/// not fit, an opcode other than text or binary, an empty node or address).
std::optional<WireMessage> decode(std::string_view payload);

/// One address's moderation as the cluster keeps it: the latest ban or unban made anywhere.
/// Unbans stay as entries, so that a node that missed one while cut off learns it later.
struct BanEntry {
    bool banned = true;
    /// Milliseconds since 1970 when it was made; 0 for a ban a node held before it joined, which
    /// any entry made in the cluster replaces.
    std::int64_t time = 0;
    std::string node; ///< where it was made
    std::string name; ///< the banned player's name (bans only)
    bool operator==(const BanEntry&) const = default;
};
/// Whether `incoming` replaces `current` (null: nothing known yet). The later entry wins; at
/// the same time a ban wins over an unban, then the greater node name, then the greater player
/// name, compared bytewise: every node, and the script that stores entries, settle on one.
bool supersedes(const BanEntry& incoming, const BanEntry* current);
/// An entry as the cluster's ban hash holds it: "<time>\n<B|U>\n<node>\n<name>".
std::string encodeBanEntry(const BanEntry& entry);
/// Nothing for text of another shape, a node name that is not usable, or a time out of range.
std::optional<BanEntry> decodeBanEntry(std::string_view text);

/// One command in the Redis protocol (an array of bulk strings), appended to `out`.
void appendCommand(std::string& out, const std::vector<std::string_view>& args);

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
