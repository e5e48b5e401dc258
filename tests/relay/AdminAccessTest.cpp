// The admin endpoint's Host and Origin check.
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
