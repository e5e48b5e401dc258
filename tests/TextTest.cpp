// atoi without undefined behaviour, as the console port and the room capacity read it.
#include "Text.hpp"

#include <gtest/gtest.h>

using tnlrelay::atoiSaturating;

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
