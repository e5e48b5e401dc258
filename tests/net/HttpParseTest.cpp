// The request reader alone: bodies sent in chunks, whole or malformed, in any pieces.
#include "net/HttpParse.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tnlrelay::net;

namespace {

struct Read {
    HttpParse outcome = HttpParse::needMore;
    std::vector<std::string> bodies; ///< of the requests read, in order
};

// Feeds `bytes` in pieces of `piece` bytes and reads every request that completes.
Read readAll(std::string_view bytes, std::size_t piece, std::size_t maxHeader = 4096,
             std::size_t maxBody = 1024) {
    HttpRequestReader reader(maxHeader, maxBody);
    Read read;
    for (std::size_t pos = 0; pos < bytes.size(); pos += piece) {
        reader.append(bytes.data() + pos, std::min(piece, bytes.size() - pos));
        for (;;) {
            read.outcome = reader.parse();
            if (read.outcome != HttpParse::complete) break;
            read.bodies.emplace_back(reader.request().body);
            if (!reader.hasInput()) break;
        }
        if (read.outcome != HttpParse::needMore && read.outcome != HttpParse::complete) return read;
    }
    return read;
}

const std::string kChunkedHead = "POST /api/ban HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                 "Transfer-Encoding: chunked\r\n\r\n";

} // namespace

TEST(HttpParse, ChunkedBodiesArriveWholeWhateverThePieces) {
    const std::string requests = kChunkedHead + "5\r\n{\"ip\"\r\n" + "b;ext=\"x;y\"\r\n" +
                                 ":\"10.0.0.1\"\r\n" + "1 \r\n}\r\n" + "0\r\nX-Trailer: t\r\n\r\n" +
                                 kChunkedHead + "0\r\n\r\n" +
                                 "POST /api/kick HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}";
    for (std::size_t piece : {std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(7),
                              std::size_t(64), requests.size()}) {
        SCOPED_TRACE(piece);
        const Read read = readAll(requests, piece);
        ASSERT_EQ(read.outcome, HttpParse::complete);
        ASSERT_EQ(read.bodies.size(), 3u);
        EXPECT_EQ(read.bodies[0], "{\"ip\":\"10.0.0.1\"}");
        EXPECT_EQ(read.bodies[1], "");
        EXPECT_EQ(read.bodies[2], "{}");
    }
}

TEST(HttpParse, MalformedChunkedBodiesAreRefusedInAnyPieces) {
    struct Case {
        std::string body;
        HttpParse outcome;
    };
    const std::vector<Case> cases = {
        {"x\r\n", HttpParse::bad},                    // no size
        {"5x\r\nhello\r\n0\r\n\r\n", HttpParse::bad}, // junk after the size
        {"5\r\nhelloXY0\r\n\r\n", HttpParse::bad},    // no line end after the data
        {"5\nhello\r\n0\r\n\r\n", HttpParse::bad},    // a bare line feed
        {"401\r\n", HttpParse::bodyTooLarge},         // one chunk over the limit
        {"200\r\n" + std::string(0x200, 'a') + "\r\n201\r\n", HttpParse::bodyTooLarge},
        {"ffffffffffffffffffff\r\n", HttpParse::bodyTooLarge}, // would overflow
        {"0\r\n" + std::string(5000, 't') + "\r\n\r\n", HttpParse::headerTooLarge},
        {"0\r\nno colon\r\n\r\n", HttpParse::bad}, // a trailer that is no field
        // Bytes that once put the parser into an impossible state: the last chunk followed by
        // a body where the trailer should be.
        {"0\r\n{\"coon\r\nContent-L@en", HttpParse::bad},
    };
    for (const Case& c : cases) {
        for (std::size_t piece : {std::size_t(1), std::size_t(5), std::size_t(4096)}) {
            SCOPED_TRACE(c.body.substr(0, 24) + " in pieces of " + std::to_string(piece));
            const Read read = readAll(kChunkedHead + c.body, piece);
            EXPECT_EQ(read.outcome, c.outcome);
            EXPECT_TRUE(read.bodies.empty());
        }
    }
}
