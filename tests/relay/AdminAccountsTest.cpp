// The admin port's keys in config.json: where it listens, logins on this machine, and the
// accounts, each unusable entry left out with a reason that never shows its hash; and writing
// one account back without touching anything else.
#include "relay/AdminAccounts.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace tnlrelay {
namespace {

const std::string kHash =
    "scrypt$16384$8$1$U29kaXVtQ2hsb3JpZGU=$cCO9yzr9c0hGHAbNgf046/2o+7qQT44+qbVD9lRdofI=";

TEST(AdminAccounts, UsableEntriesAreReadAndTheOthersNamedWithoutTheirHash) {
    const AdminSettings none = AdminSettings::read(nlohmann::json::object());
    EXPECT_EQ(none.host, "127.0.0.1");
    EXPECT_FALSE(none.loginOnLoopback);
    EXPECT_TRUE(none.accounts.empty() && none.unusable.empty());

    const std::string secretLooking = "scrypt$16384$8$1$c2VjcmV0$bm90IGEgaGFzaA";
    const auto document = nlohmann::json::parse(R"({
        "adminHost": "::", "adminLoginOnLoopback": true, "admins": [
        {"name": "ann", "passwordHash": ")" + kHash +
                                                R"("},
        {"name": "vic", "role": "viewer", "passwordHash": ")" +
                                                kHash + R"(", "note": "night"},
        {"name": "ann", "role": "viewer", "passwordHash": ")" +
                                                kHash + R"("},
        {"name": "bad name", "passwordHash": ")" +
                                                kHash + R"("},
        {"name": "eve", "role": "root", "passwordHash": ")" +
                                                kHash + R"("},
        {"name": "mal", "passwordHash": ")" + secretLooking +
                                                R"("},
        {"name": "nohash"}, "text", 5]})");
    const AdminSettings s = AdminSettings::read(document);
    EXPECT_EQ(s.host, "::");
    EXPECT_TRUE(s.loginOnLoopback);
    ASSERT_EQ(s.accounts.size(), 2u);
    EXPECT_EQ(s.accounts[0], (AdminAccount{"ann", AdminRole::moderator, kHash}))
        << "moderator by default, and the first of a name counts";
    EXPECT_EQ(s.accounts[1], (AdminAccount{"vic", AdminRole::viewer, kHash}));
    EXPECT_EQ(s.find("vic"), &s.accounts[1]);
    EXPECT_EQ(s.find("Vic"), nullptr) << "names are exact";
    ASSERT_EQ(s.unusable.size(), 7u);
    for (const std::string& why : s.unusable)
        EXPECT_EQ(why.find("c2VjcmV0"), std::string::npos) << why << ": no hash in a reason";

    for (const char* host : {"\"localhost\"", "5", "\"10.0.0.1:80\""}) {
        const AdminSettings odd = AdminSettings::read(nlohmann::json::parse(
            std::string(R"({"adminHost": )") + host + R"(, "adminLoginOnLoopback": "yes"})"));
        EXPECT_EQ(odd.host, "127.0.0.1") << host;
        EXPECT_FALSE(odd.loginOnLoopback);
        EXPECT_EQ(odd.unusable.size(), 1u) << host;
    }
    EXPECT_EQ(AdminSettings::read(nlohmann::json::parse(R"({"adminHost": "0.0.0.0"})")).host,
              "0.0.0.0");
}

TEST(AdminAccounts, SettingAnAccountReplacesItsEntryOrAddsOneAndKeepsEverythingElse) {
    auto document = nlohmann::json::parse(R"({"bans": [], "note": "x", "admins": [
        {"name": "ann", "role": "viewer", "passwordHash": "old", "since": 2020}, "junk"]})");
    setAdminAccount(document, {"ann", AdminRole::moderator, kHash});
    setAdminAccount(document, {"bob", AdminRole::viewer, kHash});
    EXPECT_EQ(document, nlohmann::json::parse(R"({"bans": [], "note": "x", "admins": [
        {"name": "ann", "role": "moderator", "passwordHash": ")" +
                                              kHash + R"(", "since": 2020},
        "junk", {"name": "bob", "role": "viewer", "passwordHash": ")" +
                                              kHash + R"("}]})"));

    auto odd = nlohmann::json::parse(R"({"admins": {"ann": 1}})");
    setAdminAccount(odd, {"ann", AdminRole::viewer, kHash});
    EXPECT_EQ(AdminSettings::read(odd).accounts,
              (std::vector<AdminAccount>{{"ann", AdminRole::viewer, kHash}}));
}

} // namespace
} // namespace tnlrelay
