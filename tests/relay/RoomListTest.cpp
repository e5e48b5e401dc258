// The room list: folding instances under their base name, filtering by game, byte order.
#include "relay/RoomList.hpp"
#include "text/JsonText.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace tnlrelay::detail;

namespace {

/// A room table stand-in: room key -> members (only their number matters here).
using Rooms = std::map<std::string, std::vector<int>>;

std::string listText(const Rooms& rooms, std::string_view game) {
    return jsonText(buildRoomList(rooms, game));
}

} // namespace

TEST(RoomList, FoldsInstancesAndFiltersByGamePrefixWithUnderscoreAndCase) {
    Rooms rooms{{"P_lobby", {1, 2, 3}}, {"P_lobby#2", {4}}, {"P_duel", {5, 6}}, {"Q_lobby", {7}}};
    EXPECT_EQ(listText(rooms, "P"), R"([{"count":2,"room":"duel"},{"count":4,"room":"lobby"}])");
    EXPECT_EQ(listText(rooms, ""), R"([{"count":2,"room":"P_duel"},{"count":4,"room":"P_lobby"},)"
                                   R"({"count":1,"room":"Q_lobby"}])");
    EXPECT_EQ(listText(rooms, "R"), "[]");
    EXPECT_EQ(listText({}, ""), "[]");

    // The prefix is the game, an underscore, and exact case.
    rooms = {{"Plobby", {1}}, {"P-lobby", {2}}, {"P_", {3}}, {"p_x", {4}}};
    // Only the key equal to the prefix itself belongs to P, listed under the empty name.
    EXPECT_EQ(listText(rooms, "P"), R"([{"count":1,"room":""}])");
    EXPECT_EQ(listText(rooms, "p"), R"([{"count":1,"room":"x"}])");
}

TEST(RoomList, OnlyATrailingHashWithDigitsIsAnInstanceSuffix) {
    EXPECT_EQ(roomBase("lobby#2"), "lobby");
    EXPECT_EQ(roomBase("lobby#02"), "lobby");
    EXPECT_EQ(roomBase("lobby#"), "lobby#") << "nothing after the hash";
    EXPECT_EQ(roomBase("lobby#2a"), "lobby#2a") << "no earlier hash is tried";
    EXPECT_EQ(roomBase("a#1#2"), "a#1");
    EXPECT_EQ(roomBase("#5"), "");
    EXPECT_EQ(roomBase("lobby"), "lobby");

    Rooms rooms{{"a#1#2", {1}}, {"a#1#3", {2}}, {"a#1", {3}}, {"#5", {4}}, {"x#y", {}}};
    EXPECT_EQ(listText(rooms, ""), R"([{"count":1,"room":""},{"count":1,"room":"a"},)"
                                   R"({"count":2,"room":"a#1"},{"count":0,"room":"x#y"}])");
}

TEST(RoomList, SortsByteWise) {
    Rooms rooms{{"alpha", {1}}, {"Zeta", {2}}, {"\xc3\xa9t\xc3\xa9", {3}}};
    EXPECT_EQ(listText(rooms, ""), "[{\"count\":1,\"room\":\"Zeta\"},{\"count\":1,\"room\":"
                                   "\"alpha\"},{\"count\":1,\"room\":\"\xc3\xa9t\xc3\xa9\"}]");
}
