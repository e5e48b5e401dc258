// The generator's accounting must catch a relay that loses, reorders or corrupts a message,
// whatever read boundaries the bytes arrive with; otherwise its figures mean nothing.
#include "FrameReader.hpp"
#include "Handshake.hpp"
#include "Histogram.hpp"
#include "Ledger.hpp"
#include "Payload.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tnlrelay::bench;

namespace {

// What a relay puts on the wire: one unmasked binary frame with a generator payload.
std::string relayFrame(const std::string& payload, int opcode = 2, bool fin = true) {
    std::string f;
    f.push_back(static_cast<char>((fin ? 0x80 : 0) | opcode));
    const std::size_t n = payload.size();
    if (n < 126) {
        f.push_back(static_cast<char>(n));
    } else if (n < 65536) {
        f.push_back(126);
        f.push_back(static_cast<char>(n >> 8));
        f.push_back(static_cast<char>(n));
    } else {
        f.push_back(127);
        for (int i = 7; i >= 0; --i)
            f.push_back(static_cast<char>(std::uint64_t(n) >> (8 * i)));
    }
    return f + payload;
}

std::string payloadOf(std::uint32_t sender, std::uint32_t seq, std::size_t size) {
    std::string p(size, '\0');
    fillPayload(p.data(), size, PayloadHead{sender, seq, 1000 + seq}, 0);
    return p;
}

// One receiving client, wired the way the generator wires it.
struct Receiver {
    Receiver(Ledger& l, std::uint32_t receiver, std::uint64_t expectedSize)
        : ledger(l), id(receiver), size(expectedSize) {}

    Ledger& ledger;
    std::uint32_t id;
    std::uint64_t size;
    FrameReader reader;
    PayloadCheck check;
    bool binary = false;
    std::vector<Receipt> receipts;
    std::vector<int> controls;

    void messageStart(int opcode) {
        check.reset();
        binary = opcode == 2;
    }
    void messageData(const char* p, std::size_t n) { check.feed(p, n); }
    void messageEnd() { receipts.push_back(ledger.receiveMessage(id, binary, check, size)); }
    void wholeMessage(int opcode, const char* p, std::size_t n) {
        binary = opcode == 2;
        check.whole(p, n);
        messageEnd();
    }
    void control(int opcode, const std::string&) { controls.push_back(opcode); }

    // Feeds the stream in pieces of `piece` bytes, as reads of that size would deliver it.
    bool feed(const std::string& stream, std::size_t piece) {
        for (std::size_t at = 0; at < stream.size(); at += piece)
            if (!reader.feed(stream.data() + at, std::min(piece, stream.size() - at), *this))
                return false;
        return true;
    }
};

} // namespace

TEST(Accounting, CleanDeliveryAtAnyReadBoundaryHasNoFaults) {
    // Sizes that take each of the three length encodings.
    for (std::size_t size : {std::size_t(64), std::size_t(2000), std::size_t(70001)}) {
        for (std::size_t piece : {std::size_t(1), std::size_t(7), std::size_t(4096)}) {
            Ledger ledger(1, 3, 8);
            std::string stream;
            for (std::uint32_t s : {1u, 2u})
                for (int i = 0; i < 3; ++i)
                    stream += relayFrame(payloadOf(s, ledger.send(s), size));
            Receiver r{ledger, 0, size};
            ASSERT_TRUE(r.feed(stream, piece)) << "size " << size << " piece " << piece;
            ASSERT_EQ(r.receipts.size(), 6u);
            for (Receipt rc : r.receipts)
                EXPECT_NE(rc, Receipt::corrupt) << "size " << size << " piece " << piece;
            const LedgerTotals t = ledger.totals();
            EXPECT_EQ(t.delivered, 6u);
            // Client 0 got everything; clients 1 and 2 got nothing from each other yet.
            EXPECT_EQ(t.lost, 6u);
            EXPECT_EQ(t.reordered + t.corrupt + t.unexpected + t.duplicate, 0u);
        }
    }
}

TEST(Accounting, LostReorderedAndDuplicatedDeliveriesAreCounted) {
    Ledger ledger(1, 2, 16);
    for (int i = 0; i < 5; ++i)
        ledger.send(0);
    // Receiver 1 sees 0, 2, 1, 4, 4: 3 lost, 1 late, 4 twice.
    for (std::uint32_t seq : {0u, 2u, 1u, 4u, 4u})
        ledger.receive(1, 0, seq);
    LedgerTotals t = ledger.totals();
    EXPECT_EQ(t.sent, 5u);
    EXPECT_EQ(t.expected, 5u);
    EXPECT_EQ(t.lost, 1u) << "a duplicate must not hide a loss";
    EXPECT_EQ(t.reordered, 1u);
    EXPECT_EQ(t.duplicate, 1u);
    EXPECT_EQ(t.delivered, 4u);
    EXPECT_FALSE(ledger.settled());
    EXPECT_FALSE(t.clean());

    // The lost one arriving after all is a reorder, not a loss.
    ledger.receive(1, 0, 3);
    t = ledger.totals();
    EXPECT_EQ(t.lost, 0u);
    EXPECT_EQ(t.reordered, 2u);
    EXPECT_TRUE(ledger.settled());

    // Messages never received at the end of a run are lost too, not only gaps.
    Ledger tail(1, 3, 16);
    for (int i = 0; i < 4; ++i)
        tail.send(2);
    for (std::uint32_t seq : {0u, 1u, 2u, 3u})
        tail.receive(0, 2, seq);
    tail.receive(1, 2, 0);
    EXPECT_EQ(tail.totals().lost, 3u);
    EXPECT_EQ(tail.totals().reordered, 0u);
}

