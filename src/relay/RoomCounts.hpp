// Players per room name, numbered instances folded together as the room list folds them, kept
// as members come and go: the admin summary's busiest rooms and the paged room list read it
// without walking the rooms or the players.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

namespace tnlrelay {

class RoomCounts {
public:
    using ByName = std::map<std::string, std::int64_t, std::less<>>;

    /// A member of instance `key` came (+1) or went (-1). A name leaves with its last member.
    void change(std::string_view key, int delta);

    /// Room names with members, in ascending byte order.
    const ByName& byName() const { return names_; }
    std::size_t size() const { return names_.size(); }

    /// Calls `each(name, count)` for at most `n` names, most members first, ties by name.
    template <class F> void busiest(std::size_t n, F each) const {
        for (auto it = ranks_.begin(); it != ranks_.end() && n > 0; ++it, --n)
            each(*it->name, it->count);
    }

private:
    struct Rank {
        std::int64_t count;
        const std::string* name; ///< the key in `names_`, whose node does not move
        bool operator<(const Rank& o) const {
            return count != o.count ? count > o.count : *name < *o.name;
        }
    };
    ByName names_;
    std::set<Rank> ranks_;
};

} // namespace tnlrelay
