// The room table and its instance index. A joining player asking for "lobby" goes to the first
// of lobby, lobby#2, lobby#3, ... that is absent or not full for its capacity; the index answers
// that without walking the instances, so that many one-seat instances cannot make joins slow.
#include "Rooms.hpp"

#include <algorithm>
#include <cstring>
#include <random>

namespace tnlrelay {

namespace {

__extension__ using Wide = unsigned __int128;

std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
    const Wide r = static_cast<Wide>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

/// The instance number of a key whose name ends in "#" and a canonical decimal number of 2 or
/// more (as the instance search writes them), with the base name; 0 otherwise.
std::uint64_t instanceSuffix(std::string_view key, std::string_view& base) {
    const auto hash = key.rfind('#');
    if (hash == std::string_view::npos) return 0;
    const std::string_view digits = key.substr(hash + 1);
    if (digits.empty() || digits.size() > 18 || digits[0] == '0') return 0;
    std::uint64_t n = 0;
    for (char ch : digits) {
        if (ch < '0' || ch > '9') return 0;
        n = n * 10 + std::uint64_t(ch - '0');
    }
    if (n < 2) return 0;
    base = key.substr(0, hash);
    return n;
}

} // namespace

std::uint64_t SeededHash::seed() {
    static const std::uint64_t value = [] {
        std::random_device rd;
        return (std::uint64_t(rd()) << 32) ^ rd();
    }();
    return value;
}

std::size_t SeededHash::operator()(std::string_view s) const noexcept {
    static const std::uint64_t k = seed();
    std::uint64_t h = k ^ (s.size() * 0x9E3779B97F4A7C15ull);
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        h = mix(h ^ w, 0xA0761D6478BD642Full ^ k);
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, s.data() + i, s.size() - i);
    h = mix(h ^ tail, 0xE7037ED1A0B428DBull);
    return static_cast<std::size_t>(mix(h, 0x8EBC6AF09C88C6E3ull ^ k));
}

std::size_t RoomTable::add(std::string_view room, Member m) {
    ++work_;
    auto it = rooms_.find(room);
    if (it == rooms_.end()) it = rooms_.emplace(std::string(room), MemberList{}).first;
    MemberList& members = it->second;
    auto at = std::lower_bound(members.begin(), members.end(), m.id,
                               [](const Member& a, MemberId id) { return a.id < id; });
    if (at != members.end() && at->id == m.id) {
        at->conn = m.conn;
    } else {
        members.insert(at, m);
        counts_.change(room, 1);
    }
    setCount(room, static_cast<std::int32_t>(members.size()));
    return members.size();
}

void RoomTable::remove(std::string_view room, MemberId id) {
    ++work_;
    auto it = rooms_.find(room);
    if (it == rooms_.end()) return;
    MemberList& members = it->second;
    auto at = std::lower_bound(members.begin(), members.end(), id,
                               [](const Member& a, MemberId v) { return a.id < v; });
    if (at == members.end() || at->id != id) return;
    members.erase(at);
    counts_.change(room, -1);
    const auto count = static_cast<std::int32_t>(members.size());
    if (members.empty()) rooms_.erase(it);
    setCount(room, count);
}

const MemberList* RoomTable::find(std::string_view room) const {
    ++work_;
    auto it = rooms_.find(room);
    return it == rooms_.end() ? nullptr : &it->second;
}

void RoomTable::setCount(std::string_view key, std::int32_t count) {
    // Every key is instance 1 of itself, and may also be instance n of a shorter name.
    setInstance(key, 1, count);
    std::string_view base;
    if (const std::uint64_t n = instanceSuffix(key, base)) setInstance(base, n, count);
}

void RoomTable::setInstance(std::string_view base, std::uint64_t n, std::int32_t count) {
    ++work_;
    auto it = index_.find(base);
    if (it == index_.end()) {
        if (count == 0) return;
        it = index_.emplace(std::string(base), Instances{}).first;
    }
    Instances& ins = it->second;
    std::int32_t old = 0;
    if (n <= ins.leaves) {
        old = ins.tree[ins.leaves + n - 1];
    } else if (auto b = ins.beyond.find(n); b != ins.beyond.end()) {
        old = b->second;
    }
    if (old == 0 && count > 0) ++ins.present;
    if (old > 0 && count == 0) --ins.present;
    if (ins.present == 0) {
        index_.erase(it);
        return;
    }

    if (n > ins.leaves) {
        if (count > 0)
            ins.beyond[n] = count;
        else
            ins.beyond.erase(n);
        // Keep the first instance past the tree absent, so that a full tree answers leaves + 1.
        // The tree then never covers much more than the run of instances that exist.
        while (ins.beyond.count(ins.leaves + 1)) {
            const std::size_t leaves = ins.leaves ? ins.leaves * 2 : 1;
            std::vector<std::int32_t> tree(2 * leaves, 0);
            work_ += 2 * leaves;
            for (std::size_t i = 0; i < ins.leaves; ++i)
                tree[leaves + i] = ins.tree[ins.leaves + i];
            for (std::size_t i = ins.leaves; i < leaves; ++i) {
                auto b = ins.beyond.find(i + 1);
                if (b != ins.beyond.end()) {
                    tree[leaves + i] = b->second;
                    ins.beyond.erase(b);
                }
            }
            for (std::size_t i = leaves - 1; i >= 1; --i)
                tree[i] = std::min(tree[2 * i], tree[2 * i + 1]);
            ins.tree = std::move(tree);
            ins.leaves = leaves;
        }
        return;
    }
    std::size_t i = ins.leaves + n - 1;
    ins.tree[i] = count;
    for (i /= 2; i >= 1; i /= 2, ++work_)
        ins.tree[i] = std::min(ins.tree[2 * i], ins.tree[2 * i + 1]);
}

std::string RoomTable::firstWithRoom(const std::string& name, int max) const {
    ++work_;
    auto it = index_.find(name);
    if (it == index_.end()) return name;
    const Instances& ins = it->second;
    std::uint64_t n = ins.leaves + 1; // absent, by the tree's invariant
    if (ins.leaves > 0 && ins.tree[1] < max) {
        std::size_t i = 1;
        for (; i < ins.leaves; ++work_)
            i = ins.tree[2 * i] < max ? 2 * i : 2 * i + 1;
        n = i - ins.leaves + 1;
    }
    if (n == 1) return name;
    return name + "#" + std::to_string(n);
}

} // namespace tnlrelay
