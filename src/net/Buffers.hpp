// Byte buffers of the data path: a reference-counted buffer that one received message lives in
// while every receiver's queue holds it, and the per-connection output queue that gathers
// queued frames for one system call. Single-threaded: counts are plain integers.
#pragma once

#include "NetAssert.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace tnlrelay::net {

/// A heap buffer with a reference count; grows in place while only its creator holds it.
/// Large ones (bulk messages) go back to a small pool when let go, for the next message.
struct SharedBuf {
    /// Buffers at least this large are pooled.
    static constexpr std::size_t kPoolMin = 64 * 1024;

    std::uint32_t refs;
    std::size_t size;
    std::size_t cap;
    char* data() { return reinterpret_cast<char*>(this + 1); }

    static SharedBuf* create(std::size_t cap) {
        auto* b = static_cast<SharedBuf*>(std::malloc(sizeof(SharedBuf) + cap));
        if (!b) throw std::bad_alloc();
        b->refs = 1;
        b->size = 0;
        b->cap = cap;
        return b;
    }
    /// Grows the capacity; only while this is the sole reference (the pointer may move).
    static SharedBuf* grow(SharedBuf* b, std::size_t cap) {
        auto* n = static_cast<SharedBuf*>(std::realloc(b, sizeof(SharedBuf) + cap));
        if (!n) throw std::bad_alloc();
        n->cap = cap;
        return n;
    }
    /// A pooled buffer with a capacity from `minCap` to `maxCap`, the largest there is, or
    /// null. Its size is 0.
    static SharedBuf* takePooled(std::size_t minCap, std::size_t maxCap);
    static void retain(SharedBuf* b) { ++b->refs; }
    static void release(SharedBuf* b) {
        TNLRELAY_ASSERT(b->refs > 0 && b->size <= b->cap);
        if (--b->refs != 0) return;
        if (b->cap >= kPoolMin)
            pool(b);
        else
            std::free(b);
    }

private:
    static void pool(SharedBuf* b);
};

/// Bytes this thread keeps in its pools of large buffers and output chunks.
std::size_t pooledBytes();
/// Gives pooled large buffers and most large output chunks back once neither pool has been used
/// for a few seconds (a burst that needed them is over), and then the allocator's free pages
/// back to the system, so that a relay returns to near its idle size. Called now and then by
/// the loop; returns the bytes released from the pools.
std::size_t releaseIdleBuffers(std::chrono::steady_clock::time_point now);

/// One connection's unsent output: small frames copied into chunks of kChunkBytes, large
/// payloads referenced where they are. Sent front to back with gathered writes.
///
/// Copied bytes always go to the open chunk, even when a shared payload was queued after the
/// last copy: the header of each large frame then takes a few bytes of the open chunk instead
/// of a chunk of its own. A chunk is counted by the pieces that point into it (and once more
/// while it is open) and goes back to the pool when none is left.
class OutQueue {
public:
    static constexpr std::size_t kChunkBytes = 16 * 1024;
    /// The first chunk of an empty queue is small: most queues hold one reply or a few frames,
    /// and thousands of idle connections should not each pin a large chunk's pages.
    static constexpr std::size_t kFirstChunkBytes = 512;
    /// Chunks (and cached frames) have this much room past their capacity, so that short
    /// copies can move whole 32-byte blocks.
    static constexpr std::size_t kSlack = 32;
    /// Payloads up to this size are copied; larger ones are shared.
    static constexpr std::size_t kCopyMax = 512;
    /// Sent segments are dropped from the front once there are this many, and no fewer than
    /// those still queued.
    static constexpr std::size_t kCompactMin = 256;

    OutQueue() = default;
    OutQueue(const OutQueue&) = delete;
    OutQueue& operator=(const OutQueue&) = delete;
    ~OutQueue() { clear(); }

    bool empty() const { return head_ == segs_.size(); }
    /// Segments held, sent ones not dropped yet included.
    std::size_t segmentsHeld() const { return segs_.size(); }
    std::uint64_t bytes() const { return bytes_; }
    /// Keeps `*total` in step with this queue's bytes from here on (the loop's sum over its
    /// connections).
    void countInto(std::uint64_t* total) {
        if (total_) *total_ -= bytes_;
        total_ = total;
        if (total_) *total_ += bytes_;
    }
    /// Bytes queued behind the first segment (the one being written).
    std::uint64_t bytesBehindFirst() const {
        return empty() ? 0 : bytes_ - (segs_[head_].len - segs_[head_].sent);
    }

    /// Copies a frame whose source has kSlack readable bytes past its end (at most one chunk).
    [[gnu::always_inline]] void appendFrame(const char* data, std::size_t len) {
        if (tailInOpen_ && open_->size + len <= open_->cap) {
            char* to = open_->data() + open_->size;
            for (std::size_t i = 0; i < len; i += 32)
                std::memcpy(to + i, data + i, 32);
            grow(len);
            return;
        }
        appendSlow(data, len);
    }

