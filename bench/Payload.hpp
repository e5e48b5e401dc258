// The content of every benchmark message: who sent it, its number, when it left, and a pattern
// derived from those three that lets a receiver check every byte while the message streams in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tnlrelay::bench {

/// sender id, sequence number, send time: the fixed head of every message.
constexpr std::size_t kPayloadHeader = 16;

struct PayloadHead {
    std::uint32_t sender = 0;
    std::uint32_t seq = 0;
    std::uint64_t sentNs = 0;
};

/// Writes a whole payload of `size` bytes (at least kPayloadHeader) into `dst`, XORed with the
/// four-byte WebSocket mask `maskKey` (pass 0 for unmasked bytes, as the tests do).
void fillPayload(char* dst, std::size_t size, const PayloadHead& head, std::uint32_t maskKey);

/// Checks a payload that arrives in pieces of any size. Feed the pieces in order; after the last
/// one, `ok()` tells whether every byte matched the pattern its own head announces.
class PayloadCheck {
public:
    void reset();
    void feed(const char* data, std::size_t size);
    /// The same as `reset` and one `feed` of the whole payload, in one pass: the generator
    /// checks most messages this way, since a read mostly holds them whole.
    void whole(const char* data, std::size_t size);
    /// Bytes fed since the last reset.
    std::uint64_t size() const { return pos_; }
    /// True when at least the head arrived and nothing differed from the pattern.
    bool ok() const { return pos_ >= kPayloadHeader && !bad_; }
    const PayloadHead& head() const { return head_; }

private:
    void takeHead(const unsigned char* p);
    void feedPattern(const unsigned char* p, std::size_t n);

    unsigned char headBytes_[kPayloadHeader] = {};
    PayloadHead head_;
    std::uint64_t seed_ = 0;
    std::uint64_t pos_ = 0;
    bool bad_ = false;
};

} // namespace tnlrelay::bench
