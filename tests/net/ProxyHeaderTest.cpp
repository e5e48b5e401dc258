// The PROXY header parser: both versions, partial input, and the malformed headers a hostile
// or broken peer may send.
#include "net/ProxyHeader.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace tnlrelay::net;
using Status = ProxyHeader::Status;

namespace {

const std::string kSig("\r\n\r\n\0\r\nQUIT\n", 12);

std::string v2(std::uint8_t verCmd, std::uint8_t family, std::string body, int lengthDelta = 0) {
    std::string h = kSig;
    h += char(verCmd);
    h += char(family);
    const std::size_t len = body.size() + lengthDelta;
    h += char(len >> 8);
    h += char(len & 0xFF);
    return h + body;
}

std::string v4Block() {
    return std::string("\xC0\x00\x02\x01"
                       "\x7F\x00\x00\x01"
                       "\x30\x39"
                       "\x00\x50",
                       12);
}

} // namespace

TEST(ProxyHeader, ReadsVersionOneAndLeavesWhatFollows) {
    const std::string line = "PROXY TCP4 198.51.100.22 203.0.113.7 35646 80\r\n";
    auto h = parseProxyHeader(line + "GET / HTTP/1.1\r\n");
    ASSERT_EQ(h.status, Status::done);
    EXPECT_EQ(h.length, line.size());
    ASSERT_TRUE(h.source);
    EXPECT_EQ(formatIp(*h.source), "198.51.100.22");

    h = parseProxyHeader("PROXY TCP6 2001:db8::1 ::1 1 65535\r\n");
    ASSERT_EQ(h.status, Status::done);
    EXPECT_EQ(formatIp(*h.source), "2001:db8::1");

    h = parseProxyHeader("PROXY UNKNOWN\r\n");
    EXPECT_EQ(h.status, Status::done);
    EXPECT_FALSE(h.source);

    // Every prefix of a valid header asks for more.
    for (std::size_t n = 1; n < line.size(); ++n)
        EXPECT_EQ(parseProxyHeader(line.substr(0, n)).status, Status::needMore) << n;
}

TEST(ProxyHeader, RefusesMalformedVersionOne) {
    for (const char* bad : {
             "PROXY TCP4 1.2.3.4 5.6.7.8 1\r\n",     // a field missing
             "PROXY TCP4 1.2.3.4 5.6.7.8 1 2 3\r\n", // one too many
             "PROXY TCP4 ::1 ::1 1 2\r\n",           // family and address disagree
             "PROXY TCP6 1.2.3.4 5.6.7.8 1 2\r\n",
             "PROXY TCP4 1.2.3.4 5.6.7.8 65536 2\r\n", // port out of range
             "PROXY TCP4 1.2.3.4 5.6.7.8 01 2\r\n",
             "PROXY UDP4 1.2.3.4 5.6.7.8 1 2\r\n",
             "PROXY TCP4 1.2.3.400 5.6.7.8 1 2\r\n",
             "PROXY \r\n",
             "PROXY TCP4 1.2.3.4\x01 5.6.7.8 1 2", // binary inside the line
             "GET / HTTP/1.1\r\n",
         })
        EXPECT_EQ(parseProxyHeader(bad).status, Status::invalid) << bad;
    // No line end within the longest legal header.
    EXPECT_EQ(parseProxyHeader("PROXY TCP4 " + std::string(100, '1')).status, Status::invalid);
}

TEST(ProxyHeader, ReadsVersionTwoWithExtensions) {
    auto h = parseProxyHeader(v2(0x21, 0x11, v4Block()) + "\x16\x03\x01");
    ASSERT_EQ(h.status, Status::done);
    EXPECT_EQ(h.length, 28u);
    EXPECT_EQ(formatIp(*h.source), "192.0.2.1");

    // Extensions (TLVs) after the addresses are skipped with the header.
    const std::string withTlv = v2(0x21, 0x11, v4Block() + std::string("\x04\x00\x01\x00", 4));
    h = parseProxyHeader(withTlv);
    ASSERT_EQ(h.status, Status::done);
    EXPECT_EQ(h.length, withTlv.size());

    std::string v6Block(36, '\0');
    v6Block[0] = '\x20', v6Block[1] = '\x01', v6Block[2] = '\x0d', v6Block[3] = '\xb8';
    v6Block[15] = '\x05';
    h = parseProxyHeader(v2(0x21, 0x21, v6Block));
    ASSERT_EQ(h.status, Status::done);
    EXPECT_EQ(formatIp(*h.source), "2001:db8::5");

    // LOCAL (the proxy's own health check) carries no client.
    h = parseProxyHeader(v2(0x20, 0x00, ""));
    ASSERT_EQ(h.status, Status::done);
    EXPECT_FALSE(h.source);

    const std::string full = v2(0x21, 0x11, v4Block());
    for (std::size_t n = 1; n < full.size(); ++n)
        EXPECT_EQ(parseProxyHeader(full.substr(0, n)).status, Status::needMore) << n;
}

TEST(ProxyHeader, RefusesVersionTwoWithBadLengthsOrFields) {
    // The announced length cannot hold the addresses of the family.
    EXPECT_EQ(parseProxyHeader(v2(0x21, 0x11, v4Block(), -1)).status, Status::invalid);
    EXPECT_EQ(parseProxyHeader(v2(0x21, 0x21, std::string(20, '\0'))).status, Status::invalid);
    // A length far beyond anything a proxy sends is refused before it arrives.
    EXPECT_EQ(parseProxyHeader(v2(0x21, 0x11, v4Block(), 60000)).status, Status::invalid);
    EXPECT_EQ(parseProxyHeader(v2(0x11, 0x11, v4Block())).status, Status::invalid); // version 1
    EXPECT_EQ(parseProxyHeader(v2(0x22, 0x11, v4Block())).status, Status::invalid); // command 2
    EXPECT_EQ(parseProxyHeader(v2(0x21, 0x41, v4Block())).status, Status::invalid); // family 4
    EXPECT_EQ(parseProxyHeader(v2(0x21, 0x13, v4Block())).status, Status::invalid); // transport 3
    // A damaged signature.
    std::string bad = v2(0x21, 0x11, v4Block());
    bad[7] = 'X';
    EXPECT_EQ(parseProxyHeader(bad).status, Status::invalid);
}

TEST(ProxyHeader, RecognisesOnlyPossibleStarts) {
    EXPECT_TRUE(mayBeProxyHeader("P"));
    EXPECT_TRUE(mayBeProxyHeader("PROXY TCP4"));
    EXPECT_TRUE(mayBeProxyHeader(kSig.substr(0, 5)));
    EXPECT_FALSE(mayBeProxyHeader("GET / HTTP/1.1"));
    EXPECT_FALSE(mayBeProxyHeader("\x16\x03\x01"));
    EXPECT_FALSE(mayBeProxyHeader("PUT"));
    EXPECT_FALSE(mayBeProxyHeader(""));
}
