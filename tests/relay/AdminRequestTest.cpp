// Reading admin request parameters: bodies, connection ids, string members, log offsets.
#include "relay/AdminRequest.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

using namespace tnlrelay::detail;

TEST(AdminBody, EmptyOrUnparsableBodiesReadAsNoParameters) {
    EXPECT_EQ(parseBody(""), nlohmann::json::object());
    EXPECT_EQ(parseBody("ip=1.2.3.4"), nlohmann::json::object());
    EXPECT_EQ(parseBody("{\"ip\":\"1.2.3.4\"} x"), nlohmann::json::object());
    EXPECT_EQ(parseBody("{\"ip\":1} // note"), nlohmann::json::object()) << "no comments";
    EXPECT_EQ(parseBody(" {\"ip\":\"1.2.3.4\"}\n"), (nlohmann::json{{"ip", "1.2.3.4"}}));
    EXPECT_EQ(parseBody("[1]"), nlohmann::json::array({1})) << "valid non-objects come back";
    EXPECT_EQ(parseBody("7"), nlohmann::json(7));
    // Deep nesting must neither crash the parser nor the destructor.
    std::string deep(200000, '[');
    deep += std::string(200000, ']');
    EXPECT_TRUE(parseBody(deep).is_array());
}

TEST(AdminBody, ConnIdConversions) {
    auto id = [](const char* body) { return connIdMember(parseBody(body)); };
    EXPECT_EQ(id("{}"), 0u);
    EXPECT_EQ(id(R"({"connId":7})"), 7u);
    EXPECT_EQ(id(R"({"connId":3.9})"), 3u);
    EXPECT_EQ(id(R"({"connId":true})"), 1u);
    EXPECT_EQ(id(R"({"connId":false})"), 0u);
    EXPECT_EQ(id(R"({"connId":-1})"), 4294967295u);
    EXPECT_EQ(id(R"({"connId":4294967295})"), 4294967295u);
    EXPECT_EQ(id(R"({"connId":4294967296})"), 0u);
    EXPECT_EQ(id(R"({"connId":18446744073709551615})"), 4294967295u);
    EXPECT_EQ(id(R"({"connId":1e19})"), 2313682944u);
    EXPECT_EQ(id(R"({"connId":-1.5})"), 4294967295u);
    EXPECT_EQ(id(R"({"connId":-0.5})"), 0u);
    EXPECT_EQ(id(R"({"connId":1e300})"), 0u) << "a multiple of 2^32";
    EXPECT_EQ(id(R"({"connId":-1e300})"), 0u);
    EXPECT_EQ(id(R"({"connId":"3"})"), std::nullopt);
    EXPECT_EQ(id(R"({"connId":null})"), std::nullopt);
    EXPECT_EQ(id(R"({"connId":[3]})"), std::nullopt);
}

TEST(AdminBody, StringMembers) {
    auto body = parseBody(R"({"ip":"1.2.3.4","name":5})");
    EXPECT_EQ(stringMember(body, "ip"), "1.2.3.4");
    EXPECT_EQ(stringMember(body, "name"), std::nullopt);
    EXPECT_EQ(stringMember(body, "other"), "");
}

TEST(AdminLog, SinceReadsLikeStrtoull) {
    EXPECT_EQ(sinceOffset(""), 0u);
    EXPECT_EQ(sinceOffset("1234"), 1234u);
    EXPECT_EQ(sinceOffset("  \t42abc"), 42u);
    EXPECT_EQ(sinceOffset("abc"), 0u);
    EXPECT_EQ(sinceOffset("+5"), 5u);
    EXPECT_EQ(sinceOffset("-1"), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(sinceOffset("-2"), std::numeric_limits<std::uint64_t>::max() - 1);
    EXPECT_EQ(sinceOffset("18446744073709551615"), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(sinceOffset("99999999999999999999999"), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(sinceOffset("0x10"), 0u) << "base 10 only";
}
