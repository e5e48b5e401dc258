// What nodes of a cluster exchange: channel payloads (including hostile ones), instance names
// and seat fields, the Redis command encoding, and what a node claims when it registers again.
#include "cluster/ClusterWire.hpp"

#include <gtest/gtest.h>

namespace tnlrelay::cluster {
namespace {

using namespace std::string_literals;

TEST(ClusterWire, PayloadsRoundTripWithAnyBytes) {
    // What a decoded message carries views the payload, which stays with the caller.
    const std::string bytes = "a\0b\xff\r\n"s;
    const std::string wire = encodeMessage("node-1:49200", 2, bytes);
    auto m = decode(wire);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->kind, WireMessage::Kind::message);
    EXPECT_EQ(m->node, "node-1:49200");
    EXPECT_EQ(m->opcode, 2);
    EXPECT_EQ(m->bytes, bytes);
    const std::string emptyWire = encodeMessage("n", 1, "");
    auto empty = decode(emptyWire);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->bytes, "");

    for (bool present : {true, false}) {
        auto p = decode(encodePresence("n", present));
        ASSERT_TRUE(p);
        EXPECT_EQ(p->kind, WireMessage::Kind::presence);
        EXPECT_EQ(p->present, present);
    }
    const std::string banWire = encodeBan("n", "203.0.113.9", 1765184400123, "Eve\n\xe2\x80\x94");
    auto ban = decode(banWire);
    ASSERT_TRUE(ban);
    EXPECT_EQ(ban->kind, WireMessage::Kind::ban);
    EXPECT_EQ(ban->ip, "203.0.113.9");
    EXPECT_EQ(ban->time, 1765184400123);
    EXPECT_EQ(ban->bytes, "Eve\n\xe2\x80\x94");
    auto unban = decode(encodeUnban("n", "::1", 0));
    ASSERT_TRUE(unban);
    EXPECT_EQ(unban->kind, WireMessage::Kind::unban);
    EXPECT_EQ(unban->ip, "::1");
    EXPECT_EQ(unban->time, 0);

    // What nodes ask and answer each other: presence answers, kicks and the cluster view.
    auto heard = decode(encodePresenceAnswer("n", "other node"));
    ASSERT_TRUE(heard);
    EXPECT_EQ(heard->kind, WireMessage::Kind::presence);
    EXPECT_TRUE(heard->present);
    EXPECT_EQ(heard->to, "other node");
    EXPECT_EQ(decode(encodePresence("n", true))->to, "") << "an announcement answers no one";
    auto kick = decode(encodeKick("n", 4294967295u, 12));
    ASSERT_TRUE(kick);
    EXPECT_EQ(kick->kind, WireMessage::Kind::kick);
    EXPECT_EQ(kick->connId, 4294967295u);
    EXPECT_EQ(kick->seq, 12u);
    for (bool found : {true, false}) {
        auto answer = decode(encodeKickAnswer("n", "asker", 12, found));
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->kind, WireMessage::Kind::kickAnswer);
        EXPECT_EQ(answer->to, "asker");
        EXPECT_EQ(answer->seq, 12u);
        EXPECT_EQ(answer->found, found);
    }
    auto view = decode(encodeViewRequest("n", "held", 3, 100, 50));
    ASSERT_TRUE(view);
    EXPECT_EQ(view->kind, WireMessage::Kind::view);
    EXPECT_EQ(view->to, "held");
    EXPECT_EQ(view->seq, 3u);
    EXPECT_EQ(view->offset, 100u);
    EXPECT_EQ(view->limit, 50u);
    const std::string viewWire = encodeViewAnswer("n", "asker", 3, R"({"players":[],"total":0})");
    auto page = decode(viewWire);
    ASSERT_TRUE(page);
    EXPECT_EQ(page->kind, WireMessage::Kind::viewAnswer);
    EXPECT_EQ(page->to, "asker");
    EXPECT_EQ(page->bytes, R"({"players":[],"total":0})");
}

