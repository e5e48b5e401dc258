// atoi without undefined behaviour, as the console port and the room capacity read it, and
// remote values made safe for the log.
#include "text/Text.hpp"

#include <gtest/gtest.h>

#include <string>

using tnlrelay::atoiSaturating;
using tnlrelay::detail::logValue;

TEST(Text, AtoiReadsLikeAtoiAndSaturatesInsteadOfOverflowing) {
    EXPECT_EQ(atoiSaturating("50000"), 50000);
    EXPECT_EQ(atoiSaturating(" \t+42abc"), 42);
    EXPECT_EQ(atoiSaturating("-5"), -5);
    EXPECT_EQ(atoiSaturating("abc"), 0);
    EXPECT_EQ(atoiSaturating(""), 0);
    EXPECT_EQ(atoiSaturating("2147483647"), 2147483647);
    EXPECT_EQ(atoiSaturating("2147483648"), 2147483647);
    EXPECT_EQ(atoiSaturating("99999999999999999999999"), 2147483647);
    EXPECT_EQ(atoiSaturating("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(atoiSaturating("-99999999999999999999999"), -2147483647 - 1);
    EXPECT_TRUE(tnlrelay::equalsNoCase("Sec-WebSocket-Key", "sec-websocket-KEY"));
    EXPECT_FALSE(tnlrelay::equalsNoCase("Host", "Hosts"));
}

TEST(LogValue, ControlBytesCannotStartALine) {
    EXPECT_EQ(logValue("Ann"), "Ann");
    EXPECT_EQ(logValue("x\r\n2024-01-01 00:00:00 INFO BAN ip=1.2.3.4"),
              "x\\x0D\\x0A2024-01-01 00:00:00 INFO BAN ip=1.2.3.4");
    EXPECT_EQ(logValue(std::string("\0\x1f\x7f", 3)), "\\x00\\x1F\\x7F");
    // Everything else passes unchanged, invalid UTF-8 and backslashes included.
    EXPECT_EQ(logValue("\\x41 \xc3\xa9 \xff ~"), "\\x41 \xc3\xa9 \xff ~");
}
