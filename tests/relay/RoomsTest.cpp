// The room table's instance search against the plain scan it replaces (name, name#2, ...),
// over random joins and leaves with mixed capacities and names that look like instances; the
// work a search costs; the seeded hash of room names.
#include "relay/Rooms.hpp"
#include "relay/RoomList.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

/// With this variable set, the test program prints the hash of "lobby" and ends before any
/// test runs, so that a test can compare hashes across processes.
constexpr const char* kPrintHash = "TNLRELAY_TEST_PRINT_ROOM_HASH";
const bool printHashAndExit = [] {
    if (std::getenv(kPrintHash) == nullptr) return false;
    std::printf("%zu", SeededHash{}("lobby"));
    std::fflush(stdout);
    std::_Exit(0);
}();

} // namespace

TEST(Rooms, SpillsIntoNumberedInstancesAndReusesLowerOnes) {
    RoomTable t;
    MemberId id = 1;
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
    std::map<MemberId, std::string> where;
    MemberId next = 1;
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
        // The folded counts kept along the way are those the room list computes from scratch.
        if (step % 500 == 0) {
            nlohmann::json kept = nlohmann::json::array();
            for (const auto& [name, count] : t.counts().byName())
                kept.push_back({{"count", count}, {"room", name}});
            ASSERT_EQ(kept, detail::buildRoomList(t.map(), "")) << "step " << step;
        }
    }
}

TEST(Rooms, ManyOneSeatInstancesStayCheapToSearch) {
    RoomTable t;
    // 20000 one-seat instances: a walk over name, name#2, ... would cost 200 million steps.
    // The index costs a few dozen per join (lookups plus a path through a tree of 32768
    // leaves, its growth spread over the joins).
    constexpr MemberId kJoins = 20000;
    constexpr std::uint64_t kWorkPerJoin = 64;
    for (MemberId id = 1; id <= kJoins; ++id) {
        const std::string room = t.firstWithRoom("solo", 1);
        ASSERT_EQ(room, id == 1 ? "solo" : "solo#" + std::to_string(id));
        t.add(room, Member{id, nullptr});
    }
    EXPECT_LE(t.work(), kJoins * kWorkPerJoin);

    auto before = t.work();
    t.remove("solo#777", 777);
    EXPECT_EQ(t.firstWithRoom("solo", 1), "solo#777");
    EXPECT_EQ(t.firstWithRoom("solo", 2), "solo");
    // Someone asks for a far instance by its name: the index neither walks nor grows to it.
    t.add("solo#1000000000", Member{30000, nullptr});
    EXPECT_EQ(t.firstWithRoom("solo", 1), "solo#777");
    EXPECT_LE(t.work() - before, 5 * kWorkPerJoin);
}

TEST(Rooms, HashIsSeededPerProcessAndSpreadsSimilarNames) {
    SeededHash h;
    std::set<std::size_t> seen;
    for (int i = 0; i < 1000; ++i)
        seen.insert(h("room" + std::to_string(i)));
    EXPECT_EQ(seen.size(), 1000u);
    EXPECT_EQ(h("lobby"), h(std::string("lobby")));

    // Other runs of this program hash the same name differently: a client cannot work out
    // colliding names from one run and use them against the next.
    std::set<std::string> hashes{std::to_string(h("lobby"))};
    for (int run = 0; run < 3; ++run) {
        const std::string command = "env " + std::string(kPrintHash) + "=1 '" +
                                    std::filesystem::read_symlink("/proc/self/exe").string() + "'";
        FILE* child = ::popen(command.c_str(), "r");
        ASSERT_NE(child, nullptr);
        char line[64] = {};
        const bool read = std::fgets(line, sizeof line, child) != nullptr;
        ASSERT_EQ(::pclose(child), 0);
        ASSERT_TRUE(read);
        hashes.insert(line);
    }
    EXPECT_EQ(hashes.size(), 4u) << "the seed is the same in every run";
}
