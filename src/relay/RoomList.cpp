// Room list names: which part of a room key is its instance number.
#include "RoomList.hpp"
#include "text/Text.hpp"

namespace tnlrelay::detail {

std::string_view roomBase(std::string_view key) {
    auto hash = key.rfind('#');
    if (hash == std::string_view::npos) return key;
    if (!allDigits(key.substr(hash + 1))) return key;
    return key.substr(0, hash);
}

} // namespace tnlrelay::detail
