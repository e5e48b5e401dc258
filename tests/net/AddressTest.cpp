// Address text as the relay shows and bans it, and range matching for trusted proxies.
#include "net/Address.hpp"

#include <gtest/gtest.h>

using namespace tnlrelay::net;

namespace {
std::string roundTrip(std::string_view text) {
    const auto a = parseIp(text);
    return a ? formatIp(*a) : "<invalid>";
}
} // namespace

TEST(Address, ShowsOneCanonicalTextPerAddress) {
    EXPECT_EQ(roundTrip("192.168.0.1"), "192.168.0.1");
    EXPECT_EQ(roundTrip("0.0.0.0"), "0.0.0.0");
    EXPECT_EQ(roundTrip("::1"), "::1");
    EXPECT_EQ(roundTrip("::"), "::");
    EXPECT_EQ(roundTrip("2001:DB8:0:0:0:0:0:1"), "2001:db8::1");
    EXPECT_EQ(roundTrip("2001:0db8:0000:0001:0000:0000:0000:0001"), "2001:db8:0:1::1");
    // The first of two equally long zero runs is compressed; a single zero group is not.
    EXPECT_EQ(roundTrip("2001:db8:0:0:1:0:0:1"), "2001:db8::1:0:0:1");
    EXPECT_EQ(roundTrip("2001:db8:0:1:1:1:1:1"), "2001:db8:0:1:1:1:1:1");
    EXPECT_EQ(roundTrip("1::"), "1::");
    EXPECT_EQ(roundTrip("fe80::1:2"), "fe80::1:2");
    // IPv4-mapped addresses are the IPv4 client: existing bans keep matching.
    EXPECT_EQ(roundTrip("::ffff:10.1.2.3"), "10.1.2.3");
    EXPECT_EQ(roundTrip("::FFFF:a01:203"), "10.1.2.3");
    EXPECT_EQ(roundTrip("64:ff9b::1.2.3.4"), "64:ff9b::102:304");
}

TEST(Address, RefusesMalformedText) {
    for (const char* bad : {"",
                            "1.2.3",
                            "1.2.3.4.5",
                            "256.1.1.1",
                            "01.2.3.4",
                            "1.2.3.4 ",
                            " 1.2.3.4",
                            "1..2.3",
                            "1.2.3.-4",
                            ":",
                            ":::",
                            "1:::2",
                            "1::2::3",
                            ":1::2",
                            "1::2:",
                            "1:2:3:4:5:6:7:8:9",
                            "1:2:3:4:5:6:7",
                            "1::2:3:4:5:6:7:8",
                            "12345::1",
                            "g::1",
                            "fe80::1%eth0",
                            "[::1]",
                            "::1.2.3",
                            "1.2.3.4::",
                            "::ffff:1.2.3.4:5"})
        EXPECT_FALSE(parseIp(bad).has_value()) << bad;
    EXPECT_TRUE(parseIp("1:2:3:4:5:6:7:8").has_value());
    EXPECT_TRUE(parseIp("1:2:3:4:5:6:1.2.3.4").has_value());
}

TEST(Address, RangesMatchOnlyTheirPrefix) {
    AddressList list;
    EXPECT_TRUE(list.add("10.0.0.0/8"));
    EXPECT_TRUE(list.add("192.168.1.7"));
    EXPECT_TRUE(list.add("2001:db8:abcd::/48"));
    EXPECT_TRUE(list.add("172.16.0.0/12"));
    EXPECT_TRUE(list.contains("10.255.1.2"));
    EXPECT_FALSE(list.contains("11.0.0.1"));
    EXPECT_TRUE(list.contains("192.168.1.7"));
    EXPECT_FALSE(list.contains("192.168.1.8"));
    EXPECT_TRUE(list.contains("172.31.255.255"));
    EXPECT_FALSE(list.contains("172.32.0.0"));
    EXPECT_TRUE(list.contains("2001:db8:abcd:ffff::1"));
    EXPECT_FALSE(list.contains("2001:db8:abce::1"));
    // The families never match each other, and a mapped client is matched as IPv4.
    EXPECT_TRUE(list.contains("::ffff:10.0.0.1"));
    EXPECT_FALSE(list.contains("::a00:1"));
    EXPECT_FALSE(list.contains("not an address"));

    AddressList mapped;
    EXPECT_TRUE(mapped.add("::ffff:127.0.0.0/104"));
    EXPECT_TRUE(mapped.contains("127.9.9.9"));
    EXPECT_FALSE(mapped.contains("128.0.0.1"));

    AddressList all;
    EXPECT_TRUE(all.add("0.0.0.0/0"));
    EXPECT_TRUE(all.contains("8.8.8.8"));
    EXPECT_FALSE(all.contains("::1"));

    AddressList none;
    for (const char* bad : {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/a", "10.0.0.0/08x",
                            "::ffff:1.2.3.4/95", "host.example", "10.0.0.0/8/8"})
        EXPECT_FALSE(none.add(bad)) << bad;
    EXPECT_TRUE(none.empty());
}
