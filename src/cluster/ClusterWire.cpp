// Key names, channel payloads and command encoding of the cluster.
#include "ClusterWire.hpp"

#include <charconv>

namespace tnlrelay::cluster {

std::string Keys::nodes() const {
    return prefix + "nodes";
}
std::string Keys::node(std::string_view node) const {
    return prefix + "node:" + std::string(node);
}
std::string Keys::bases() const {
    return prefix + "bases";
}
std::string Keys::seats(std::string_view base) const {
    return prefix + "seats:" + std::string(base);
}
std::string Keys::banned() const {
    return prefix + "banlist";
}
std::string Keys::roomChannel(std::string_view instance) const {
    return channelPrefix + "room:" + std::string(instance);
}
std::string Keys::bansChannel() const {
    return channelPrefix + "bans";
}
std::string Keys::connIds() const {
    return prefix + "connids";
}

Keys keysFor(std::string_view clusterName, bool slotTagged) {
    Keys keys;
    if (slotTagged) keys.prefix += kRegistryTag;
    if (!clusterName.empty()) {
        for (std::string* p : {&keys.prefix, &keys.channelPrefix}) {
            *p += clusterName;
            *p += ':';
        }
    }
    return keys;
}

namespace {

/// A decimal without sign or leading zero that fits 64 bits.
std::optional<std::uint64_t> canonicalNumber(std::string_view text) {
    if (text.empty() || text.size() > 19 || text[0] == '0') return std::nullopt;
    std::uint64_t n = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return n;
}

} // namespace

InstanceRef splitInstance(std::string_view instance) {
    const auto hash = instance.rfind('#');
    if (hash != std::string_view::npos && hash > 0) {
        if (auto n = canonicalNumber(instance.substr(hash + 1)); n && *n >= 2)
            return {std::string(instance.substr(0, hash)), *n};
    }
    return {std::string(instance), 1};
}

std::string instanceName(std::string_view base, std::uint64_t n) {
    std::string name(base);
    if (n > 1) {
        name += '#';
        name += std::to_string(n);
    }
    return name;
}

std::string seatField(std::string_view node, std::uint64_t n) {
    return std::string(node) + "\n" + std::to_string(n);
}

std::optional<std::pair<std::string, std::uint64_t>> parseSeatField(std::string_view field) {
    const auto nl = field.rfind('\n');
    if (nl == std::string_view::npos || nl == 0) return std::nullopt;
    auto n = canonicalNumber(field.substr(nl + 1));
    if (!n) return std::nullopt;
    return std::make_pair(std::string(field.substr(0, nl)), *n);
}

namespace {

void putShort(std::string& out, std::string_view text) {
    out += static_cast<char>(static_cast<unsigned char>(text.size()));
    out += text;
}

/// A time in milliseconds: decimal digits without sign or leading zero (or "0"), 63 bits.
std::optional<std::int64_t> parseTime(std::string_view text) {
    if (text.empty() || text.size() > 18 || (text[0] == '0' && text.size() > 1))
        return std::nullopt;
    std::int64_t t = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), t);
    if (ec != std::errc() || end != text.data() + text.size() || t < 0) return std::nullopt;
    return t;
}

/// Takes "<time>\n" from the front of `in`.
std::optional<std::int64_t> takeTime(std::string_view& in) {
    const auto nl = in.find('\n');
    if (nl == std::string_view::npos) return std::nullopt;
    auto t = parseTime(in.substr(0, nl));
    in.remove_prefix(nl + 1);
    return t;
}

/// Reads a length-prefixed text of 1..255 bytes from the front of `in`.
std::optional<std::string_view> takeShort(std::string_view& in) {
    if (in.empty()) return std::nullopt;
    const std::size_t len = static_cast<unsigned char>(in[0]);
    if (len == 0 || in.size() < 1 + len) return std::nullopt;
    std::string_view text = in.substr(1, len);
    in.remove_prefix(1 + len);
    return text;
}

} // namespace

std::string encodeMessage(std::string_view node, int opcode, std::string_view bytes) {
    std::string out;
    out.reserve(3 + node.size() + bytes.size());
    out += 'M';
    putShort(out, node);
    out += static_cast<char>(opcode);
    out += bytes;
    return out;
}

std::string encodePresence(std::string_view node, bool present) {
    std::string out = "P";
    putShort(out, node);
    out += present ? '\1' : '\0';
    return out;
}

