// The WebSocket frame parser fed byte streams as clients send them: every length form, masks,
// fragments with control frames between them, the limits, and the errors that close with 1002.
#include "net/WsFrames.hpp"

#include "NetHelpers.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tnlrelay::net;
using tnlrelay::test::clientFrame;

namespace {

struct Recorder {
    struct Msg {
        std::string data;
        int opcode;
        bool shared;
    };
    std::vector<Msg> messages;
    std::vector<std::pair<int, std::string>> controls;
    std::vector<std::uint16_t> errors;

    void onMessage(const char* d, std::size_t n, SharedBuf* owner, int op) {
        messages.push_back({std::string(d, n), op, owner != nullptr});
    }
    void onControl(int op, const char* d, std::size_t n) {
        controls.emplace_back(op, std::string(d, n));
    }
    void onProtocolError(std::uint16_t code) { errors.push_back(code); }
};

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = char((i * 131 + 7) & 0xFF);
    return s;
}

/// Feeds `bytes` in pieces of `step` bytes.
bool feedInPieces(FrameParser& p, Recorder& r, std::string bytes, std::size_t step) {
    for (std::size_t i = 0; i < bytes.size(); i += step) {
        std::string piece = bytes.substr(i, step);
        if (!p.feed(r, piece.data(), piece.size())) return false;
    }
    return true;
}

} // namespace

TEST(WsFrames, EveryLengthFormArrivesWholeWhateverThePieces) {
    const std::vector<std::size_t> sizes = {0, 1, 125, 126, 65535, 65536, 200000};
    std::string stream;
    for (std::size_t n : sizes)
        stream += clientFrame(kOpBinary, pattern(n));
    stream += clientFrame(kOpText, "hello", {.masked = false}); // unmasked frames are accepted too
    for (std::size_t step : {std::size_t(1), std::size_t(7), std::size_t(4096), stream.size()}) {
        InboundBudget budget;
        budget.maxMessage = 268435456;
        FrameParser p(&budget);
        Recorder r;
        ASSERT_TRUE(feedInPieces(p, r, stream, step)) << "step " << step;
        ASSERT_EQ(r.messages.size(), sizes.size() + 1) << "step " << step;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            EXPECT_EQ(r.messages[i].data, pattern(sizes[i])) << "size " << sizes[i];
            EXPECT_EQ(r.messages[i].opcode, kOpBinary);
        }
        EXPECT_EQ(r.messages.back().data, "hello");
        EXPECT_EQ(r.messages.back().opcode, kOpText);
        EXPECT_TRUE(r.errors.empty());
        EXPECT_EQ(budget.used, 0u) << "nothing held once every message is complete";
    }
}

TEST(WsFrames, FragmentsJoinAroundControlFrames) {
    std::string stream = clientFrame(kOpText, "Hel", {.fin = false}) + clientFrame(kOpPing, "p1") +
                         clientFrame(kOpContinuation, "lo, ", {.fin = false}) +
                         clientFrame(kOpPong, "") + clientFrame(kOpContinuation, "world");
    InboundBudget budget;
    budget.maxMessage = 1000;
    FrameParser p(&budget);
    Recorder r;
    ASSERT_TRUE(feedInPieces(p, r, stream, 3));
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0].data, "Hello, world");
    EXPECT_EQ(r.messages[0].opcode, kOpText);
    ASSERT_EQ(r.controls.size(), 2u);
    EXPECT_EQ(r.controls[0], std::make_pair(kOpPing, std::string("p1")));
    EXPECT_EQ(r.controls[1].first, kOpPong);
}

TEST(WsFrames, ProtocolViolationsCloseWith1002) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"reserved bit", clientFrame(kOpBinary, "x", {.rsv = 0x40})},
        {"unknown data opcode", clientFrame(3, "x")},
        {"unknown control opcode", clientFrame(11, "")},
        {"fragmented control frame", clientFrame(kOpPing, "x", {.fin = false})},
        {"control frame over 125 bytes", clientFrame(kOpPing, std::string(126, 'p'))},
        {"continuation without a start", clientFrame(kOpContinuation, "x")},
        {"new message inside an unfinished one",
         clientFrame(kOpText, "a", {.fin = false}) + clientFrame(kOpBinary, "b")},
    };
    for (const auto& [what, bytes] : cases) {
        InboundBudget budget;
        budget.maxMessage = 1000;
        FrameParser p(&budget);
        Recorder r;
        std::string copy = bytes;
        EXPECT_FALSE(p.feed(r, copy.data(), copy.size())) << what;
        // A connection goes on being read while it closes: what follows is ignored.
        std::string after = clientFrame(kOpBinary, "later");
        EXPECT_FALSE(p.feed(r, after.data(), after.size())) << what;
        ASSERT_EQ(r.errors.size(), 1u) << what;
        EXPECT_EQ(r.errors[0], kCloseProtocolError) << what;
        EXPECT_TRUE(r.messages.empty()) << what;
        EXPECT_EQ(budget.used, 0u) << what << ": an unfinished message is let go";
    }
}

