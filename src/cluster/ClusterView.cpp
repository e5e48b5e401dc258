// The whole cluster as one page of the admin page: the nodes from the registry, the rooms from
// the seats, and the players of every node. Players stay on their nodes: the asking node works
// out from each node's count which of them the page shows and asks those nodes for their part.
#include "Cluster.hpp"

#include <hiredis/hiredis.h>

#include <algorithm>

namespace tnlrelay::cluster {

namespace {

std::int64_t countOf(const nlohmann::json& info, const char* key) {
    auto it = info.find(key);
    return it != info.end() && it->is_number_integer() ? std::max<std::int64_t>(0, *it) : 0;
}

/// The players of `part` marked with the node that holds them, appended to `out`.
void addPlayers(nlohmann::json& out, const std::string& node, const nlohmann::json& part) {
    if (!part.is_array()) return;
    for (const auto& player : part) {
        if (!player.is_object()) continue;
        nlohmann::json entry = player;
        entry["node"] = node;
        out.push_back(std::move(entry));
    }
}

} // namespace

void Cluster::view(std::size_t offset, std::size_t limit, std::size_t roomOffset,
                   std::size_t roomLimit, std::function<void(nlohmann::json)> done) {
    nlohmann::json page = {{"node", node_},
                           {"link", reportedUp_ ? "up" : "down"},
                           {"offset", offset},
                           {"limit", limit},
                           {"roomOffset", roomOffset},
                           {"roomLimit", roomLimit}};
    // Nodes in name order with their players; this node's own counts are live.
    std::map<std::string, std::int64_t> players;
    auto nodes = nlohmann::json::array();
    std::map<std::string, nlohmann::json> infos(nodes_.begin(), nodes_.end());
    infos.try_emplace(node_, nlohmann::json::object());
    for (const auto& [name, info] : infos) {
        const bool self = name == node_;
        const std::int64_t n = self ? localPlayers() : countOf(info, "players");
        const std::int64_t r =
            self ? static_cast<std::int64_t>(rooms_.size()) : countOf(info, "rooms");
        players[name] = n;
        nodes.push_back({{"node", name}, {"players", n}, {"rooms", r}, {"self", self}});
    }
    page["nodes"] = std::move(nodes);

    // Rooms from the seats (every node's) with this node's own live.
    std::map<std::string, std::map<std::string, std::int64_t>> rooms;
    if (placing())
        for (const auto& [base, instances] : seats_)
            for (const auto& [n, holders] : instances)
                for (const auto& [node, count] : holders)
                    if (node != node_ && count > 0) rooms[instanceName(base, n)][node] = count;
    for (const auto& [name, room] : rooms_)
        if (room.local > 0) rooms[name][node_] = room.local;
    auto roomList = nlohmann::json::array();
    std::size_t i = 0;
    for (const auto& [name, holders] : rooms) {
        if (i++ < roomOffset || roomList.size() >= roomLimit) continue;
        std::int64_t total = 0;
        auto byNode = nlohmann::json::array();
        for (const auto& [node, count] : holders) {
            total += count;
            byNode.push_back({{"count", count}, {"node", node}});
        }
        roomList.push_back({{"count", total}, {"nodes", std::move(byNode)}, {"room", name}});
    }
    page["rooms"] = std::move(roomList);
    page["roomsTotal"] = rooms.size();

    ViewWait wait;
    wait.offset = offset;
    wait.limit = limit;
    wait.totals[node_] = localPlayers();
    wait.done = std::move(done);
    wait.page = std::move(page);
    wait.deadline = Clock::now() + kViewWait;
    const std::uint64_t seq = ++nextKick_;
    if (!placing()) {
        for (const auto& [name, n] : players)
            if (name != node_) wait.unanswered.insert(name);
        views_[seq] = std::move(wait);
        askViewParts(seq);
        return;
    }
    views_[seq] = std::move(wait);
    // The nodes as Redis has them now (the view may be a second old), then their counts.
    cmd_.command({"SMEMBERS", keys_.nodes()}, [this, seq](const redisReply* r) {
        auto it = views_.find(seq);
        if (it == views_.end()) return;
        ViewWait& wait = it->second;
        if (r != nullptr && r->type == REDIS_REPLY_ARRAY)
            for (std::size_t i = 0; i < r->elements; ++i)
                if (std::string name(replyText(*r->element[i])); name != node_)
                    wait.awaited.insert(std::move(name));
        for (const std::string& name : wait.awaited)
            cmd_.command(
                {"SPUBLISH", keys_.bansChannel(), encodeViewRequest(node_, name, seq, 0, 0)});
        if (wait.awaited.empty()) askViewParts(seq);
    });
}

void Cluster::askViewParts(std::uint64_t seq) {
    auto it = views_.find(seq);
    if (it == views_.end()) return;
    ViewWait& wait = it->second;
    wait.counted = true;
    wait.unanswered.insert(wait.awaited.begin(), wait.awaited.end());
    wait.awaited.clear();
    std::int64_t total = 0, skip = static_cast<std::int64_t>(wait.offset),
                 want = static_cast<std::int64_t>(wait.limit);
    // The nodes with the counts they answered; one the registry view did not show yet is
    // added with no count of rooms.
    for (auto& node : wait.page["nodes"])
        if (auto n = wait.totals.find(node["node"].get<std::string>()); n != wait.totals.end())
            node["players"] = n->second;
    for (const auto& [name, n] : wait.totals)
        if (!nodes_.count(name) && name != node_)
            wait.page["nodes"].push_back(
                {{"node", name}, {"players", n}, {"rooms", 0}, {"self", false}});
    for (const auto& [name, n] : wait.totals) {
        total += n;
        const std::int64_t from = std::min(skip, n);
        skip -= from;
        const std::int64_t take = std::min(n - from, want);
        want -= take;
        if (take <= 0) continue;
        wait.order.push_back(name);
        if (name == node_) {
            if (hooks_.players)
                wait.parts[name] = nlohmann::json::parse(
                    hooks_.players(hooks_.user, static_cast<std::size_t>(from),
                                   static_cast<std::size_t>(take)),
                    nullptr, false);
            continue;
        }
        wait.awaited.insert(name);
        cmd_.command({"SPUBLISH", keys_.bansChannel(),
                      encodeViewRequest(node_, name, seq, static_cast<std::uint64_t>(from),
                                        static_cast<std::uint64_t>(take))});
    }
    wait.page["playersTotal"] = total;
    wait.deadline = Clock::now() + kViewWait;
    if (wait.awaited.empty()) endView(seq);
}

void Cluster::onViewRequest(const WireMessage& m) {
    if (m.to != node_ || !hooks_.players) return;
    constexpr std::uint64_t kMost = 1000; // what one answer carries at most
    const std::string players =
        m.limit == 0 ? std::string("[]")
                     : hooks_.players(hooks_.user, static_cast<std::size_t>(m.offset),
                                      static_cast<std::size_t>(std::min(m.limit, kMost)));
    const std::string answer =
        "{\"players\":" + players + ",\"total\":" + std::to_string(localPlayers()) + "}";
    cmd_.command({"SPUBLISH", keys_.bansChannel(), encodeViewAnswer(node_, m.node, m.seq, answer)});
}

void Cluster::onViewAnswer(const WireMessage& m) {
    if (m.to != node_) return;
    auto it = views_.find(m.seq);
    if (it == views_.end() || !it->second.awaited.erase(m.node)) return;
    ViewWait& wait = it->second;
    const auto answer = nlohmann::json::parse(m.bytes, nullptr, false);
    if (!answer.is_object()) {
        ++ignored_;
        wait.unanswered.insert(m.node);
    } else if (!wait.counted) {
        wait.totals[m.node] = countOf(answer, "total");
    } else if (auto players = answer.find("players"); players != answer.end()) {
        wait.parts[m.node] = *players;
    }
    if (!wait.awaited.empty()) return;
    if (wait.counted)
        endView(m.seq);
    else
        askViewParts(m.seq);
}

void Cluster::endView(std::uint64_t seq) {
    auto it = views_.find(seq);
    if (it == views_.end()) return;
    ViewWait wait = std::move(it->second);
    views_.erase(it);
    // Nodes that did not answer in time are named; their players are missing from the page.
    wait.unanswered.insert(wait.awaited.begin(), wait.awaited.end());
    wait.page["players"] = nlohmann::json::array();
    for (const std::string& node : wait.order)
        if (auto part = wait.parts.find(node); part != wait.parts.end())
            addPlayers(wait.page["players"], node, part->second);
    wait.page["unanswered"] = wait.unanswered;
    if (wait.done) wait.done(std::move(wait.page));
}

} // namespace tnlrelay::cluster
