// The client address of a game request: forwarding headers count only from trusted proxies,
// and only as far as a trusted proxy vouches for the next hop.
#include "relay/ClientAddress.hpp"

#include <gtest/gtest.h>

using tnlrelay::clientAddress;
using tnlrelay::net::AddressList;
using tnlrelay::net::HttpMessage;

namespace {

HttpMessage request(std::initializer_list<std::pair<std::string_view, std::string_view>> h) {
    HttpMessage m;
    m.headers.assign(h.begin(), h.end());
    return m;
}

AddressList trusted(std::initializer_list<const char*> ranges) {
    AddressList list;
    for (const char* r : ranges)
        EXPECT_TRUE(list.add(r)) << r;
    return list;
}

} // namespace

TEST(ClientAddress, UntrustedPeersAreTheirOwnAddress) {
    const auto list = trusted({"127.0.0.1"});
    EXPECT_EQ(clientAddress("203.0.113.9", request({{"X-Forwarded-For", "1.2.3.4"}}), list),
              "203.0.113.9");
    EXPECT_EQ(clientAddress("203.0.113.9", request({{"Forwarded", "for=1.2.3.4"}}), list),
              "203.0.113.9");
    EXPECT_EQ(clientAddress("127.0.0.1", request({{"X-Forwarded-For", "1.2.3.4"}}), {}),
              "127.0.0.1");
}

TEST(ClientAddress, XForwardedForTakesTheRightmostUntrustedHop) {
    const auto list = trusted({"127.0.0.1", "10.0.0.0/8"});
    // The client forged the first entry; the proxies appended the rest.
    EXPECT_EQ(clientAddress("127.0.0.1",
                            request({{"X-Forwarded-For", "6.6.6.6, 198.51.100.4, 10.1.1.1"}}),
                            list),
              "198.51.100.4");
    // Several header lines form one list.
    EXPECT_EQ(clientAddress("127.0.0.1",
                            request({{"X-Forwarded-For", "6.6.6.6"},
                                     {"x-forwarded-for", "198.51.100.4 , 10.1.1.1"}}),
                            list),
              "198.51.100.4");
    // Every hop trusted: the farthest is the client.
    EXPECT_EQ(
        clientAddress("127.0.0.1", request({{"X-Forwarded-For", "10.2.2.2, 10.1.1.1"}}), list),
        "10.2.2.2");
    // Addresses are shown in the relay's own text, with ports and brackets removed.
    EXPECT_EQ(
        clientAddress("127.0.0.1", request({{"X-Forwarded-For", "[2001:DB8::0:1]:443"}}), list),
        "2001:db8::1");
    EXPECT_EQ(clientAddress("127.0.0.1", request({{"X-Forwarded-For", "::ffff:192.0.2.1"}}), list),
              "192.0.2.1");
    EXPECT_EQ(clientAddress("127.0.0.1", request({{"X-Forwarded-For", "192.0.2.1:5555"}}), list),
              "192.0.2.1");
    // Garbage ends the walk at the nearest proxy that can be believed: it never becomes an
    // address that bans or logs would show.
    EXPECT_EQ(
        clientAddress("127.0.0.1", request({{"X-Forwarded-For", "evil\r\nJOIN, 10.1.1.1"}}), list),
        "10.1.1.1");
    EXPECT_EQ(clientAddress("127.0.0.1", request({{"X-Forwarded-For", "unknown"}}), list),
              "127.0.0.1");
    EXPECT_EQ(clientAddress("127.0.0.1", request({{"X-Forwarded-For", ""}}), list), "127.0.0.1");
}

TEST(ClientAddress, ForwardedCountsOnlyWithoutXForwardedFor) {
    const auto list = trusted({"127.0.0.0/8", "::1"});
    EXPECT_EQ(clientAddress("127.0.0.1",
                            request({{"Forwarded", "for=192.0.2.60;proto=https;by=203.0.113.43"}}),
                            list),
              "192.0.2.60");
    EXPECT_EQ(
        clientAddress("::1", request({{"Forwarded", "For=\"[2001:db8:cafe::17]:4711\""}}), list),
        "2001:db8:cafe::17");
    EXPECT_EQ(clientAddress("127.0.0.1",
                            request({{"Forwarded", "for=6.6.6.6, for=198.51.100.17;proto=http"}}),
                            list),
              "198.51.100.17");
    // Hidden or missing identifiers end the walk.
    EXPECT_EQ(
        clientAddress("127.0.0.1", request({{"Forwarded", "for=_hidden, for=127.0.0.2"}}), list),
        "127.0.0.2");
    EXPECT_EQ(clientAddress("127.0.0.1", request({{"Forwarded", "proto=https"}}), list),
              "127.0.0.1");
    // A proxy that sets X-Forwarded-For passes a client's own Forwarded header on untouched:
    // that one must not count.
    EXPECT_EQ(
        clientAddress("127.0.0.1",
                      request({{"Forwarded", "for=6.6.6.6"}, {"X-Forwarded-For", "198.51.100.4"}}),
                      list),
        "198.51.100.4");
}

TEST(ClientAddress, ANamedHeaderIsTheOnlyOneReadSoAPassedOnOneCannotChooseTheAddress) {
    using tnlrelay::ForwardedHeader;
    const auto list = trusted({"127.0.0.0/8"});
    // The proxy sets Forwarded and passes the client's own X-Forwarded-For on.
    const HttpMessage viaForwarded =
        request({{"X-Forwarded-For", "6.6.6.6"}, {"Forwarded", "for=198.51.100.4"}});
    EXPECT_EQ(clientAddress("127.0.0.1", viaForwarded, list, ForwardedHeader::forwarded),
              "198.51.100.4");
    EXPECT_EQ(clientAddress("127.0.0.1", viaForwarded, list), "6.6.6.6")
        << "without the setting, X-Forwarded-For comes first, as it always did";
    // The other way round, and a named header that is missing names nobody.
    const HttpMessage viaXff =
        request({{"Forwarded", "for=6.6.6.6"}, {"X-Forwarded-For", "198.51.100.4"}});
    EXPECT_EQ(clientAddress("127.0.0.1", viaXff, list, ForwardedHeader::xForwardedFor),
              "198.51.100.4");
    EXPECT_EQ(clientAddress("127.0.0.1", request({{"Forwarded", "for=6.6.6.6"}}), list,
                            ForwardedHeader::xForwardedFor),
              "127.0.0.1");
    EXPECT_EQ(tnlrelay::forwardedHeaderNamed("x-forwarded-for"), ForwardedHeader::xForwardedFor);
    EXPECT_EQ(tnlrelay::forwardedHeaderNamed("FORWARDED"), ForwardedHeader::forwarded);
    EXPECT_EQ(tnlrelay::forwardedHeaderNamed("X-Real-IP"), std::nullopt);
}
