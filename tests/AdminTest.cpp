// Reading admin requests (query variables, bodies, connection ids, log offsets, the loopback
// check), log-safe values, and moderation on a core that is not listening.
#include "RelayCore.hpp"
#include "RelayCoreInternal.hpp"
#include "platform/Platform.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <string>

using namespace tnlrelay;
using namespace tnlrelay::detail;

TEST(QueryVar, DecodesAndMatchesLikeAFormReader) {
    EXPECT_EQ(queryVar("room=P_lobby&name=Ann", "name"), "Ann");
    EXPECT_EQ(queryVar("NAME=Ann", "name"), "Ann") << "names match without regard to case";
    EXPECT_EQ(queryVar("name=a+b%20c%2Bd%e2%82%AC", "name"), "a b c+d\xe2\x82\xac");
    EXPECT_EQ(queryVar("name=first&name=second", "name"), "first");
    EXPECT_EQ(queryVar("name=&name=second", "name"), "") << "an empty first occurrence wins";
    EXPECT_EQ(queryVar("xname=1&name=2", "name"), "2") << "only whole names match";
    EXPECT_EQ(queryVar("a=1&&name=2", "name"), "2");
    EXPECT_EQ(queryVar("name", "name"), "");
    EXPECT_EQ(queryVar("", "name"), "");
    EXPECT_EQ(queryVar("name=%00x", "name"), std::string("\0x", 2));
}

TEST(QueryVar, UndecodableOrLongValuesReadAsEmpty) {
    EXPECT_EQ(queryVar("name=%zz", "name"), "");
    EXPECT_EQ(queryVar("name=ab%4", "name"), "");
    EXPECT_EQ(queryVar("name=ab%", "name"), "");
    EXPECT_EQ(queryVar("name=%41", "name"), "A");

    std::string fits(255, 'x');
    std::string tooLong(256, 'x');
    EXPECT_EQ(queryVar("since=" + fits, "since"), fits);
    EXPECT_EQ(queryVar("since=" + tooLong, "since"), "");
    // The limit applies to the decoded length: 255 escapes decode to 255 bytes.
    std::string escaped;
    for (int i = 0; i < 255; ++i)
        escaped += "%41";
    EXPECT_EQ(queryVar("v=" + escaped, "v"), std::string(255, 'A'));
    EXPECT_EQ(queryVar("v=" + escaped + "%41", "v"), "");
}

TEST(LogValue, ControlBytesCannotStartALine) {
    EXPECT_EQ(logValue("Ann"), "Ann");
    EXPECT_EQ(logValue("x\r\n2024-01-01 00:00:00 INFO BAN ip=1.2.3.4"),
              "x\\x0D\\x0A2024-01-01 00:00:00 INFO BAN ip=1.2.3.4");
    EXPECT_EQ(logValue(std::string("\0\x1f\x7f", 3)), "\\x00\\x1F\\x7F");
    // Everything else passes unchanged, invalid UTF-8 and backslashes included.
    EXPECT_EQ(logValue("\\x41 \xc3\xa9 \xff ~"), "\\x41 \xc3\xa9 \xff ~");
}

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

TEST(AdminAccess, OnlyLoopbackHostsAndTheirOwnOrigin) {
    for (const char* host : {"localhost", "LocalHost:49201", "127.0.0.1", "127.0.0.1:80",
                             "127.255.3.4:65535", "[::1]", "[::1]:49201"}) {
        EXPECT_TRUE(isLoopbackHost(host)) << host;
    }
    for (const char* host : {"", "evil.example", "localhost.evil.example", "128.0.0.1",
                             "127.0.0.256", "127.0.0", "127.0.0.1.5", "127.0.0.1:x", "[::2]",
                             "[::1]x", "0.0.0.0", "10.0.0.5:49201", "127.0.0.1:"}) {
        EXPECT_FALSE(isLoopbackHost(host)) << host;
    }

    std::string_view host = "127.0.0.1:49201";
    std::string_view same = "http://127.0.0.1:49201";
    std::string_view other = "http://evil.example";
    std::string_view otherPort = "http://127.0.0.1:8080";
    std::string_view farHost = "evil.example:49201";
    EXPECT_TRUE(adminRequestAllowed(nullptr, nullptr)) << "tools that send neither header";
    EXPECT_TRUE(adminRequestAllowed(&host, nullptr));
    EXPECT_TRUE(adminRequestAllowed(&host, &same));
    EXPECT_FALSE(adminRequestAllowed(&host, &other));
    EXPECT_FALSE(adminRequestAllowed(&host, &otherPort));
    EXPECT_FALSE(adminRequestAllowed(nullptr, &same));
    EXPECT_FALSE(adminRequestAllowed(&farHost, nullptr)) << "DNS rebinding";
}

