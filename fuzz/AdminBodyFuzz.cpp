// Fuzz target: the bodies of the admin requests (kick, ban, unban) and the JSON written back.
#include "relay/AdminRequest.hpp"
#include "text/JsonText.hpp"
#include "text/Text.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace tnlrelay::detail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    nlohmann::json body = parseBody(std::string_view(reinterpret_cast<const char*>(data), size));
    if (body.is_object()) {
        (void)connIdMember(body);
        auto ip = stringMember(body, "ip");
        auto name = stringMember(body, "name");
        // What a reply or the log would make of them.
        if (ip) (void)logValue(*ip);
        if (name) (void)jsonText(nlohmann::json{{"ip", ip.value_or("")}, {"name", *name}});
    }
    const std::string text = jsonText(body);
    // Every document the relay writes is JSON that reads back.
    if (nlohmann::json::parse(text, nullptr, false).is_discarded()) std::abort();
    return 0;
}