TEST(ClusterWire, MalformedPayloadsAreRefused) {
    const std::string bad[] = {
        ""s,
        "M"s,
        "M\0"s,                 // empty node
        "M\x05node"s,           // node longer than what follows
        "M\x01n"s,              // no opcode
        "M\x01n\x00x"s,         // opcode 0
        "M\x01n\x09x"s,         // a control opcode
        "P\x01n"s,              // no flag
        "P\x01n\x02"s,          // an answer that names no node
        "P\x01n\x03"s,          // a flag other than 0, 1 or 2
        "K\x01n0\n1"s,          // connection id 0
        "K\x01n4294967296\n1"s, // past 32 bits
        "A\x01n\x01"
        "a1\n2"s,                                // a found flag other than 0 or 1
        "P\x01n\x01x"s,                          // trailing bytes
        "B\x01n"s,                               // no address
        "B\x01n\0"s,                             // empty address
        "U\x01n\x01x5\n!"s,                      // trailing bytes after the time
        "U\x01n\x01x5"s,                         // a time without its end
        "U\x01n\x01x\n"s,                        // no time
        "U\x01n\x01x-5\n"s,                      // a negative time
        "U\x01n\x01x05\n"s,                      // a leading zero
        "B\x01n\x01x99999999999999999999\nEve"s, // past 63 bits
        "X\x01n\x01"s,                           // unknown kind
    };
    for (const std::string& payload : bad)
        EXPECT_FALSE(decode(payload)) << "accepted a payload of " << payload.size() << " bytes";
    // Every cut of a valid presence, unban, kick or its answer is refused (a message may be cut
    // in its bytes).
    for (const std::string& whole :
         {encodePresence("node", true), encodePresenceAnswer("node", "to"),
          encodeUnban("node", "10.0.0.1", 17), encodeKick("node", 7, 1),
          encodeKickAnswer("node", "to", 1, true)})
        for (std::size_t len = 0; len < whole.size(); ++len)
            EXPECT_FALSE(decode(whole.substr(0, len))) << whole.substr(0, len).size();
}

TEST(ClusterWire, BanEntriesSettleOnTheLatestWithTiesBrokenTheSameWayEverywhere) {
    const BanEntry ban{true, 1000, "b", "Eve"};
    const BanEntry later{false, 1001, "a", ""};
    const BanEntry older{false, 999, "z", ""};
    EXPECT_TRUE(supersedes(ban, nullptr));
    EXPECT_TRUE(supersedes(later, &ban));
    EXPECT_FALSE(supersedes(ban, &later));
    EXPECT_FALSE(supersedes(older, &ban)) << "an older unban must not lift a newer ban";
    EXPECT_FALSE(supersedes(ban, &ban)) << "an entry does not replace itself";
    // A ban held before the node joined (time 0) gives way to anything made in the cluster.
    const BanEntry held{true, 0, "c", "Old"};
    EXPECT_TRUE(supersedes(BanEntry{false, 1, "a", ""}, &held));

    // At the same time: a ban over an unban, then the greater node, then the greater name,
    // bytewise (a byte above 0x7f is greater); exactly one of each pair wins.
    const BanEntry tied[] = {{false, 5, "n", ""}, {true, 5, "a", "x"},    {true, 5, "b", "a"},
                             {true, 5, "b", "b"}, {true, 5, "b", "\xe9"}, {true, 5, "\xc3", ""}};
    for (std::size_t i = 0; i < std::size(tied); ++i) {
        for (std::size_t j = 0; j < std::size(tied); ++j) {
            if (i == j) continue;
            EXPECT_EQ(supersedes(tied[j], &tied[i]), j > i) << i << " against " << j;
        }
    }
}

TEST(ClusterWire, BanEntriesAreStoredAsText) {
    const BanEntry ban{true, 1765184400123, "eu-1:49200", "Eve\nthe \xe2\x80\x94 second"};
    EXPECT_EQ(encodeBanEntry(ban), "1765184400123\nB\neu-1:49200\nEve\nthe \xe2\x80\x94 second");
    EXPECT_EQ(decodeBanEntry(encodeBanEntry(ban)), ban);
    const BanEntry unban{false, 0, "n", ""};
    EXPECT_EQ(decodeBanEntry(encodeBanEntry(unban)), unban);
    for (const char* bad : {"", "5", "5\n", "5\nB", "5\nX\nn\n", "5\nB\n\nname", "x\nB\nn\n",
                            "-5\nB\nn\n", "5\nBn\n", "5\nB\nn"})
        EXPECT_FALSE(decodeBanEntry(bad)) << bad;
}