TEST(WsFrames, MessagesOverTheLimitCloseWith1009BeforeTheirBytesArrive) {
    InboundBudget budget;
    budget.maxMessage = 100;
    FrameParser p(&budget);
    Recorder r;
    // A single frame announcing more than the limit: refused from its header alone.
    std::string header = clientFrame(kOpBinary, std::string(101, 'x')).substr(0, 8);
    EXPECT_FALSE(p.feed(r, header.data(), header.size()));
    ASSERT_EQ(r.errors, std::vector<std::uint16_t>{kCloseTooBig});

    // Fragments that pass the limit only together.
    budget.maxMessage = 100;
    FrameParser q(&budget);
    Recorder s;
    std::string two = clientFrame(kOpBinary, std::string(60, 'a'), {.fin = false}) +
                      clientFrame(kOpContinuation, std::string(60, 'b'));
    EXPECT_FALSE(q.feed(s, two.data(), two.size()));
    EXPECT_EQ(s.errors, std::vector<std::uint16_t>{kCloseTooBig});

    // Exactly the limit passes.
    budget.maxMessage = 100;
    FrameParser ok(&budget);
    Recorder t;
    std::string exact = clientFrame(kOpBinary, std::string(100, 'c'));
    EXPECT_TRUE(ok.feed(t, exact.data(), exact.size()));
    EXPECT_EQ(t.messages.size(), 1u);
}

TEST(WsFrames, InboundBudgetIsSharedAndReleased) {
    InboundBudget budget;
    budget.limit = 300000;
    budget.maxMessage = 1 << 20;
    FrameParser a(&budget);
    FrameParser b(&budget);
    Recorder ra, rb;
    // Each announces 200000 bytes but sends only part: the budget counts what is held.
    std::string fa = clientFrame(kOpBinary, pattern(200000));
    std::string partA = fa.substr(0, 150000);
    ASSERT_TRUE(a.feed(ra, partA.data(), partA.size()));
    EXPECT_GE(budget.used, 150000u - 14) << "the payload bytes received so far";
    EXPECT_LE(budget.used, 200000u + FrameParser::kReadAhead)
        << "buffers grow with arrivals, not with announced lengths (a pooled one may hold the "
           "whole frame and its read-ahead room)";
    std::string fb = clientFrame(kOpBinary, pattern(200000));
    EXPECT_FALSE(b.feed(rb, fb.data(), fb.size())) << "the second passes the shared cap";
    EXPECT_EQ(rb.errors, std::vector<std::uint16_t>{kCloseTooBig});
    std::string restA = fa.substr(150000);
    ASSERT_TRUE(a.feed(ra, restA.data(), restA.size()));
    ASSERT_EQ(ra.messages.size(), 1u);
    EXPECT_EQ(ra.messages[0].data, pattern(200000));
    EXPECT_TRUE(ra.messages[0].shared) << "large messages come in a shareable buffer";
    EXPECT_EQ(budget.used, 0u);
}

TEST(WsFrames, DirectReadsFillLongFrames) {
    InboundBudget budget;
    budget.maxMessage = 1 << 22;
    FrameParser p(&budget);
    Recorder r;
    const std::string payload = pattern(1 << 20);
    std::string f = clientFrame(kOpBinary, payload);
    std::size_t at = 20; // header and a few payload bytes through the ordinary path
    ASSERT_TRUE(p.feed(r, f.data(), at));
    while (at < f.size()) {
        std::size_t len = 0;
        char* target = p.directTarget(100000, len);
        ASSERT_NE(target, nullptr);
        ASSERT_GT(len, 0u);
        len = std::min(len, f.size() - at);
        std::memcpy(target, f.data() + at, len);
        at += len;
        ASSERT_TRUE(p.directDone(r, len));
    }
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0].data, payload);
}