TEST(Accounting, LateArrivalsInsideOneGapAreEachCountedOnce) {
    Ledger ledger(1, 2, 64);
    for (int i = 0; i < 10; ++i)
        ledger.send(0);
    // 0, then 9: a gap of 1..8. Then 5, 1, 8, 5 again, 3: the gap splits and shrinks.
    for (std::uint32_t seq : {0u, 9u, 5u, 1u, 8u, 5u, 3u})
        ledger.receive(1, 0, seq);
    LedgerTotals t = ledger.totals();
    EXPECT_EQ(t.reordered, 4u) << "5, 1, 8 and 3 came late";
    EXPECT_EQ(t.duplicate, 1u) << "the second 5";
    EXPECT_EQ(t.lost, 4u) << "2, 4, 6 and 7 never came";
    for (std::uint32_t seq : {7u, 2u, 6u, 4u})
        ledger.receive(1, 0, seq);
    t = ledger.totals();
    EXPECT_EQ(t.lost, 0u);
    EXPECT_EQ(t.reordered, 8u);
    EXPECT_EQ(t.delivered, 10u);
    EXPECT_TRUE(ledger.settled());
}

TEST(Accounting, CorruptedMessagesAreDetected) {
    constexpr std::size_t kSize = 64;
    const std::string good = payloadOf(1, 0, kSize);
    // Any single flipped bit, in the head, the pattern or a last part word, is caught: checked
    // in pieces as a message streams in, and in one pass when a read holds it whole.
    for (std::size_t size : {kSize, kSize - 3})
        for (std::size_t piece : {std::size_t(5), std::size_t(4096)})
            for (std::size_t at = 0; at < size; ++at) {
                std::string bad = payloadOf(1, 0, size);
                bad[at] = static_cast<char>(bad[at] ^ 0x10);
                Ledger ledger(1, 2, 4);
                ledger.send(1);
                Receiver r{ledger, 0, size};
                ASSERT_TRUE(r.feed(relayFrame(bad), piece));
                ASSERT_EQ(r.receipts.size(), 1u);
                EXPECT_NE(r.receipts[0], Receipt::booked)
                    << "flipped byte " << at << " of " << size << " in pieces of " << piece
                    << " went unnoticed";
                EXPECT_FALSE(ledger.totals().clean());
                EXPECT_EQ(ledger.totals().delivered, 0u);
            }
    // A cut message, a lengthened one and one sent as text are corrupt as well.
    for (const std::string& frame :
         {relayFrame(good.substr(0, kSize - 8)), relayFrame(good + std::string(8, '\0')),
          relayFrame(good, 1)}) {
        for (std::size_t piece : {std::size_t(3), std::size_t(4096)}) {
            Ledger ledger(1, 2, 4);
            ledger.send(1);
            Receiver r{ledger, 0, kSize};
            ASSERT_TRUE(r.feed(frame, piece));
            ASSERT_EQ(r.receipts.size(), 1u);
            EXPECT_EQ(r.receipts[0], Receipt::corrupt);
            EXPECT_EQ(ledger.totals().corrupt, 1u);
        }
    }
    // The masked form a client sends unmasks to the same bytes.
    std::string masked(kSize, '\0');
    const std::uint32_t key = 0xA1B2C3D4;
    fillPayload(masked.data(), kSize, PayloadHead{1, 0, 1000}, key);
    for (std::size_t i = 0; i < kSize; ++i)
        masked[i] = static_cast<char>(masked[i] ^ static_cast<char>(key >> (8 * (i % 4))));
    EXPECT_EQ(masked, good);
}

TEST(Accounting, MisroutedEchoedAndInventedMessagesAreUnexpected) {
    Ledger ledger(2, 2, 4); // rooms {0, 1} and {2, 3}
    ledger.send(0);
    ledger.send(2);
    EXPECT_EQ(ledger.receive(1, 2, 0), Receipt::unexpected) << "from another room";
    EXPECT_EQ(ledger.receive(0, 0, 0), Receipt::unexpected) << "echoed to its sender";
    EXPECT_EQ(ledger.receive(1, 0, 1), Receipt::unexpected) << "never sent";
    EXPECT_EQ(ledger.receive(1, 9, 0), Receipt::unexpected) << "no such client";
    EXPECT_EQ(ledger.totals().unexpected, 4u);
    EXPECT_EQ(ledger.totals().lost, 2u);
}