std::string encodePresenceAnswer(std::string_view node, std::string_view to) {
    std::string out = "P";
    putShort(out, node);
    out += '\2';
    putShort(out, to);
    return out;
}

std::string encodeKick(std::string_view node, std::uint32_t connId, std::uint64_t seq) {
    std::string out = "K";
    putShort(out, node);
    out += std::to_string(connId);
    out += '\n';
    out += std::to_string(seq);
    return out;
}

std::string encodeKickAnswer(std::string_view node, std::string_view to, std::uint64_t seq,
                             bool found) {
    std::string out = "A";
    putShort(out, node);
    putShort(out, to);
    out += std::to_string(seq);
    out += found ? "\n1" : "\n0";
    return out;
}

std::string encodeViewRequest(std::string_view node, std::string_view to, std::uint64_t seq,
                              std::uint64_t offset, std::uint64_t limit) {
    std::string out = "V";
    putShort(out, node);
    putShort(out, to);
    out += std::to_string(seq) + '\n' + std::to_string(offset) + '\n' + std::to_string(limit);
    return out;
}

std::string encodeViewAnswer(std::string_view node, std::string_view to, std::uint64_t seq,
                             std::string_view players) {
    std::string out = "W";
    putShort(out, node);
    putShort(out, to);
    out += std::to_string(seq);
    out += '\n';
    out += players;
    return out;
}

std::string encodeBan(std::string_view node, std::string_view ip, std::int64_t time,
                      std::string_view name) {
    std::string out = "B";
    putShort(out, node);
    putShort(out, ip);
    out += std::to_string(time);
    out += '\n';
    out += name;
    return out;
}

std::string encodeUnban(std::string_view node, std::string_view ip, std::int64_t time) {
    std::string out = "U";
    putShort(out, node);
    putShort(out, ip);
    out += std::to_string(time);
    out += '\n';
    return out;
}

std::optional<WireMessage> decode(std::string_view payload) {
    if (payload.empty()) return std::nullopt;
    WireMessage m;
    const char kind = payload[0];
    payload.remove_prefix(1);
    auto node = takeShort(payload);
    if (!node) return std::nullopt;
    m.node = std::string(*node);
    switch (kind) {
    case 'M':
        if (payload.empty()) return std::nullopt;
        m.kind = WireMessage::Kind::message;
        m.opcode = static_cast<unsigned char>(payload[0]);
        if (m.opcode != 1 && m.opcode != 2) return std::nullopt;
        m.bytes = payload.substr(1);
        return m;
    case 'P': {
        if (payload.empty() || static_cast<unsigned char>(payload[0]) > 2) return std::nullopt;
        m.kind = WireMessage::Kind::presence;
        m.present = payload[0] != '\0';
        const bool answer = payload[0] == '\2';
        payload.remove_prefix(1);
        if (answer) {
            auto to = takeShort(payload);
            if (!to) return std::nullopt;
            m.to = std::string(*to);
        }
        if (!payload.empty()) return std::nullopt;
        return m;
    }
    case 'K': {
        auto id = takeTime(payload);
        auto seq = parseTime(payload);
        if (!id || !seq || *id == 0 || *id > 0xffffffffLL) return std::nullopt;
        m.kind = WireMessage::Kind::kick;
        m.connId = static_cast<std::uint32_t>(*id);
        m.seq = static_cast<std::uint64_t>(*seq);
        return m;
    }
    case 'A': {
        auto to = takeShort(payload);
        if (!to) return std::nullopt;
        auto seq = takeTime(payload);
        if (!seq || (payload != "1" && payload != "0")) return std::nullopt;
        m.kind = WireMessage::Kind::kickAnswer;
        m.to = std::string(*to);
        m.seq = static_cast<std::uint64_t>(*seq);
        m.found = payload == "1";
        return m;
    }
    case 'V': {
        auto to = takeShort(payload);
        if (!to) return std::nullopt;
        auto seq = takeTime(payload);
        auto offset = takeTime(payload);
        auto limit = parseTime(payload);
        if (!seq || !offset || !limit) return std::nullopt;
        m.kind = WireMessage::Kind::view;
        m.to = std::string(*to);
        m.seq = static_cast<std::uint64_t>(*seq);
        m.offset = static_cast<std::uint64_t>(*offset);
        m.limit = static_cast<std::uint64_t>(*limit);
        return m;
    }
    case 'W': {
        auto to = takeShort(payload);
        if (!to) return std::nullopt;
        auto seq = takeTime(payload);
        if (!seq) return std::nullopt;
        m.kind = WireMessage::Kind::viewAnswer;
        m.to = std::string(*to);
        m.seq = static_cast<std::uint64_t>(*seq);
        m.bytes = payload;
        return m;
    }
    case 'B':
    case 'U': {
        auto ip = takeShort(payload);
        if (!ip) return std::nullopt;
        m.ip = std::string(*ip);
        auto time = takeTime(payload);
        if (!time) return std::nullopt;
        m.time = *time;
        if (kind == 'U') {
            if (!payload.empty()) return std::nullopt;
            m.kind = WireMessage::Kind::unban;
        } else {
            m.kind = WireMessage::Kind::ban;
            m.bytes = payload;
        }
        return m;
    }
    default:
        return std::nullopt;
    }
}

