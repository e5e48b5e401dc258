// Moderation, the state document and the admin page on a core that is not listening.
#include "TempDataDir.hpp"
#include "platform/Platform.hpp"
#include "relay/RelayCore.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

using namespace tnlrelay;

namespace {

/// A core whose data directory is a fresh temporary folder; never started.
class ModerationTest : public ::testing::Test {
protected:
    static std::string read(const std::filesystem::path& p) { return test::readBytes(p); }
    test::TempDataDir temp;
};

/// The files of `dir` in the order `act` wrote them (modified, or moved into place), each
/// named once, at its first write.
std::vector<std::string> writeOrder(const std::filesystem::path& dir,
                                    const std::function<void()>& act) {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    EXPECT_GE(fd, 0);
    EXPECT_GE(::inotify_add_watch(fd, dir.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO), 0);
    act();
    std::vector<std::string> names;
    alignas(inotify_event) char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        for (char* p = buffer; p < buffer + n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(p);
            const std::string name = event->len ? event->name : "";
            if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
            p += sizeof(inotify_event) + event->len;
        }
    }
    ::close(fd);
    return names;
}

/// Whether `first` was written before `second` (and both were).
bool writtenBefore(const std::vector<std::string>& order, const std::string& first,
                   const std::string& second) {
    auto a = std::find(order.begin(), order.end(), first);
    auto b = std::find(order.begin(), order.end(), second);
    return a != order.end() && b != order.end() && a < b;
}

} // namespace

TEST_F(ModerationTest, BanAndUnbanSaveBeforeLoggingAndEscapeTheLog) {
    RelayConfig config;
    config.gamePort = 50000; // as a console port override would leave it
    config.adminPort = 50001;
    RelayCore core(config);

    core.ban("", "nobody");
    EXPECT_TRUE(core.configuration().bans.empty()) << "the empty address is never banned";
    EXPECT_FALSE(std::filesystem::exists(configPath()));

    // The file is in place before the line: a logged ban is one the next start knows.
    auto order = writeOrder(temp.dir(), [&] { core.ban("10.0.0.1", "Bob\r\nfake"); });
    EXPECT_TRUE(writtenBefore(order, "config.json", "relay.log"))
        << ::testing::PrintToString(order);
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

    order = writeOrder(temp.dir(), [&] { core.unban("10.0.0.1"); });
    EXPECT_TRUE(writtenBefore(order, "config.json", "relay.log"))
        << ::testing::PrintToString(order);
    EXPECT_FALSE(core.isBanned("10.0.0.1"));
    EXPECT_EQ(read(configPath()),
              "{\n  \"adminPort\": 50001,\n  \"bans\": [],\n  \"gamePort\": 50000\n}");
    EXPECT_NE(read(logPath()).find(" INFO UNBAN ip=10.0.0.1\r\n"), std::string::npos);

    core.kick(12345);
    EXPECT_EQ(read(logPath()).find("KICK"), std::string::npos) << "kicking nobody logs nothing";
}

TEST_F(ModerationTest, StateDocumentListsBansAndPortAndCreatesNothing) {
    RelayConfig config;
    config.bans = {{"10.0.0.2", ""}, {"10.0.0.1", "Ann\xff"}};
    RelayCore core(config);
    nlohmann::json logPathText = (temp.dir() / "relay.log").string();
    // The page polls the state every second: reading it must not touch the disk.
    std::filesystem::remove_all(temp.base() / "Tarnelle");
    EXPECT_EQ(core.stateJson(),
              "{\"bans\":[{\"ip\":\"10.0.0.1\",\"name\":\"Ann\xef\xbf\xbd\"},{\"ip\":\"10.0.0.2\","
              "\"name\":\"\"}],\"configSaved\":true,\"gamePort\":49200,"
              "\"limitRefusals\":{\"connectionsPerAddress\":0,\"joinsPerMinute\":0,"
              "\"messageRate\":0,\"messageSize\":0,\"origin\":0},\"logPath\":" +
                  logPathText.dump() + ",\"players\":[],\"rooms\":[]}");
    EXPECT_EQ(core.roomsJson("P"), "[]");
    // The summary shares the state's small members and counts instead of listing players.
    nlohmann::json summary = nlohmann::json::parse(core.summaryJson());
    nlohmann::json state = nlohmann::json::parse(core.stateJson());
    EXPECT_TRUE(summary["uptimeSeconds"].is_number_integer());
    for (const char* key : {"bans", "configSaved", "gamePort", "limitRefusals", "logPath"})
        EXPECT_EQ(summary[key], state[key]) << key;
    summary.erase("uptimeSeconds");
    EXPECT_EQ(summary.size(), 10u) << summary;
    EXPECT_EQ(summary["busiestRooms"], nlohmann::json::array());
    for (const char* key : {"connections", "instances", "players", "rooms"})
        EXPECT_EQ(summary[key], 0) << key;
    EXPECT_FALSE(std::filesystem::exists(temp.base() / "Tarnelle"));
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