TEST(ClusterWire, InstanceNamesSplitAndComeBackExactly) {
    EXPECT_EQ(splitInstance("lobby"), (InstanceRef{"lobby", 1}));
    EXPECT_EQ(splitInstance("lobby#2"), (InstanceRef{"lobby", 2}));
    EXPECT_EQ(splitInstance("a#2#17"), (InstanceRef{"a#2", 17}));
    // Not a spill number: the whole text is the base.
    for (const char* own : {"x#1", "x#02", "x#", "#5", "x#-3", "x#2a", "x#99999999999999999999"})
        EXPECT_EQ(splitInstance(own), (InstanceRef{own, 1})) << own;
    for (const char* name :
         {"lobby", "lobby#2", "a#2#17", "x#1", "x#02", "#5", "x#", "g_room#12", "\xff#3"})
        EXPECT_EQ(instanceName(splitInstance(name).base, splitInstance(name).n), name) << name;
}

TEST(ClusterWire, SeatFieldsAndNames) {
    EXPECT_EQ(seatField("host:49200", 3), "host:49200\n3");
    auto f = parseSeatField("host#2:49200\n12");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->first, "host#2:49200");
    EXPECT_EQ(f->second, 12u);
    for (const char* bad : {"node", "\n3", "node\n", "node\n03", "node\nx", "node\n0"})
        EXPECT_FALSE(parseSeatField(bad)) << bad;

    EXPECT_TRUE(validNodeName("eu-1:49200"));
    EXPECT_FALSE(validNodeName(""));
    EXPECT_FALSE(validNodeName("a\nb"));
    EXPECT_FALSE(validNodeName(std::string(256, 'n')));

    EXPECT_EQ(keysFor("").seats("lobby"), "tnlrelay:seats:lobby");
    EXPECT_EQ(keysFor("").roomChannel("lobby#2"), "tnlrelay:room:lobby#2");
    EXPECT_EQ(keysFor("eu").roomChannel("lobby#2"), "tnlrelay:eu:room:lobby#2");
}

TEST(ClusterWire, CommandsAreArraysOfBulkStrings) {
    std::string out;
    appendCommand(out, {"SPUBLISH", "ch", "a\0\r\n"s});
    appendCommand(out, {"PING"});
    EXPECT_EQ(out, "*3\r\n$8\r\nSPUBLISH\r\n$2\r\nch\r\n$4\r\na\0\r\n\r\n*1\r\n$4\r\nPING\r\n"s);
}

TEST(ClusterWire, RegistryViewCountsSeatsPerInstanceAndHolders) {
    const std::vector<std::string> flat = {
        "lobby", "a", "1", "2",  //
        "lobby", "b", "1", "1",  //
        "lobby", "b", "2", "1",  //
        "lobby", "a", "2", "2",  //
        "lobby", "c", "2", "0",  // no seats: not a holder
        "lobby", "c", "x", "4",  // malformed number
        "lobby", "c", "3", "-2", // negative
        "lobby", "c", "3", "9z", // not a count
        "a#02",  "a", "1", "5",  // a base of its own, not instance 2 of "a"
        "cut",   "a", "1",       // incomplete quadruple
    };
    const SeatMap seats = seatsFromView(flat);
    const auto totals = instanceTotals(seats);
    const std::map<std::string, std::int64_t> expected = {
        {"a#02", 5}, {"lobby", 3}, {"lobby#2", 3}};
    EXPECT_EQ(totals, expected);
    EXPECT_EQ(holdersOf(seats, "lobby", "a"), (std::vector<std::string>{"b"}));
    EXPECT_EQ(holdersOf(seats, "lobby#2", "b"), (std::vector<std::string>{"a"}));
    EXPECT_TRUE(holdersOf(seats, "lobby#3", "a").empty());
}

TEST(ClusterWire, ANodeClaimsWhatItHoldsGroupedByBase) {
    const auto claim = seatsToClaim({{"lobby", 2}, {"lobby#3", 1}, {"x#02", 4}, {"gone", 0}});
    const std::map<std::string, std::map<std::uint64_t, std::int64_t>> expected = {
        {"lobby", {{1, 2}, {3, 1}}}, {"x#02", {{1, 4}}}};
    EXPECT_EQ(claim, expected);
}

} // namespace
} // namespace tnlrelay::cluster
