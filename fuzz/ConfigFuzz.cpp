// Fuzz target: the configuration loader. Whatever the file holds, reading gives a record, its
// limits can be read, and what a save would write reads back as the same record.
#include "relay/RelayConfig.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using tnlrelay::RelayConfig;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::optional<RelayConfig> config =
        RelayConfig::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!config) return 0;
    (void)config->limits();
    const std::string text = config->text();
    if (text.empty()) std::abort();
    std::optional<RelayConfig> again = RelayConfig::parse(text);
    if (!again) std::abort();
    // Invalid UTF-8 is replaced when writing, so only texts that were valid compare equal.
    if (again->text() != text) std::abort();
    return 0;
}
