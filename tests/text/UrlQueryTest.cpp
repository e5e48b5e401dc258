// Query variables as a form reader reads them, and the limit on a decoded value.
#include "text/UrlQuery.hpp"

#include <gtest/gtest.h>

#include <string>

using tnlrelay::detail::queryVar;

TEST(QueryVar, DecodesAndMatchesLikeAFormReader) {
    EXPECT_EQ(queryVar("room=P_lobby&name=Ann", "name"), "Ann");
    EXPECT_EQ(queryVar("NAME=Ann", "name"), "Ann") << "names match without regard to case";
    EXPECT_EQ(queryVar("name=a+b%20c%2Bd%e2%82%AC", "name"), "a b c+d\xe2\x82\xac");
    EXPECT_EQ(queryVar("name=first&name=second", "name"), "first");
    EXPECT_EQ(queryVar("name=&name=second", "name"), "") << "an empty first occurrence wins";
    EXPECT_EQ(queryVar("xname=1&name=2", "name"), "2") << "only whole names match";
    EXPECT_EQ(queryVar("a=1&&name=2", "name"), "2");
    EXPECT_EQ(queryVar("name", "name"), "");
    EXPECT_EQ(queryVar("", "name"), "");
    EXPECT_EQ(queryVar("name=%00x", "name"), std::string("\0x", 2));
}

TEST(QueryVar, UndecodableOrLongValuesReadAsEmpty) {
    EXPECT_EQ(queryVar("name=%zz", "name"), "");
    EXPECT_EQ(queryVar("name=ab%4", "name"), "");
    EXPECT_EQ(queryVar("name=ab%", "name"), "");
    EXPECT_EQ(queryVar("name=%41", "name"), "A");

    std::string fits(255, 'x');
    std::string tooLong(256, 'x');
    EXPECT_EQ(queryVar("since=" + fits, "since"), fits);
    EXPECT_EQ(queryVar("since=" + tooLong, "since"), "");
    // The limit applies to the decoded length: 255 escapes decode to 255 bytes.
    std::string escaped;
    for (int i = 0; i < 255; ++i)
        escaped += "%41";
    EXPECT_EQ(queryVar("v=" + escaped, "v"), std::string(255, 'A'));
    EXPECT_EQ(queryVar("v=" + escaped + "%41", "v"), "");
}
