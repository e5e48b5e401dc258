// The room table: room instance name -> members in ascending id order, kept together with an
// index that finds the first instance of a requested name with a free seat in logarithmic time.
#pragma once

#include "RoomCounts.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tnlrelay {

namespace net {
struct Conn; // the table only keeps the pointer for the relay's fan-out
}

/// A member's id: the connection id the network adapter gave it.
using MemberId = std::uint32_t;

/// Room names are chosen by remote clients: hash them with a per-process random seed.
struct SeededHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept;
    static std::uint64_t seed();
};

/// A member of a room: its id and, to spare a lookup per receiver, its connection.
struct Member {
    MemberId id;
    net::Conn* conn;
};

/// The members of one room instance, in ascending id order.
using MemberList = std::vector<Member>;

class RoomTable {
public:
    using Map = std::unordered_map<std::string, MemberList, SeededHash, std::equal_to<>>;

    /// Adds a member (ids are unique); creates the room when absent. Returns the member count.
    std::size_t add(std::string_view room, Member m);
    /// Removes a member; removes the room with its last member.
    void remove(std::string_view room, MemberId id);
    const MemberList* find(std::string_view room) const;

    /// The first of name, name#2, name#3, ... that is absent or has fewer than `max` members.
    std::string firstWithRoom(const std::string& name, int max) const;

    const Map& map() const { return rooms_; }
    /// Members per room name, instances folded, as of the last add or remove.
    const RoomCounts& counts() const { return counts_; }
    bool empty() const { return rooms_.empty(); }
    std::size_t size() const { return rooms_.size(); }

    /// The work done so far: table lookups plus index entries read or written. It is what keeps
    /// joins cheap however many instances a name has, so it is counted rather than timed.
    std::uint64_t work() const { return work_; }

private:
    /// Per requested name, the member counts of its instances 1, 2, 3... in a tree of minima
    /// over a prefix of instance numbers, plus the instances beyond that prefix.
    struct Instances {
        std::vector<std::int32_t> tree; ///< min-tree over instances 1..leaves, 0 for absent
        std::size_t leaves = 0;
        std::unordered_map<std::uint64_t, std::int32_t> beyond; ///< instances past the tree
        std::size_t present = 0;
    };
    void setCount(std::string_view key, std::int32_t count);
    void setInstance(std::string_view base, std::uint64_t n, std::int32_t count);

    Map rooms_;
    mutable std::uint64_t work_ = 0;
    std::unordered_map<std::string, Instances, SeededHash, std::equal_to<>> index_;
    RoomCounts counts_;
};

} // namespace tnlrelay