TEST(Accounting, WindowOpensOnlyWhenEveryOtherMemberHasTheMessage) {
    Ledger ledger(1, 3, 2);
    EXPECT_EQ(ledger.send(0), 0u);
    EXPECT_EQ(ledger.send(0), 1u);
    EXPECT_FALSE(ledger.canSend(0));
    EXPECT_EQ(ledger.receive(1, 0, 0), Receipt::booked);
    EXPECT_EQ(ledger.receive(1, 0, 1), Receipt::booked);
    EXPECT_FALSE(ledger.canSend(0)) << "member 2 has nothing yet";
    EXPECT_EQ(ledger.receive(2, 0, 1), Receipt::booked) << "1 is not the oldest outstanding";
    EXPECT_FALSE(ledger.canSend(0));
    EXPECT_EQ(ledger.receive(2, 0, 0), Receipt::windowOpened);
    EXPECT_TRUE(ledger.canSend(0));
    EXPECT_EQ(ledger.send(0), 2u);
    EXPECT_EQ(ledger.send(0), 3u);
    EXPECT_FALSE(ledger.canSend(0));
}

TEST(FrameReader, HandsOutControlFramesBetweenFragmentsAndRejectsFaults) {
    const std::string payload = payloadOf(1, 0, 64);
    Ledger ledger(1, 2, 4);
    ledger.send(1);
    Receiver r{ledger, 0, 64};
    const std::string stream = relayFrame(payload.substr(0, 20), 2, false) + relayFrame("hi", 9) +
                               relayFrame(payload.substr(20), 0, true);
    ASSERT_TRUE(r.feed(stream, 1));
    ASSERT_EQ(r.receipts.size(), 1u);
    EXPECT_EQ(r.receipts[0], Receipt::windowOpened);
    EXPECT_EQ(r.controls, std::vector<int>{9});

    struct Case {
        std::string bytes;
        FrameFault fault;
    };
    const Case cases[] = {
        {std::string("\xC2\x00", 2), FrameFault::reservedBits},
        {std::string("\x82\x81\x01\x02\x03\x04x", 7), FrameFault::maskedByServer},
        {std::string("\x83\x00", 2), FrameFault::badOpcode},
        {std::string("\x80\x00", 2), FrameFault::badSequence},
        {std::string("\x09\x00", 2), FrameFault::badControl},
        {std::string("\x89\x7E\x00\x80", 4), FrameFault::badControl},
    };
    for (const Case& c : cases) {
        Receiver bad{ledger, 0, 64};
        EXPECT_FALSE(bad.feed(c.bytes, 1)) << "bytes of case " << int(c.fault);
        EXPECT_EQ(bad.reader.fault(), c.fault);
    }
}

TEST(Handshake, AcceptKeyAndAnswerCheck) {
    // The worked example of the WebSocket protocol's own definition.
    EXPECT_EQ(acceptFor("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_EQ(makeKey(1).size(), 24u);
    EXPECT_NE(makeKey(1), makeKey(2));

    const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
    const std::string ok = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                           "sec-websocket-accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
    std::size_t end = 0;
    EXPECT_EQ(checkAnswer(ok.substr(0, ok.size() - 2), key, end), HandshakeStatus::incomplete);
    EXPECT_EQ(checkAnswer(ok + "\x82\x00", key, end), HandshakeStatus::accepted);
    EXPECT_EQ(end, ok.size()) << "frames after the answer belong to the frame reader";
    EXPECT_EQ(checkAnswer("HTTP/1.1 403 Forbidden\r\n\r\nbanned\n", key, end),
              HandshakeStatus::refused);
    std::string wrongKey = ok;
    wrongKey.replace(wrongKey.find("s3pP"), 4, "AAAA");
    EXPECT_EQ(checkAnswer(wrongKey, key, end), HandshakeStatus::refused);

    const std::string req = joinRequest("127.0.0.1:9", "r1", "p2", 10, key);
    EXPECT_EQ(req.rfind("GET /?room=r1&player=p2&max=10 HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(req.find("Sec-WebSocket-Version: 13\r\n"), std::string::npos);
}

TEST(Histogram, QuantilesWithinTheBucketResolution) {
    Histogram h;
    EXPECT_EQ(h.quantile(0.99), 0u);
    for (std::uint64_t ns = 1; ns <= 100000; ++ns)
        h.record(ns);
    h.record(5000000000ull); // one stall of five seconds
    EXPECT_EQ(h.count(), 100001u);
    EXPECT_EQ(h.max(), 5000000000ull);
    const std::pair<double, double> expected[] = {{0.5, 50000}, {0.9, 90000}, {0.99, 99000}};
    for (auto [q, want] : expected) {
        const double got = double(h.quantile(q));
        EXPECT_GE(got, want * 0.99) << "quantile " << q;
        EXPECT_LE(got, want * 1.02) << "quantile " << q;
    }
    EXPECT_EQ(h.quantile(1.0), 5000000000ull) << "the top quantile is the largest sample";
    Histogram small;
    for (std::uint64_t ns : {3u, 3u, 7u})
        small.record(ns);
    EXPECT_EQ(small.quantile(0.5), 3u) << "small values are exact";
}