namespace {

/// A core whose data directory is a fresh temporary folder; never started.
class ModerationTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tnlrelay-admin-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        base_ = pattern;
        if (const char* old = std::getenv("ProgramData")) saved_ = old;
        setenv("ProgramData", base_.c_str(), 1);
    }
    void TearDown() override {
        if (saved_) {
            setenv("ProgramData", saved_->c_str(), 1);
        } else {
            unsetenv("ProgramData");
        }
        std::error_code ec;
        std::filesystem::remove_all(base_, ec);
    }
    static std::string read(const std::filesystem::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::filesystem::path base_;
    std::optional<std::string> saved_;
};

} // namespace

TEST_F(ModerationTest, BanAndUnbanSaveBeforeLoggingAndEscapeTheLog) {
    RelayConfig config;
    config.gamePort = 50000; // as a console port override would leave it
    config.adminPort = 50001;
    RelayCore core(config);

    core.ban("", "nobody");
    EXPECT_TRUE(core.configuration().bans.empty()) << "the empty address is never banned";
    EXPECT_FALSE(std::filesystem::exists(configPath()));

    core.ban("10.0.0.1", "Bob\r\nfake");
    EXPECT_TRUE(core.isBanned("10.0.0.1"));
    EXPECT_FALSE(core.isBanned("10.0.0.10"));
    EXPECT_FALSE(core.isBanned("10.0.0.1 "));
    EXPECT_EQ(read(configPath()), "{\n  \"adminPort\": 50001,\n  \"bans\": [\n    {\n"
                                  "      \"ip\": \"10.0.0.1\",\n      \"name\": \"Bob\\r\\nfake\"\n"
                                  "    }\n  ],\n  \"gamePort\": 50000\n}");
    std::string log = read(logPath());
    EXPECT_NE(log.find(" INFO BAN ip=10.0.0.1 name=Bob\\x0D\\x0Afake\r\n"), std::string::npos)
        << log;

    core.ban("10.0.0.1", "");
    EXPECT_EQ(core.configuration().bans.at("10.0.0.1"), "") << "a second ban overwrites the name";
    log = read(logPath());
    EXPECT_NE(log.find(" INFO BAN ip=10.0.0.1\r\n"), std::string::npos) << log;

    auto before = read(logPath());
    core.unban("10.0.0.2");
    EXPECT_EQ(read(logPath()), before) << "unbanning an unknown address logs nothing";

    core.unban("10.0.0.1");
    EXPECT_FALSE(core.isBanned("10.0.0.1"));
    EXPECT_EQ(read(configPath()),
              "{\n  \"adminPort\": 50001,\n  \"bans\": [],\n  \"gamePort\": 50000\n}");
    EXPECT_NE(read(logPath()).find(" INFO UNBAN ip=10.0.0.1\r\n"), std::string::npos);

    core.kick(12345);
    EXPECT_EQ(read(logPath()).find("KICK"), std::string::npos) << "kicking nobody logs nothing";
}

TEST_F(ModerationTest, StateDocumentListsBansAndPort) {
    RelayConfig config;
    config.bans = {{"10.0.0.2", ""}, {"10.0.0.1", "Ann\xff"}};
    RelayCore core(config);
    nlohmann::json logPathText = logPathUtf8();
    EXPECT_EQ(core.stateJson(),
              "{\"bans\":[{\"ip\":\"10.0.0.1\",\"name\":\"Ann\xef\xbf\xbd\"},{\"ip\":\"10.0.0.2\","
              "\"name\":\"\"}],\"configSaved\":true,\"gamePort\":49200,\"logPath\":" +
                  logPathText.dump() + ",\"players\":[],\"rooms\":[]}");
    EXPECT_EQ(core.roomsJson("P"), "[]");
}

TEST_F(ModerationTest, AdminPageIsTheFileBesideTheExecutableOrTheFallback) {
    auto page = platform::executablePath().parent_path() / "AdminPage.html";
    std::error_code ec;
    std::filesystem::remove(page, ec);
    std::string fallback = loadAdminHtml();
    EXPECT_EQ(fallback.rfind("<!doctype html><meta charset=\"utf-8\">", 0), 0u) << fallback;
    EXPECT_NE(fallback.find("AdminPage.html was not found next to the executable."),
              std::string::npos);
    EXPECT_EQ(fallback.find('\n'), std::string::npos);

    { std::ofstream(page, std::ios::binary); }
    EXPECT_EQ(loadAdminHtml(), "") << "an empty file is an empty page, not the fallback";
    const std::string bytes("<p>\r\n\0\xff</p>", 11);
    { std::ofstream(page, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size())); }
    EXPECT_EQ(loadAdminHtml(), bytes) << "the bytes as they are";
    std::filesystem::remove(page, ec);
}
