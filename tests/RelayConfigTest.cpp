// config.json: what load makes of good, partial, broken and oddly typed files, the exact bytes
// save writes, and that a save that fails leaves the previous file as it was.
#include "RelayConfig.hpp"
#include "TempDataDir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sys/resource.h>

namespace tnlrelay {
namespace {

using test::readBytes;
using test::writeBytes;

class RelayConfigTest : public ::testing::Test {
protected:
    RelayConfig loadFrom(const std::string& text) {
        writeBytes(configPath(), text);
        return RelayConfig::load();
    }
    std::vector<std::string> dataDirEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(temp.dir()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    test::TempDataDir temp;
};

TEST_F(RelayConfigTest, DataDirectoryIsCreatedUnderProgramData) {
    EXPECT_EQ(dataDir(), temp.dir());
    EXPECT_TRUE(std::filesystem::is_directory(temp.dir()));
    EXPECT_EQ(configPath(), temp.dir() / "config.json");
    EXPECT_EQ(logPath(), temp.dir() / "relay.log");
    EXPECT_EQ(logPathUtf8(), (temp.dir() / "relay.log").string());

    // The folders come back if they vanish while the program runs.
    std::filesystem::remove_all(temp.base() / "Tarnelle");
    configPath();
    EXPECT_TRUE(std::filesystem::is_directory(temp.dir()));
}

TEST_F(RelayConfigTest, MissingFileGivesDefaultsAndIsNotCreated) {
    RelayConfig config = RelayConfig::load();
    EXPECT_EQ(config.gamePort, 49200);
    EXPECT_EQ(config.adminPort, 49201);
    EXPECT_TRUE(config.bans.empty());
    EXPECT_FALSE(std::filesystem::exists(temp.dir() / "config.json"));

    std::filesystem::remove_all(temp.base() / "Tarnelle");
    RelayConfig::load();
    EXPECT_FALSE(std::filesystem::exists(temp.base() / "Tarnelle")) << "load created folders";
}

TEST_F(RelayConfigTest, UnusableTextGivesAllDefaults) {
    const char* texts[] = {
        "",
        "{\"gamePort\": 50000",
        "// note\n{\"gamePort\": 50000}",
        "{\"gamePort\": 50000 /* note */}",
        "{\"gamePort\": 50000} trailing",
        "[{\"gamePort\": 50000}]",
        "\"text\"",
        "\xEF\xBB\xBF",
        "\xEF\xBB{}",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(std::string("file: ") + text);
        EXPECT_EQ(loadFrom(text), RelayConfig{});
    }
}

TEST_F(RelayConfigTest, PartialFileAndByteOrderMarkAreAccepted) {
    RelayConfig partial = loadFrom("{\"gamePort\": 50000}");
    EXPECT_EQ(partial.gamePort, 50000);
    EXPECT_EQ(partial.adminPort, 49201);
    EXPECT_TRUE(partial.bans.empty());

    RelayConfig withBom = loadFrom("\xEF\xBB\xBF{\"adminPort\": 40001, \"other\": [1, 2]}");
    EXPECT_EQ(withBom.gamePort, 49200);
    EXPECT_EQ(withBom.adminPort, 40001);
}

TEST_F(RelayConfigTest, PortsConvertNumbersAndBooleansAndKeepDefaultsForOtherTypes) {
    struct Case {
        const char* json;
        std::int32_t expected;
    } cases[] = {
        {"50000.9", 50000},
        {"-0.5", 0},
        {"true", 1},
        {"false", 0},
        {"-5", -5},
        {"0", 0},
        {"70000", 70000},
        {"4294967297", 1},
        {"-4294967297", -1},
        {"18446744073709551615", -1},
        {"1e19", -1981284352}, // 10^19 mod 2^32 = 2313682944
        {"-1.5", -1},
        {"2147483648.7", -2147483647 - 1},
        {"1e300", 0},
        {"\"50000\"", 49200},
        {"null", 49200},
        {"[50000]", 49200},
        {"{\"port\": 50000}", 49200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("gamePort: ") + c.json);
        RelayConfig config =
            loadFrom(std::string("{\"gamePort\": ") + c.json + ", \"adminPort\": " + c.json + "}");
        EXPECT_EQ(config.gamePort, c.expected);
        EXPECT_EQ(config.adminPort, c.expected == 49200 ? 49201 : c.expected);
    }
}

TEST_F(RelayConfigTest, BansLoadWithMalformedEntriesSkipped) {
    RelayConfig config = loadFrom(R"({"bans": [
        {"ip": "203.0.113.7"},
        {"name": "no address"},
        "203.0.113.8",
        5,
        null,
        [],
        {"ip": 5, "name": "numeric address"},
        {"ip": "198.51.100.1", "name": 7},
        {"ip": "198.51.100.1", "name": null},
        {"ip": "198.51.100.2", "name": "first"},
        {"ip": "198.51.100.2", "name": "later"},
        {"ip": "", "name": "empty address"}
    ]})");
    std::map<std::string, std::string> expected = {
        {"", "empty address"}, {"198.51.100.2", "later"}, {"203.0.113.7", ""}};
    EXPECT_EQ(config.bans, expected);

