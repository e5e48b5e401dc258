// JSON text the way every document is written.
#include "text/JsonText.hpp"

#include <gtest/gtest.h>

#include <string>

using tnlrelay::detail::jsonText;

TEST(JsonText, CompactSortedRawUtf8AndInvalidBytesReplaced) {
    nlohmann::json v = {{"z", 1}, {"a", {true, nullptr}}, {"m", "caf\xc3\xa9"}};
    EXPECT_EQ(jsonText(v), "{\"a\":[true,null],\"m\":\"caf\xc3\xa9\",\"z\":1}");

    // A lone continuation byte, a truncated sequence and an overlong encoding: each becomes
    // U+FFFD instead of ending the request with an exception.
    nlohmann::json bad = {{"name", std::string("a\x80"
                                               "b\xe2\x82"
                                               "c\xc0\xaf")}};
    std::string text = jsonText(bad);
    EXPECT_EQ(text.find('\x80'), std::string::npos) << text;
    EXPECT_NE(text.find("a\xef\xbf\xbd"
                        "b"),
              std::string::npos)
        << text;
    EXPECT_FALSE(nlohmann::json::parse(text, nullptr, false).is_discarded()) << text;

    EXPECT_EQ(jsonText(nlohmann::json::array()), "[]");
    EXPECT_EQ(jsonText({{"s", std::string("q\"\\\n\x01", 5)}}), R"({"s":"q\"\\\n\u0001"})");
}
