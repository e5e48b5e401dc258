// Fuzz target: the query decoder. The input is a name, a line feed and a query string.
#include "text/Text.hpp"
#include "text/UrlQuery.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t feed = input.find('\n');
    const std::string_view name = feed == std::string_view::npos ? "room" : input.substr(0, feed);
    const std::string_view query = feed == std::string_view::npos ? input : input.substr(feed + 1);
    const std::string value = tnlrelay::detail::queryVar(query, name);
    if (value.size() >= 256) std::abort(); // decoded values stay below the limit
    // Without a "%" or "+" in the query, a value is a plain piece of it.
    if (!value.empty() && query.find_first_of("%+") == std::string_view::npos &&
        query.find(value) == std::string_view::npos)
        std::abort();
    (void)tnlrelay::detail::logValue(value);
    return 0;
}
