// The room table's instance search against the plain scan it replaces (name, name#2, ...),
// over random joins and leaves with mixed capacities and names that look like instances.
#include "Rooms.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

using namespace tnlrelay;

namespace {

/// The reference: walk name, name#2, name#3... until one is absent or not full.
std::string scan(const RoomTable& t, const std::string& name, int max) {
    std::string candidate = name;
    for (int n = 1;;) {
        const MemberList* m = t.find(candidate);
        if (!m || static_cast<std::int32_t>(m->size()) < max) return candidate;
        candidate = name + "#" + std::to_string(++n);
    }
}

} // namespace

TEST(Rooms, SpillsIntoNumberedInstancesAndReusesLowerOnes) {
    RoomTable t;
    net::ConnId id = 1;
    for (int i = 0; i < 4; ++i)
        t.add(t.firstWithRoom("lobby", 2), Member{id++, nullptr});
    EXPECT_EQ(t.find("lobby")->size(), 2u);
    EXPECT_EQ(t.find("lobby#2")->size(), 2u);
    EXPECT_EQ(t.firstWithRoom("lobby", 2), "lobby#3");
    EXPECT_EQ(t.firstWithRoom("lobby", 3), "lobby") << "a larger capacity fits the first";
    t.remove("lobby", 1);
    EXPECT_EQ(t.firstWithRoom("lobby", 2), "lobby");
    t.remove("lobby", 2);
    EXPECT_EQ(t.find("lobby"), nullptr) << "a room vanishes with its last member";
    EXPECT_EQ(t.firstWithRoom("lobby", 1), "lobby");
    // Members stay in ascending id order whatever the order of joins.
    t.add("r", Member{9, nullptr});
    t.add("r", Member{3, nullptr});
    t.add("r", Member{5, nullptr});
    const MemberList& r = *t.find("r");
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].id, 3u);
    EXPECT_EQ(r[1].id, 5u);
    EXPECT_EQ(r[2].id, 9u);
}

TEST(Rooms, InstanceSearchMatchesTheScanUnderRandomChurn) {
    std::mt19937 rng(12345);
    RoomTable t;
    std::map<net::ConnId, std::string> where;
    net::ConnId next = 1;
    // Names that collide with each other's instances: "a#2" is both a name and a's instance 2.
    const std::vector<std::string> names = {"a", "a#2", "a#3", "b", "a#02", "a#2#2", "#5", ""};
    for (int step = 0; step < 20000; ++step) {
        const std::string& name = names[rng() % names.size()];
        const int max = 1 + int(rng() % 4);
        ASSERT_EQ(t.firstWithRoom(name, max), scan(t, name, max))
            << "step " << step << " name '" << name << "' max " << max;
        if (where.empty() || rng() % 100 < 55) {
            const std::string room = t.firstWithRoom(name, max);
            t.add(room, Member{next, nullptr});
            where[next++] = room;
        } else {
            auto it = where.begin();
            std::advance(it, rng() % where.size());
            t.remove(it->second, it->first);
            where.erase(it);
        }
    }
}

TEST(Rooms, ManyOneSeatInstancesStayCheapToSearch) {
    RoomTable t;
    // 20000 one-seat instances: each join would scan all earlier ones without the index.
    for (net::ConnId id = 1; id <= 20000; ++id) {
        const std::string room = t.firstWithRoom("solo", 1);
        ASSERT_EQ(room, id == 1 ? "solo" : "solo#" + std::to_string(id));
        t.add(room, Member{id, nullptr});
    }
    t.remove("solo#777", 777);
    EXPECT_EQ(t.firstWithRoom("solo", 1), "solo#777");
    EXPECT_EQ(t.firstWithRoom("solo", 2), "solo");
    // Someone asks for a far instance by its name: it does not make the search walk there.
    t.add("solo#1000000000", Member{30000, nullptr});
    EXPECT_EQ(t.firstWithRoom("solo", 1), "solo#777");
}

TEST(Rooms, HashIsSeededAndSpreadsSimilarNames) {
    SeededHash h;
    std::set<std::size_t> seen;
    for (int i = 0; i < 1000; ++i)
        seen.insert(h("room" + std::to_string(i)));
    EXPECT_EQ(seen.size(), 1000u);
    EXPECT_EQ(h("lobby"), h(std::string("lobby")));
    EXPECT_NE(SeededHash::seed(), 0u);
}
