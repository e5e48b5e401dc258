// The pool of output chunks: connections take and return 16 KiB chunks constantly while
// relaying, so a few are kept for reuse instead of going back to the allocator.
#include "Buffers.hpp"

namespace tnlrelay::net {

namespace {

constexpr std::size_t kPoolMax = 64; // idle chunks kept of each size

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

} // namespace

SharedBuf* OutQueue::takeChunk(std::size_t size) {
    auto& pool = t_pool.of(size);
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
    if (pool.size() < kPoolMax)
        pool.push_back(b);
    else
        std::free(b);
}

} // namespace tnlrelay::net
