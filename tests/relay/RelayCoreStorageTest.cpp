// The running relay and config.json: hand edits are picked up and survive the next ban, a
// reload reads the file at once, a broken edit is reported once and left alone, and the
// listeners keep their ports.
#include "TempDataDir.hpp"
#include "relay/RelayCore.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

namespace tnlrelay {
namespace {

using test::readBytes;
using test::writeBytes;

class RelayCoreStorageTest : public ::testing::Test {
protected:
    static std::chrono::steady_clock::time_point later(int seconds) {
        return std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    }
    static std::size_t count(const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
            ++n;
        return n;
    }
    static nlohmann::json fileJson() { return nlohmann::json::parse(readBytes(configPath())); }

    test::TempDataDir temp;
};

TEST_F(RelayCoreStorageTest, HandEditIsUsedWithinACheckAndKeptByTheNextBan) {
    writeBytes(configPath(), R"({"bans": [{"ip": "10.0.0.1", "name": "old"}]})");
    RelayCore core(RelayConfig::load());
    ASSERT_TRUE(core.isBanned("10.0.0.1"));

    // The accounts are kept as they are, whatever a ban writes.
    const auto admins = nlohmann::json::parse(R"([{"name": "ann", "role": "viewer",
        "passwordHash": "scrypt$16384$8$1$c2FsdHNhbHQ=$aGFzaGhhc2hoYXNoaGFzaA=="}])");
    writeBytes(configPath(), R"({"note": "hand", "bans": [{"ip": "10.0.0.2", "name": "new"}],
        "admins": )" + admins.dump() +
                                 "}");
    core.housekeeping(later(0));
    EXPECT_TRUE(core.isBanned("10.0.0.2")) << "the hand-added ban holds at once";
    EXPECT_FALSE(core.isBanned("10.0.0.1")) << "the hand-removed ban is gone";
    const std::string log = readBytes(logPath());
    EXPECT_EQ(count(log, " INFO config.json changed on disk and was read again: 1 bans\r\n"), 1u)
        << log;

    core.housekeeping(later(5));
    EXPECT_EQ(readBytes(logPath()), log) << "an unchanged file is not read again";

    core.ban("10.0.0.3", "third");
    const nlohmann::json saved = fileJson();
    EXPECT_EQ(saved["note"], "hand");
    EXPECT_EQ(saved["admins"], admins);
    EXPECT_EQ(saved["bans"].size(), 2u) << saved.dump();
    EXPECT_EQ(saved["bans"][0]["ip"], "10.0.0.2");
    core.housekeeping(later(10));
    EXPECT_EQ(count(readBytes(logPath()), "changed on disk"), 1u) << "its own save is no edit";
}

TEST_F(RelayCoreStorageTest, BanRightAfterAHandEditStartsFromTheEditedFile) {
    RelayCore core(RelayConfig{});
    core.ban("10.0.0.1", "first");
    // No check runs in between: the ban itself looks at the file first.
    writeBytes(configPath(), R"({"bans": [{"ip": "10.0.0.1", "name": "first"},
                                          {"ip": "10.0.0.9", "name": "by hand"}]})");
    core.unban("10.0.0.1");
    EXPECT_EQ(fileJson()["bans"],
              nlohmann::json::parse(R"([{"ip": "10.0.0.9", "name": "by hand"}])"));
    EXPECT_TRUE(core.isBanned("10.0.0.9"));
}

TEST_F(RelayCoreStorageTest, BrokenEditKeepsTheRunningValuesAndIsLeftUntilTheNextBan) {
    writeBytes(configPath(), R"({"bans": [{"ip": "10.0.0.1", "name": "kept"}]})");
    RelayCore core(RelayConfig::load());

    writeBytes(configPath(), R"({"bans": [{"ip": "10.0.0.1", "na)");
    core.housekeeping(later(0));
    core.housekeeping(later(5));
    EXPECT_TRUE(core.isBanned("10.0.0.1"));
    EXPECT_EQ(count(readBytes(logPath()), " ERROR config.json changed but cannot be used"), 1u)
        << readBytes(logPath());
    EXPECT_EQ(readBytes(configPath()), R"({"bans": [{"ip": "10.0.0.1", "na)") << "not overwritten";

    // Fixed by hand: read again.
    writeBytes(configPath(), R"({"bans": []})");
    core.housekeeping(later(10));
    EXPECT_FALSE(core.isBanned("10.0.0.1"));

    // Broken again, then a ban: the running values and the ban are written over it.
    core.ban("10.0.0.5", "x");
    writeBytes(configPath(), "{");
    core.ban("10.0.0.6", "y");
    EXPECT_EQ(fileJson()["bans"].size(), 2u);
}