    EXPECT_TRUE(loadFrom(R"({"bans": {"ip": "203.0.113.7", "name": "x"}})").bans.empty());
    EXPECT_TRUE(loadFrom(R"({"bans": "203.0.113.7"})").bans.empty());
}

TEST_F(RelayConfigTest, SaveWritesTheIndentedFormByteForByte) {
    RelayConfig config;
    ASSERT_TRUE(config.save());
    EXPECT_EQ(readBytes(temp.dir() / "config.json"), "{\n"
                                                     "  \"adminPort\": 49201,\n"
                                                     "  \"bans\": [],\n"
                                                     "  \"gamePort\": 49200\n"
                                                     "}");

    config.bans["203.0.113.7"] = "PlayerOne";
    ASSERT_TRUE(config.save());
    EXPECT_EQ(readBytes(temp.dir() / "config.json"), "{\n"
                                                     "  \"adminPort\": 49201,\n"
                                                     "  \"bans\": [\n"
                                                     "    {\n"
                                                     "      \"ip\": \"203.0.113.7\",\n"
                                                     "      \"name\": \"PlayerOne\"\n"
                                                     "    }\n"
                                                     "  ],\n"
                                                     "  \"gamePort\": 49200\n"
                                                     "}");
    EXPECT_EQ(dataDirEntries(), std::vector<std::string>{"config.json"});
}

TEST_F(RelayConfigTest, SaveKeepsUtf8RawEscapesWhatJsonRequiresAndReplacesInvalidBytes) {
    RelayConfig config;
    config.gamePort = -7;
    config.adminPort = 65536;
    config.bans["10.0.0.2"] = "J\xC3\xBCrgen \xE6\x97\xA5\xE6\x9C\xAC";
    config.bans["10.0.0.1"] = "a\"b\\c\x01";
    config.bans["10.0.0.3"] = "bad\xFF";
    ASSERT_TRUE(config.save());
    std::string text = readBytes(temp.dir() / "config.json");
    EXPECT_NE(text.find("\"name\": \"J\xC3\xBCrgen \xE6\x97\xA5\xE6\x9C\xAC\""), std::string::npos)
        << text;
    EXPECT_NE(text.find(R"("name": "a\"b\\c\u0001")"), std::string::npos) << text;
    EXPECT_NE(text.find("\"name\": \"bad\xEF\xBF\xBD\""), std::string::npos) << text;
    // Sorted by address.
    EXPECT_LT(text.find("10.0.0.1"), text.find("10.0.0.2"));
    EXPECT_LT(text.find("10.0.0.2"), text.find("10.0.0.3"));

    RelayConfig loaded = RelayConfig::load();
    EXPECT_EQ(loaded.gamePort, -7);
    EXPECT_EQ(loaded.adminPort, 65536);
    EXPECT_EQ(loaded.bans.at("10.0.0.1"), "a\"b\\c\x01");
    EXPECT_EQ(loaded.bans.at("10.0.0.2"), config.bans.at("10.0.0.2"));
}

TEST_F(RelayConfigTest, SaveThenLoadGivesAnEqualRecordAndDropsOtherKeys) {
    RelayConfig loaded = loadFrom(R"({"other": true, "gamePort": 5000, "bans": [
        {"ip": "203.0.113.9", "name": "z"}, {"ip": "198.51.100.4", "name": "y"}]})");
    ASSERT_TRUE(loaded.save());
    std::string text = readBytes(temp.dir() / "config.json");
    EXPECT_EQ(text.find("other"), std::string::npos) << text;
    EXPECT_LT(text.find("198.51.100.4"), text.find("203.0.113.9")) << text;
    EXPECT_EQ(RelayConfig::load(), loaded);
}

TEST_F(RelayConfigTest, FailedSaveKeepsTheOldFileAndLeavesNoTemporaryFile) {
    RelayConfig old;
    old.bans["203.0.113.7"] = "PlayerOne";
    ASSERT_TRUE(old.save());
    const std::string oldBytes = readBytes(temp.dir() / "config.json");

    // A write that stops short: the file size limit applies to root as well.
    RelayConfig large;
    for (int i = 0; i < 2000; ++i)
        large.bans["10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256)] = "name";
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 4096;
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool saved1 = large.save();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(saved1) << "a short write must be reported";
    EXPECT_EQ(readBytes(temp.dir() / "config.json"), oldBytes);
    EXPECT_EQ(dataDirEntries(), std::vector<std::string>{"config.json"});
    EXPECT_EQ(RelayConfig::load(), old);

    // A target that cannot be replaced.
    std::filesystem::remove(temp.dir() / "config.json");
    std::filesystem::create_directories(temp.dir() / "config.json" / "inside");
    EXPECT_FALSE(old.save());
    EXPECT_EQ(dataDirEntries(), std::vector<std::string>{"config.json"});
    EXPECT_TRUE(std::filesystem::is_directory(temp.dir() / "config.json" / "inside"));
    EXPECT_EQ(RelayConfig::load(), RelayConfig{});
}

} // namespace
} // namespace tnlrelay
