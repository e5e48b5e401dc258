// The pool of output chunks: connections take and return 16 KiB chunks constantly while
// relaying, so a few are kept for reuse instead of going back to the allocator.
#include "Buffers.hpp"

namespace tnlrelay::net {

namespace {

constexpr std::size_t kPoolMax = 256; // 4 MiB of idle chunks at most

struct ChunkPool {
    std::vector<SharedBuf *> free;
    ~ChunkPool() {
        for (SharedBuf *b : free)
            std::free(b);
    }
};

thread_local ChunkPool t_pool;

} // namespace

SharedBuf *OutQueue::takeChunk() {
    if (!t_pool.free.empty()) {
        SharedBuf *b = t_pool.free.back();
        t_pool.free.pop_back();
        return b;
    }
    return SharedBuf::create(kChunkBytes);
}

void OutQueue::giveChunk(SharedBuf *b) {
    if (t_pool.free.size() < kPoolMax)
        t_pool.free.push_back(b);
    else
        std::free(b);
}

} // namespace tnlrelay::net
