// Keeping the folded counts and their order by size: a join or leave costs two logarithmic
// steps, and a name's rank node is moved rather than allocated again.
#include "RoomCounts.hpp"

#include "RoomList.hpp"

namespace tnlrelay {

void RoomCounts::change(std::string_view key, int delta) {
    const std::string_view base = detail::roomBase(key);
    auto it = names_.find(base);
    if (it == names_.end()) {
        if (delta <= 0) return;
        it = names_.emplace(std::string(base), 0).first;
    }
    const std::int64_t now = it->second + delta;
    auto node = ranks_.extract(Rank{it->second, &it->first});
    if (now <= 0) {
        names_.erase(it);
        return;
    }
    it->second = now;
    if (node) {
        node.value().count = now;
        ranks_.insert(std::move(node));
    } else {
        ranks_.insert(Rank{now, &it->first});
    }
}

} // namespace tnlrelay
