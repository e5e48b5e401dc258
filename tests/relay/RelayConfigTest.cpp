// config.json: what load makes of good, partial, broken and oddly typed files, the exact bytes
// save writes, and that a save that fails leaves the previous file as it was.
#include "relay/RelayConfig.hpp"
#include "TempDataDir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

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
    std::vector<std::string> dataDirEntries() const { return test::fileNames(temp.dir()); }

    test::TempDataDir temp;
};

TEST_F(RelayConfigTest, DataDirectoryIsCreatedUnderProgramData) {
    EXPECT_EQ(dataDir(), temp.dir());
    EXPECT_TRUE(std::filesystem::is_directory(temp.dir()));
    EXPECT_EQ(configPath(), temp.dir() / "config.json");
    EXPECT_EQ(logPath(), temp.dir() / "relay.log");

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

TEST_F(RelayConfigTest, SaveKeepsEveryOtherKeyInTheSortedIndentedLayout) {
    RelayConfig loaded = loadFrom(R"({"zeta": {"b": [1, 2.5, null], "a": "x"}, "gamePort": 5000,
        "limits": {"burst": 10}, "Notes": "for the night shift", "bans": [
        {"ip": "203.0.113.9", "name": "z"}, {"ip": "198.51.100.4", "name": "y"}]})");
    ASSERT_TRUE(loaded.save());
    EXPECT_EQ(readBytes(temp.dir() / "config.json"), "{\n"
                                                     "  \"Notes\": \"for the night shift\",\n"
                                                     "  \"adminPort\": 49201,\n"
                                                     "  \"bans\": [\n"
                                                     "    {\n"
                                                     "      \"ip\": \"198.51.100.4\",\n"
                                                     "      \"name\": \"y\"\n"
                                                     "    },\n"
                                                     "    {\n"
                                                     "      \"ip\": \"203.0.113.9\",\n"
                                                     "      \"name\": \"z\"\n"
                                                     "    }\n"
                                                     "  ],\n"
                                                     "  \"gamePort\": 5000,\n"
                                                     "  \"limits\": {\n"
                                                     "    \"burst\": 10\n"
                                                     "  },\n"
                                                     "  \"zeta\": {\n"
                                                     "    \"a\": \"x\",\n"
                                                     "    \"b\": [\n"
                                                     "      1,\n"
                                                     "      2.5,\n"
                                                     "      null\n"
                                                     "    ]\n"
                                                     "  }\n"
                                                     "}");
    EXPECT_EQ(RelayConfig::load(), loaded);

    // Keys the record holds itself come from its members, even when the file had them wrong.
    RelayConfig odd = loadFrom(R"({"gamePort": "50000", "bans": {"ip": "x"}, "extra": 1})");
    odd.bans["10.0.0.1"] = "a";
    ASSERT_TRUE(odd.save());
    EXPECT_EQ(nlohmann::json::parse(readBytes(temp.dir() / "config.json")),
              nlohmann::json::parse(R"({"adminPort": 49201, "gamePort": 49200, "extra": 1,
                  "bans": [{"ip": "10.0.0.1", "name": "a"}]})"));
}

TEST_F(RelayConfigTest, OptionalKeysReadThroughTypedAccessors) {
    RelayConfig config = loadFrom(R"({"tlsOnly": true, "gameHost": "127.0.0.1",
        "trustedProxies": ["10.0.0.1", "10.0.0.2"], "limits": {"burst": 5}, "count": 7})");
    EXPECT_EQ(config.value<bool>("tlsOnly"), true);
    EXPECT_EQ(config.value<std::string>("gameHost"), "127.0.0.1");
    EXPECT_EQ(config.value<std::vector<std::string>>("trustedProxies"),
              (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
    EXPECT_EQ(config.value<std::int64_t>("count"), 7);
    ASSERT_NE(config.find("limits"), nullptr);
    EXPECT_EQ(config.find("limits")->at("burst"), 5);

    EXPECT_EQ(config.value<bool>("missing"), std::nullopt);
    EXPECT_EQ(config.value<std::string>("tlsOnly"), std::nullopt) << "wrong type";
    EXPECT_EQ(config.value<std::vector<std::string>>("count"), std::nullopt);
    EXPECT_EQ(config.find("gamePort"), nullptr) << "the ports are members, not optional keys";
}

TEST_F(RelayConfigTest, LimitsReadWhatIsUsableAndKeepDefaultsForTheRest) {
    EXPECT_EQ(loadFrom("{}").limits(), AbuseLimits{});
    EXPECT_EQ(loadFrom(R"({"limits": [1]})").limits(), AbuseLimits{});

    AbuseLimits set = loadFrom(R"({"limits": {"maxConnectionsPerAddress": 4,
        "joinsPerAddressPerMinute": 30.9, "messagesPerSecond": 0.5, "burst": 3,
        "maxMessageBytes": 1000, "allowedOrigins": ["https://a.example", 5, "https://b.example"]}})")
                          .limits();
    EXPECT_EQ(set.maxConnectionsPerAddress, 4u);
    EXPECT_EQ(set.joinsPerAddressPerMinute, 30u);
    EXPECT_EQ(set.messagesPerSecond, 0.5);
    EXPECT_EQ(set.burst, 3.0);
    EXPECT_EQ(set.maxMessageBytes, 1000u);
    EXPECT_EQ(set.allowedOrigins,
              (std::vector<std::string>{"https://a.example", "https://b.example"}));

    // Negative, wrong-typed and out-of-range values keep their defaults; sizes stay within the
    // largest message the relay takes.
    AbuseLimits odd = loadFrom(R"({"limits": {"maxConnectionsPerAddress": -1,
        "joinsPerAddressPerMinute": "30", "messagesPerSecond": null, "burst": true,
        "maxMessageBytes": 1e300, "allowedOrigins": "https://a.example"}})")
                          .limits();
    AbuseLimits expected;
    expected.maxMessageBytes = AbuseLimits::kLargestMessage;
    EXPECT_EQ(odd, expected);
    EXPECT_EQ(loadFrom(R"({"limits": {"maxMessageBytes": 0}})").limits().maxMessageBytes,
              AbuseLimits::kLargestMessage);
    EXPECT_EQ(loadFrom(R"({"limits": {"allowedOrigins": []}})").limits().allowedOrigins,
              std::vector<std::string>{})
        << "an empty list refuses every browser";
}

