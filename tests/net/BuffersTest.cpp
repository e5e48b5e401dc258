// The output queue: copied bytes and shared payloads leave in the order queued, whatever the
// write calls take of them, and frame headers between shared payloads share one chunk.
#include "net/Buffers.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tnlrelay::net;

namespace {

struct Piece {
    char* data;
    std::size_t len;
};

/// A shared payload of `n` bytes of `fill`, as a receiver's queue would hold it.
SharedBuf* payload(std::size_t n, char fill) {
    SharedBuf* b = SharedBuf::create(n);
    std::memset(b->data(), fill, n);
    b->size = n;
    return b;
}

/// Takes everything from the queue in writes of at most `step` bytes and `maxPieces` pieces.
std::string drain(OutQueue& q, std::size_t step, std::size_t maxPieces) {
    std::string out;
    std::vector<Piece> pieces(maxPieces);
    while (!q.empty()) {
        const std::size_t n = q.gather(pieces.data(), maxPieces, step);
        std::size_t taken = 0;
        for (std::size_t i = 0; i < n; ++i) {
            out.append(pieces[i].data, pieces[i].len);
            taken += pieces[i].len;
        }
        q.consume(taken);
    }
    return out;
}

} // namespace

TEST(OutQueue, CopiedAndSharedBytesLeaveInOrderThroughPartialWrites) {
    for (std::size_t step : {1u, 7u, 1000u, 100000u}) {
        OutQueue q;
        std::string expected;
        SharedBuf* big = payload(3000, 'x');
        for (int i = 0; i < 40; ++i) {
            const std::string head = "h" + std::to_string(i) + ":";
            q.appendSmall(head.data(), head.size());
            q.appendShared(big, big->data(), big->size);
            expected += head + std::string(3000, 'x');
            if (i % 5 == 0) { // now and then a run of copies longer than one chunk
                const std::string copied(OutQueue::kChunkBytes + 100, char('a' + i % 26));
                q.append(copied.data(), copied.size());
                expected += copied;
            }
        }
        EXPECT_EQ(q.bytes(), expected.size());
        EXPECT_EQ(big->refs, 41u) << "one reference per queued frame, one of our own";
        EXPECT_EQ(drain(q, step, 3), expected) << "writes of " << step << " bytes";
        EXPECT_EQ(big->refs, 1u) << "every sent frame let its payload go";
        EXPECT_EQ(q.bytes(), 0u);
        SharedBuf::release(big);
    }
}

TEST(OutQueue, HeadersBetweenSharedPayloadsShareOneChunk) {
    OutQueue q;
    SharedBuf* big = payload(2000, 'p');
    for (int i = 0; i < 50; ++i) {
        q.appendSmall("\x82\x7e\x07\xd0", 4);
        q.appendShared(big, big->data(), big->size);
    }
    std::vector<Piece> pieces(100);
    ASSERT_EQ(q.gather(pieces.data(), 100, ~std::size_t(0)), 100u);
    for (std::size_t i = 2; i < 100; i += 2)
        EXPECT_EQ(pieces[i].data, pieces[i - 2].data + 4)
            << "header " << i / 2 << " lies right after the one before, in the same chunk";
    q.clear();
    EXPECT_EQ(big->refs, 1u);
    SharedBuf::release(big);
}

TEST(OutQueue, AQueueThatNeverEmptiesDropsWhatItHasSent) {
    OutQueue q;
    const std::string header = "hh";
    std::string sent, expected;
    // A receiver that always has the last frame still queued when the next one comes.
    for (int i = 0; i < 20000; ++i) {
        SharedBuf* p = payload(600, char('a' + i % 26));
        q.appendSmall(header.data(), header.size());
        q.appendShared(p, p->data(), p->size);
        SharedBuf::release(p);
        expected += header + std::string(600, char('a' + i % 26));
        Piece pieces[4];
        const std::size_t n = q.gather(pieces, 4, q.bytes() - 1); // all but the last byte
        std::size_t taken = 0;
        for (std::size_t k = 0; k < n; ++k) {
            sent.append(pieces[k].data, pieces[k].len);
            taken += pieces[k].len;
        }
        q.consume(taken);
        ASSERT_FALSE(q.empty());
    }
    EXPECT_LE(q.segmentsHeld(), 2 * OutQueue::kCompactMin + 4)
        << "sent segments pile up while the queue never empties";
    Piece last[4];
    const std::size_t n = q.gather(last, 4, q.bytes());
    for (std::size_t k = 0; k < n; ++k)
        sent.append(last[k].data, last[k].len);
    EXPECT_EQ(sent, expected);
}

TEST(BufferPools, AreGivenBackOnlyAfterAQuietSpell) {
    using namespace std::chrono_literals;
    // A burst: large buffers let go into the pool.
    for (std::size_t cap : {std::size_t(1) << 20, std::size_t(2) << 20, std::size_t(3) << 20})
        SharedBuf::release(SharedBuf::create(cap));
    ASSERT_GE(pooledBytes(), std::size_t(6) << 20);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(releaseIdleBuffers(t0), 0u) << "the first look only notes the pools' use";
    EXPECT_EQ(releaseIdleBuffers(t0 + 4s), 0u) << "not quiet long enough";
    // Used again: the quiet spell starts anew.
    SharedBuf::release(SharedBuf::takePooled(1 << 20, 1 << 20));
    EXPECT_EQ(releaseIdleBuffers(t0 + 6s), 0u);
    EXPECT_GE(releaseIdleBuffers(t0 + 12s), std::size_t(6) << 20);
    EXPECT_LT(pooledBytes(), std::size_t(1) << 20);
    EXPECT_EQ(releaseIdleBuffers(t0 + 20s), 0u) << "nothing left to give back";
}