    /// Copies a few bytes (at most one chunk); the common case is one memcpy into the tail.
    void appendSmall(const char* data, std::size_t len) {
        if (tailInOpen_ && open_->size + len <= open_->cap) {
            std::memcpy(open_->data() + open_->size, data, len);
            grow(len);
            return;
        }
        append(data, len);
    }

    /// Copies bytes into the open chunk, opening new chunks as needed.
    [[gnu::noinline]] void appendSlow(const char* data, std::size_t len) { append(data, len); }
    void append(const char* data, std::size_t len) {
        while (len > 0) {
            if (!open_ || open_->size == open_->cap) openChunk(len);
            if (!tailInOpen_) {
                SharedBuf::retain(open_);
                segs_.push_back(Seg{open_->data() + open_->size, 0, 0, open_, true});
                tailInOpen_ = true;
            }
            const std::size_t room = open_->cap - open_->size;
            const std::size_t n = len < room ? len : room;
            std::memcpy(open_->data() + open_->size, data, n);
            grow(n);
            data += n;
            len -= n;
        }
    }

    /// Queues a shared buffer's bytes without copying them (takes a reference).
    void appendShared(SharedBuf* owner, const char* data, std::size_t len) {
        SharedBuf::retain(owner);
        segs_.push_back(Seg{data, len, 0, owner, false});
        add(len);
        tailInOpen_ = false;
    }

    /// Fills up to `max` (pointer, length) pairs from the front; returns how many. `Buf` is
    /// Asio's const_buffer or a POSIX iovec.
    template <class Buf> std::size_t gather(Buf* out, std::size_t max, std::size_t maxBytes) const {
        std::size_t n = 0, total = 0;
        for (std::size_t i = head_; i < segs_.size() && n < max && total < maxBytes; ++i) {
            const Seg& s = segs_[i];
            std::size_t len = s.len - s.sent;
            if (len > maxBytes - total) len = maxBytes - total;
            out[n++] = Buf{const_cast<char*>(s.data + s.sent), len};
            total += len;
        }
        return n;
    }

    /// Drops `n` sent bytes from the front.
    void consume(std::size_t n) {
        TNLRELAY_ASSERT(n <= bytes_ && head_ < segs_.size());
        add(-n);
        while (n > 0) {
            Seg& s = segs_[head_];
            std::size_t left = s.len - s.sent;
            if (n < left) {
                s.sent += n;
                break;
            }
            n -= left;
            dropSeg(s);
            ++head_;
        }
        if (empty()) {
            clear();
        } else if (head_ >= kCompactMin && head_ >= segs_.size() - head_) {
            // A receiver that never quite catches up never empties its queue: the segments it
            // has sent go in bulk, so that they cannot pile up for as long as it stays behind.
            segs_.erase(segs_.begin(), segs_.begin() + head_);
            head_ = 0;
        }
        TNLRELAY_ASSERT(!empty() || bytes_ == 0);
    }

    /// Drops everything queued; an idle connection holds no output storage at all.
    void clear() {
        for (std::size_t i = head_; i < segs_.size(); ++i)
            dropSeg(segs_[i]);
        std::vector<Seg>().swap(segs_);
        head_ = 0;
        add(-bytes_);
        if (open_) releaseChunk(open_);
        open_ = nullptr;
        tailInOpen_ = false;
    }

private:
    struct Seg {
        const char* data;
        std::size_t len;
        std::size_t sent;
        SharedBuf* owner; ///< shared payload, or the chunk the bytes lie in
        bool chunk;
    };

    /// Changes the count of queued bytes (unsigned arithmetic: a drop is a wrapped add).
    void add(std::uint64_t n) {
        bytes_ += n;
        if (total_ && n) *total_ += n;
    }

    /// Bytes were copied to the end of the open chunk, which the last segment ends at.
    void grow(std::size_t n) {
        TNLRELAY_ASSERT(tailInOpen_ && segs_.back().owner == open_);
        segs_.back().len += n;
        open_->size += n;
        add(n);
    }

    void openChunk(std::size_t want) {
        if (open_) releaseChunk(open_);
        open_ = takeChunk(empty() && want <= kFirstChunkBytes ? kFirstChunkBytes : kChunkBytes);
        open_->size = 0;
        tailInOpen_ = false;
    }

    void dropSeg(Seg& s) {
        if (s.chunk)
            releaseChunk(s.owner);
        else
            SharedBuf::release(s.owner);
        s.owner = nullptr;
    }

    static void releaseChunk(SharedBuf* b) {
        TNLRELAY_ASSERT(b->refs > 0);
        if (--b->refs == 0) giveChunk(b);
    }

    static SharedBuf* takeChunk(std::size_t size);
    static void giveChunk(SharedBuf* b);

    std::vector<Seg> segs_;
    std::uint32_t head_ = 0;  ///< the first unsent segment; sent ones are dropped in bulk
    bool tailInOpen_ = false; ///< the last segment ends where the open chunk's bytes end
    std::uint64_t bytes_ = 0;
    std::uint64_t* total_ = nullptr; ///< see countInto
    SharedBuf* open_ = nullptr;      ///< where copied bytes go; one reference held by the queue
};

} // namespace tnlrelay::net