TEST(WsFrames, OutgoingHeadersAndAcceptKey) {
    char h[10];
    EXPECT_EQ(writeFrameHeader(h, kOpText, 5), 2u);
    EXPECT_EQ(std::uint8_t(h[0]), 0x81);
    EXPECT_EQ(h[1], 5);
    EXPECT_EQ(writeFrameHeader(h, kOpBinary, 300), 4u);
    EXPECT_EQ(std::uint8_t(h[1]), 126);
    EXPECT_EQ(writeFrameHeader(h, kOpBinary, 70000), 10u);
    EXPECT_EQ(std::uint8_t(h[1]), 127);
    // The worked example of the WebSocket handshake.
    EXPECT_EQ(wsAcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WsFrames, LargeMessagesReuseALetGoBufferThatFitsAndTheBudgetBalances) {
    struct OwnerSink {
        std::vector<const SharedBuf*> owners;
        std::vector<std::size_t> sizes;
        void onMessage(const char*, std::size_t n, SharedBuf* owner, int) {
            owners.push_back(owner);
            sizes.push_back(n);
        }
        void onControl(int, const char*, std::size_t) {}
        void onProtocolError(std::uint16_t) { ADD_FAILURE() << "no error expected"; }
    } sink;
    InboundBudget budget;
    budget.maxMessage = 1 << 22;
    FrameParser p(&budget);
    const auto feedMessage = [&](std::size_t size) {
        const std::string f = clientFrame(kOpBinary, pattern(size));
        for (std::size_t at = 0; at < f.size(); at += 70000) {
            ASSERT_TRUE(p.feed(sink, const_cast<char*>(f.data()) + at,
                               std::min<std::size_t>(70000, f.size() - at)));
            if (at + 70000 < f.size()) {
                EXPECT_GT(budget.used, 0u) << "a part is held";
            }
        }
        EXPECT_EQ(budget.used, 0u) << "a delivered message holds no budget";
    };
    feedMessage(1 << 20);
    feedMessage(1 << 20);
    feedMessage(300000); // smaller than what is pooled: the megabyte buffer is not taken
    feedMessage(1 << 20);
    ASSERT_EQ(sink.owners.size(), 4u);
    EXPECT_EQ(sink.owners[1], sink.owners[0]) << "the second megabyte reused the first's buffer";
    EXPECT_NE(sink.owners[2], sink.owners[0]);
    EXPECT_EQ(sink.owners[3], sink.owners[0]);
    EXPECT_EQ(sink.sizes, (std::vector<std::size_t>{1 << 20, 1 << 20, 300000, 1 << 20}));
}

TEST(WsFrames, ADirectReadPastALastFrameParsesTheFramesThatFollow) {
    // A full pool of buffers too large to take: the first message's buffer goes back to the
    // allocator once it is delivered, while the frames read past its end still lie in it.
    const auto drainPool = [] {
        while (SharedBuf* b = SharedBuf::takePooled(0, std::size_t(-1)))
            std::free(b);
    };
    drainPool();
    std::vector<SharedBuf*> fill;
    for (int i = 0; i < 16; ++i)
        fill.push_back(SharedBuf::create(4 << 20));
    for (SharedBuf* b : fill)
        SharedBuf::release(b);
    InboundBudget budget;
    budget.maxMessage = 1 << 22;
    {
        FrameParser p(&budget);
        Recorder r;
        const std::string first = pattern(300000), second = pattern(200000).substr(7);
        const std::string bytes = clientFrame(kOpBinary, first) + clientFrame(kOpText, "after") +
                                  clientFrame(kOpPing, "pp") + clientFrame(kOpBinary, second);
        std::size_t at = 100; // the header and a few bytes through the ordinary path
        ASSERT_TRUE(p.feed(r, const_cast<char*>(bytes.data()), at));
        bool spanned = false; // one read ended the first frame and held the next ones
        while (at < bytes.size()) {
            std::size_t len = 0;
            char* target = p.directTarget(1 << 20, len);
            if (!target) { // the tail of the last frame, too short for a direct read
                std::string rest = bytes.substr(at);
                ASSERT_TRUE(p.feed(r, rest.data(), rest.size()));
                break;
            }
            len = std::min(len, bytes.size() - at);
            std::memcpy(target, bytes.data() + at, len);
            at += len;
            const bool before = r.messages.empty();
            ASSERT_TRUE(p.directDone(r, len));
            if (before && !r.messages.empty())
                spanned = r.messages.size() == 2 && r.controls.size() == 1;
        }
        ASSERT_EQ(r.messages.size(), 3u);
        EXPECT_EQ(r.messages[0].data, first);
        EXPECT_EQ(r.messages[1].data, "after");
        EXPECT_EQ(r.messages[1].opcode, kOpText);
        EXPECT_EQ(r.messages[2].data, second);
        EXPECT_EQ(r.controls, (std::vector<std::pair<int, std::string>>{{kOpPing, "pp"}}));
        EXPECT_TRUE(spanned) << "the read that ends the first frame takes the next ones' start";
        EXPECT_EQ(budget.used, 0u);
    }
    drainPool();
}