TEST_F(RelayCoreStorageTest, ListenersKeepTheirPortsWhileTheFileKeepsAHandEditedOne) {
    RelayConfig config;
    config.gamePort = 50000; // as a console port override leaves it
    config.adminPort = 50001;
    RelayCore core(config);
    writeBytes(configPath(), R"({"gamePort": 40000})");
    core.housekeeping(later(0));
    EXPECT_EQ(nlohmann::json::parse(core.stateJson())["gamePort"], 50000);
    core.ban("10.0.0.1", "x");
    EXPECT_EQ(fileJson()["gamePort"], 40000) << "the hand edit is for the next start";
    EXPECT_EQ(fileJson()["adminPort"], 49201);
}

TEST_F(RelayCoreStorageTest, ReloadReadsTheFileAtOnceAndNeverDropsBansNotYetSaved) {
    writeBytes(configPath(), R"({"bans": [{"ip": "10.0.0.1", "name": "a"}]})");
    RelayCore core(RelayConfig::load());
    const auto stamp = std::filesystem::last_write_time(configPath());

    // An edit that keeps the time and the size goes unnoticed by the checks, not by a reload.
    writeBytes(configPath(), R"({"bans": [{"ip": "10.0.0.2", "name": "b"}]})");
    std::filesystem::last_write_time(configPath(), stamp);
    core.housekeeping(later(5));
    ASSERT_TRUE(core.isBanned("10.0.0.1"));
    core.reloadNow();
    EXPECT_TRUE(core.isBanned("10.0.0.2"));
    EXPECT_FALSE(core.isBanned("10.0.0.1"));
    std::string log = readBytes(logPath());
    EXPECT_EQ(count(log, " INFO reload: config.json read again: 1 bans; relay.log is reopened"), 1u)
        << log;
    EXPECT_EQ(count(log, "\r\n"), 1u) << "one line: " << log;

    // A ban the file does not hold yet (the save failed) is newer than the file.
    const std::optional<bool> stored =
        test::withFileSizeLimit(10, [&] { return core.ban("10.0.0.3", "c"); });
    ASSERT_TRUE(stored.has_value()) << "the file size limit could not be set";
    ASSERT_FALSE(*stored);
    core.reloadNow();
    EXPECT_TRUE(core.isBanned("10.0.0.3")) << "a reload dropped a ban not yet saved";
    EXPECT_TRUE(core.isBanned("10.0.0.2"));
    EXPECT_EQ(count(readBytes(logPath()), " INFO reload: config.json is unchanged"), 1u);

    // A broken file: the running values stay, one ERROR line says why.
    writeBytes(configPath(), "{");
    core.reloadNow();
    EXPECT_TRUE(core.isBanned("10.0.0.2"));
    EXPECT_EQ(count(readBytes(logPath()), " ERROR reload: config.json cannot be used"), 1u);
}

TEST_F(RelayCoreStorageTest, FailedSaveIsReportedHoldsAndIsRetriedUntilItWorks) {
    RelayCore core(RelayConfig{});
    // A folder where the file belongs: every save fails until it is gone.
    std::filesystem::create_directories(configPath());
    EXPECT_FALSE(core.ban("10.0.0.1", "Bob\nx")) << "the reply must not claim success";
    EXPECT_TRUE(core.isBanned("10.0.0.1")) << "the ban holds in memory";
    EXPECT_EQ(nlohmann::json::parse(core.stateJson())["configSaved"], false);
    const std::string log = readBytes(logPath());
    EXPECT_EQ(count(log, " ERROR config.json could not be written, so BAN ip=10.0.0.1 "
                         "name=Bob\\x0Ax holds only until the relay stops"),
              1u)
        << log;

    core.housekeeping(later(5));
    core.housekeeping(later(10));
    EXPECT_EQ(count(readBytes(logPath()), " ERROR "), 1u) << "retries fail quietly";
    EXPECT_TRUE(core.unban("10.0.0.7")) << "an unban that changes nothing has nothing to store";

    std::filesystem::remove(configPath());
    core.housekeeping(later(15));
    EXPECT_EQ(nlohmann::json::parse(core.stateJson())["configSaved"], true);
    EXPECT_EQ(fileJson()["bans"][0]["ip"], "10.0.0.1");
    EXPECT_EQ(count(readBytes(logPath()), " INFO config.json saved: it holds every ban"), 1u);
    EXPECT_TRUE(core.unban("10.0.0.1"));
    EXPECT_TRUE(fileJson()["bans"].empty());
}

} // namespace
} // namespace tnlrelay
