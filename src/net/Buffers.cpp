// The pools of output chunks and of large message buffers: connections take and return 16 KiB
// chunks constantly while relaying, and bulk messages a megabyte at a time, so a few of each
// are kept for reuse instead of going back to the allocator (and their pages to the kernel).
#include "Buffers.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tnlrelay::net {

namespace {

// Idle chunks kept. Small ones hold replies and the first frames of a turn; large ones the
// rest of a busy turn's output, when every connection of a busy relay holds one or two at once:
// without enough of them kept, most of a turn's chunks come from the allocator and go back to
// it, a cost that shows over TLS. At most 16 MiB of large chunks wait between turns.
constexpr std::size_t kSmallPoolMax = 64;
constexpr std::size_t kLargePoolMax = 1024;

struct ChunkPool {
    std::vector<SharedBuf*> small, large;
    ~ChunkPool() {
        for (SharedBuf* b : small)
            std::free(b);
        for (SharedBuf* b : large)
            std::free(b);
    }
    std::vector<SharedBuf*>& of(std::size_t size) {
        return size == OutQueue::kFirstChunkBytes ? small : large;
    }
};

thread_local ChunkPool t_pool;

constexpr std::size_t kLargeMax = 32;              // large buffers kept
constexpr std::size_t kLargeBytesMax = 128u << 20; // and their bytes together

struct LargePool {
    std::vector<SharedBuf*> free;
    std::size_t bytes = 0;
    ~LargePool() {
        for (SharedBuf* b : free)
            std::free(b);
    }
};

thread_local LargePool t_large;

// Takes and returns of large buffers and chunks; unchanged for a while means the pools idle.
thread_local std::uint64_t t_largeUses = 0;
constexpr auto kQuietBeforeRelease = std::chrono::seconds(5);
constexpr std::size_t kLargeChunksKept = 16; // a busy turn's first needs, after a quiet spell

} // namespace

std::size_t pooledBytes() {
    return t_large.bytes + t_pool.small.size() * OutQueue::kFirstChunkBytes +
           t_pool.large.size() * OutQueue::kChunkBytes;
}

std::size_t releaseIdleBuffers(std::chrono::steady_clock::time_point now) {
    static thread_local std::uint64_t seen = ~std::uint64_t(0);
    static thread_local std::chrono::steady_clock::time_point quietSince{};
    if (t_largeUses != seen) {
        seen = t_largeUses;
        quietSince = now;
        return 0;
    }
    if (now - quietSince < kQuietBeforeRelease) return 0;
    std::size_t released = t_large.bytes;
    for (SharedBuf* b : t_large.free)
        std::free(b);
    t_large.free.clear();
    t_large.bytes = 0;
    while (t_pool.large.size() > kLargeChunksKept) {
        std::free(t_pool.large.back());
        t_pool.large.pop_back();
        released += OutQueue::kChunkBytes;
    }
#if defined(__GLIBC__)
    // Freed blocks stay in the heap below the trim threshold the program sets; hand their
    // pages back now that nothing asks for them.
    if (released) malloc_trim(0);
#endif
    return released;
}

SharedBuf* SharedBuf::takePooled(std::size_t minCap, std::size_t maxCap) {
    ++t_largeUses;
    auto& pool = t_large.free;
    std::size_t best = pool.size();
    for (std::size_t i = 0; i < pool.size(); ++i) {
        const std::size_t cap = pool[i]->cap;
        if (cap >= minCap && cap <= maxCap && (best == pool.size() || cap > pool[best]->cap))
            best = i;
    }
    if (best == pool.size()) return nullptr;
    SharedBuf* b = pool[best];
    pool[best] = pool.back();
    pool.pop_back();
    t_large.bytes -= b->cap;
    b->refs = 1;
    b->size = 0;
    return b;
}

void SharedBuf::pool(SharedBuf* b) {
    ++t_largeUses;
    if (t_large.free.size() < kLargeMax && t_large.bytes + b->cap <= kLargeBytesMax) {
        t_large.free.push_back(b);
        t_large.bytes += b->cap;
    } else {
        std::free(b);
    }
}

SharedBuf* OutQueue::takeChunk(std::size_t size) {
    auto& pool = t_pool.of(size);
    if (&pool == &t_pool.large) ++t_largeUses;
    if (!pool.empty()) {
        SharedBuf* b = pool.back();
        pool.pop_back();
        b->refs = 1;
        return b;
    }
    SharedBuf* b = SharedBuf::create(size + kSlack);
    b->cap = size;
    return b;
}

void OutQueue::giveChunk(SharedBuf* b) {
    auto& pool = t_pool.of(b->cap);
    if (&pool == &t_pool.large) ++t_largeUses;
    if (pool.size() < (&pool == &t_pool.small ? kSmallPoolMax : kLargePoolMax))
        pool.push_back(b);
    else
        std::free(b);
}

} // namespace tnlrelay::net