bool supersedes(const BanEntry& incoming, const BanEntry* current) {
    if (current == nullptr) return true;
    if (incoming.time != current->time) return incoming.time > current->time;
    if (incoming.banned != current->banned) return incoming.banned;
    // std::string compares its bytes as unsigned, as Lua's bytes do in the store script.
    if (int c = incoming.node.compare(current->node); c != 0) return c > 0;
    return incoming.name.compare(current->name) > 0;
}

std::string encodeBanEntry(const BanEntry& entry) {
    std::string out = std::to_string(entry.time);
    out += entry.banned ? "\nB\n" : "\nU\n";
    out += entry.node;
    out += '\n';
    out += entry.name;
    return out;
}

std::optional<BanEntry> decodeBanEntry(std::string_view text) {
    BanEntry entry;
    auto time = takeTime(text);
    if (!time || text.size() < 2 || (text[0] != 'B' && text[0] != 'U') || text[1] != '\n')
        return std::nullopt;
    entry.time = *time;
    entry.banned = text[0] == 'B';
    text.remove_prefix(2);
    const auto nl = text.find('\n');
    if (nl == std::string_view::npos || !validNodeName(text.substr(0, nl))) return std::nullopt;
    entry.node = std::string(text.substr(0, nl));
    entry.name = std::string(text.substr(nl + 1));
    return entry;
}

void appendCommand(std::string& out, const std::vector<std::string_view>& args) {
    out += '*';
    out += std::to_string(args.size());
    out += "\r\n";
    for (std::string_view a : args) {
        out += '$';
        out += std::to_string(a.size());
        out += "\r\n";
        out += a;
        out += "\r\n";
    }
}

bool validNodeName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNodeName) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

SeatMap seatsFromView(const std::vector<std::string>& flat) {
    SeatMap seats;
    for (std::size_t i = 0; i + 3 < flat.size(); i += 4) {
        auto n = canonicalNumber(flat[i + 2]);
        std::int64_t count = 0;
        const std::string& text = flat[i + 3];
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), count);
        if (!n || ec != std::errc() || end != text.data() + text.size() || count <= 0) continue;
        seats[flat[i]][*n][flat[i + 1]] = count;
    }
    return seats;
}

std::map<std::string, std::int64_t> instanceTotals(const SeatMap& seats) {
    std::map<std::string, std::int64_t> totals;
    for (const auto& [base, instances] : seats) {
        for (const auto& [n, nodes] : instances) {
            std::int64_t sum = 0;
            for (const auto& [node, count] : nodes)
                sum += count;
            if (sum > 0) totals[instanceName(base, n)] += sum;
        }
    }
    return totals;
}

std::vector<std::string> holdersOf(const SeatMap& seats, std::string_view instance,
                                   std::string_view self) {
    std::vector<std::string> out;
    const InstanceRef ref = splitInstance(instance);
    auto b = seats.find(ref.base);
    if (b == seats.end()) return out;
    auto i = b->second.find(ref.n);
    if (i == b->second.end()) return out;
    for (const auto& [node, count] : i->second)
        if (node != self && count > 0) out.push_back(node);
    return out;
}

std::map<std::string, std::map<std::uint64_t, std::int64_t>>
seatsToClaim(const std::map<std::string, std::int64_t>& membersByInstance) {
    std::map<std::string, std::map<std::uint64_t, std::int64_t>> claim;
    for (const auto& [instance, members] : membersByInstance) {
        if (members <= 0) continue;
        InstanceRef ref = splitInstance(instance);
        claim[ref.base][ref.n] += members;
    }
    return claim;
}

} // namespace tnlrelay::cluster
