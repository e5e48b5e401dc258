// The admin endpoint's Host and Origin check, and which peers count as this machine.
#include "relay/AdminAccess.hpp"

#include <gtest/gtest.h>

#include <string_view>

using namespace tnlrelay::detail;

TEST(AdminAccess, OnlyLoopbackHostsAndTheirOwnOrigin) {
    for (const char* host : {"localhost", "LocalHost:49201", "127.0.0.1", "127.0.0.1:80",
                             "127.255.3.4:65535", "[::1]", "[::1]:49201"}) {
        EXPECT_TRUE(isLoopbackHost(host)) << host;
    }
    for (const char* host : {"", "evil.example", "localhost.evil.example", "128.0.0.1",
                             "127.0.0.256", "127.0.0", "127.0.0.1.5", "127.0.0.1:x", "[::2]",
                             "[::1]x", "0.0.0.0", "10.0.0.5:49201", "127.0.0.1:"}) {
        EXPECT_FALSE(isLoopbackHost(host)) << host;
    }

    std::string_view host = "127.0.0.1:49201";
    std::string_view same = "http://127.0.0.1:49201";
    std::string_view other = "http://evil.example";
    std::string_view otherPort = "http://127.0.0.1:8080";
    std::string_view farHost = "evil.example:49201";
    EXPECT_TRUE(adminRequestAllowed(nullptr, nullptr)) << "tools that send neither header";
    EXPECT_TRUE(adminRequestAllowed(&host, nullptr));
    EXPECT_TRUE(adminRequestAllowed(&host, &same));
    EXPECT_FALSE(adminRequestAllowed(&host, &other));
    EXPECT_FALSE(adminRequestAllowed(&host, &otherPort));
    EXPECT_FALSE(adminRequestAllowed(nullptr, &same));
    EXPECT_FALSE(adminRequestAllowed(&farHost, nullptr)) << "DNS rebinding";
    // An Origin is the page's whole address: one that merely begins or ends like ours is another.
    for (std::string_view near :
         {"http://127.0.0.1:49201.evil.example", "http://127.0.0.1:492011",
          "http://127.0.0.1:49201/", "https://127.0.0.1:49201", "xhttp://127.0.0.1:49201",
          "http://127.0.0.1:4920", "http://127.0.0.1", "null", ""}) {
        EXPECT_FALSE(adminRequestAllowed(&host, &near)) << near;
    }
    std::string_view upper = "HTTP://127.0.0.1:49201";
    EXPECT_TRUE(adminRequestAllowed(&host, &upper)) << "scheme and host compare without case";
}

TEST(AdminAccess, SessionsCompareTheOriginWithTheConnectionsSchemeAndAnyHost) {
    std::string_view host = "relay.example.org:49201";
    std::string_view https = "https://relay.example.org:49201";
    std::string_view http = "http://relay.example.org:49201";
    EXPECT_TRUE(sameOrigin(&host, &https, true));
    EXPECT_FALSE(sameOrigin(&host, &http, true)) << "a plain page may not drive a TLS session";
    EXPECT_FALSE(sameOrigin(&host, &https, false));
    EXPECT_TRUE(sameOrigin(&host, nullptr, true)) << "tools without an Origin";
    EXPECT_FALSE(sameOrigin(nullptr, &https, true));
    std::string_view loopback = "127.0.0.1:49201", loopbackTls = "https://127.0.0.1:49201";
    EXPECT_TRUE(adminRequestAllowed(&loopback, &loopbackTls, true));
    EXPECT_FALSE(adminRequestAllowed(&host, &https, true)) << "this machine names itself";
}

// The seam that decides which peers are remote (and so must use TLS and log in): loopback
// addresses are local, and the narrowing that tests use can only take that away.
TEST(AdminAccess, LocalPeersAreLoopbackAddressesAndNarrowingOnlyMakesMoreRemote) {
    const tnlrelay::LocalPeers all;
    for (const char* local : {"127.0.0.1", "127.200.3.4", "::1"})
        EXPECT_TRUE(all.isLocal(local)) << local;
    for (const char* remote : {"10.0.0.1", "128.0.0.1", "::2", "0.0.0.0", "::", "192.168.1.1",
                               "::ffff:10.0.0.1", "2001:db8::1", "localhost", "", "127.0.0.1:80"})
        EXPECT_FALSE(all.isLocal(remote)) << remote;

    const tnlrelay::LocalPeers narrowed(" 127.0.0.1/32 , ::1 ");
    EXPECT_TRUE(narrowed.isLocal("127.0.0.1"));
    EXPECT_TRUE(narrowed.isLocal("::1"));
    EXPECT_FALSE(narrowed.isLocal("127.0.0.2")) << "another loopback address is remote now";

    const tnlrelay::LocalPeers widened("0.0.0.0/0, ::/0");
    EXPECT_TRUE(widened.isLocal("127.0.0.3"));
    for (const char* remote : {"10.0.0.1", "2001:db8::1", "0.0.0.0"})
        EXPECT_FALSE(widened.isLocal(remote)) << remote << ": no list makes a remote peer local";
    EXPECT_FALSE(tnlrelay::LocalPeers("nonsense").isLocal("127.0.0.1"))
        << "a list of nothing usable leaves no peer local";
}