TEST_F(RelayConfigTest, FlushIntervalIsMicrosecondsUpToOneSecondAndZeroWhenUnusable) {
    using std::chrono::microseconds;
    EXPECT_EQ(loadFrom("{}").flushInterval(), microseconds(0));
    EXPECT_EQ(loadFrom(R"({"flushIntervalMicros": 2000})").flushInterval(), microseconds(2000));
    EXPECT_EQ(loadFrom(R"({"flushIntervalMicros": 1e12})").flushInterval(), microseconds(1000000));
    for (const char* odd : {R"({"flushIntervalMicros": -5})", R"({"flushIntervalMicros": "500"})",
                            R"({"flushIntervalMicros": -1e300})"})
        EXPECT_EQ(loadFrom(odd).flushInterval(), microseconds(0)) << odd;
}

TEST_F(RelayConfigTest, StrictLoadTellsUnusableFilesFromGoodOnes) {
    EXPECT_EQ(RelayConfig::loadStrict(), std::nullopt) << "no file";
    for (const char* text : {"", "{\"gamePort\": 5", "[]", "null", "{} {}"}) {
        writeBytes(configPath(), text);
        EXPECT_EQ(RelayConfig::loadStrict(), std::nullopt) << text;
    }
    writeBytes(configPath(), "{}");
    EXPECT_EQ(RelayConfig::loadStrict(), RelayConfig{});

    // Nesting that would make copying or writing the document recurse without bound.
    std::string deep = "{\"deep\": " + std::string(100000, '[') + std::string(100000, ']') + "}";
    writeBytes(configPath(), deep);
    EXPECT_EQ(RelayConfig::loadStrict(), std::nullopt);
    EXPECT_EQ(RelayConfig::load(), RelayConfig{});
    std::string fine = "{\"deep\": " + std::string(50, '[') + std::string(50, ']') + "}";
    writeBytes(configPath(), fine);
    ASSERT_TRUE(RelayConfig::loadStrict().has_value());
    EXPECT_NE(RelayConfig::load().find("deep"), nullptr);
}

TEST_F(RelayConfigTest, StampChangesWithTheFile) {
    const FileStamp none = configStamp();
    EXPECT_FALSE(none.exists);
    writeBytes(configPath(), "{}");
    const FileStamp first = configStamp();
    EXPECT_TRUE(first.exists);
    EXPECT_EQ(first.size, 2u);
    EXPECT_EQ(configStamp(), first) << "reading changes nothing";
    writeBytes(configPath(), "{ }");
    EXPECT_NE(configStamp(), first);

    // Same size: the modification time alone tells them apart.
    const FileStamp second = configStamp();
    std::filesystem::last_write_time(configPath(), std::filesystem::last_write_time(configPath()) -
                                                       std::chrono::seconds(5));
    EXPECT_NE(configStamp(), second);
}

TEST_F(RelayConfigTest, StaleTemporaryFilesOfTheSaveAreRemovedAndNothingElse) {
    const std::vector<std::string> stale = {"config.json.tmp.123.0", "config.json.tmp.4.99"};
    const std::vector<std::string> kept = {
        "config.json",           "config.json.tmp.",     "config.json.tmp.12",
        "config.json.tmp.12.",   "config.json.tmp..3",   "config.json.tmp.1x.2",
        "config.json.tmp.1.2.3", "xconfig.json.tmp.1.2", "relay.log",
        "relay.log.tmp.1.2",     ".write-probe.tmp.1.2", "config.json.tmp.1.2~"};
    dataDir();
    for (const auto& name : stale)
        writeBytes(temp.dir() / name, "{");
    for (const auto& name : kept)
        writeBytes(temp.dir() / name, "x");
    std::filesystem::create_directory(temp.dir() / "config.json.tmp.7.7");

    EXPECT_EQ(removeStaleConfigTemps(), 2);
    std::vector<std::string> expected = kept;
    expected.push_back("config.json.tmp.7.7"); // a folder is not the save's doing
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(dataDirEntries(), expected);
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
    const std::optional<bool> saved1 = test::withFileSizeLimit(4096, [&] { return large.save(); });
    ASSERT_TRUE(saved1.has_value()) << "the file size limit could not be set";

    EXPECT_FALSE(*saved1) << "a short write must be reported";
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
