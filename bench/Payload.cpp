// Pattern generation and streaming verification of benchmark payloads. Both run on every byte
// the generator moves, so they work a 64-bit word at a time.
#include "Payload.hpp"

#include <cstring>

namespace tnlrelay::bench {

namespace {

constexpr std::uint64_t kStep = 0x9E3779B97F4A7C15ull;

std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Every field of the head feeds the seed, so a corrupted head shows up as a pattern mismatch.
std::uint64_t seedOf(const PayloadHead& h) {
    return mix(((std::uint64_t(h.sender) << 32) | h.seq) ^ (h.sentNs * kStep));
}

// Word k of the pattern covers payload bytes kPayloadHeader + 8k .. +7, little-endian.
std::uint64_t patternWord(std::uint64_t seed, std::uint64_t k) {
    return seed + (k + 1) * kStep;
}

void putLe32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void putLe64(unsigned char* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint64_t getLe64(const unsigned char* p) { // little-endian host, as fillPayload assumes
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

std::uint32_t getLe32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

} // namespace

void fillPayload(char* dst, std::size_t size, const PayloadHead& head, std::uint32_t maskKey) {
    auto* out = reinterpret_cast<unsigned char*>(dst);
    unsigned char headBytes[kPayloadHeader];
    putLe32(headBytes, head.sender);
    putLe32(headBytes + 4, head.seq);
    putLe64(headBytes + 8, head.sentNs);
    unsigned char key[4];
    putLe32(key, maskKey);
    for (std::size_t i = 0; i < kPayloadHeader; ++i)
        out[i] = headBytes[i] ^ key[i % 4];

    // The pattern starts at a multiple of four, so the mask repeats whole within each word.
    const std::uint64_t mask64 = std::uint64_t(maskKey) | (std::uint64_t(maskKey) << 32);
    const std::uint64_t seed = seedOf(head);
    const std::size_t words = (size - kPayloadHeader) / 8;
    unsigned char* p = out + kPayloadHeader;
    for (std::size_t k = 0; k < words; ++k) {
        // Little-endian host: the word's bytes land in pattern order.
        std::uint64_t w = patternWord(seed, k) ^ mask64;
        std::memcpy(p + 8 * k, &w, 8);
    }
    const std::size_t tail = (size - kPayloadHeader) % 8;
    if (tail) {
        unsigned char last[8];
        putLe64(last, patternWord(seed, words) ^ mask64);
        std::memcpy(p + 8 * words, last, tail);
    }
}

void PayloadCheck::reset() {
    pos_ = 0;
    bad_ = false;
    seed_ = 0;
}

void PayloadCheck::takeHead(const unsigned char* p) {
    head_.sender = getLe32(p);
    head_.seq = getLe32(p + 4);
    head_.sentNs = getLe64(p + 8);
    seed_ = seedOf(head_);
}

void PayloadCheck::feed(const char* data, std::size_t size) {
    auto* p = reinterpret_cast<const unsigned char*>(data);
    if (pos_ == 0 && size >= kPayloadHeader) { // the usual case: the head arrives in one piece
        takeHead(p);
        p += kPayloadHeader;
        size -= kPayloadHeader;
        pos_ = kPayloadHeader;
    }
    while (size && pos_ < kPayloadHeader) {
        headBytes_[pos_++] = *p++;
        --size;
        if (pos_ == kPayloadHeader) takeHead(headBytes_);
    }
    if (size) feedPattern(p, size);
}

void PayloadCheck::whole(const char* data, std::size_t size) {
    reset();
    if (size < kPayloadHeader) return feed(data, size);
    auto* p = reinterpret_cast<const unsigned char*>(data);
    takeHead(p);
    pos_ = kPayloadHeader;
    feedPattern(p + kPayloadHeader, size - kPayloadHeader);
}

void PayloadCheck::feedPattern(const unsigned char* p, std::size_t n) {
    std::uint64_t off = pos_ - kPayloadHeader;
    pos_ += n;
    // Bytes up to the next word boundary, one at a time.
    while (n && (off % 8)) {
        const std::uint64_t w = patternWord(seed_, off / 8);
        if (*p != static_cast<unsigned char>(w >> (8 * (off % 8)))) bad_ = true;
        ++p, ++off, --n;
    }
    const std::size_t words = n / 8;
    std::uint64_t diff = 0;
    std::uint64_t expect = patternWord(seed_, off / 8);
    for (std::size_t k = 0; k < words; ++k, expect += kStep) {
        std::uint64_t v;
        std::memcpy(&v, p + 8 * k, 8);
        diff |= v ^ expect;
    }
    if (diff) bad_ = true;
    p += 8 * words;
    off += 8 * words;
    n -= 8 * words;
    while (n) {
        const std::uint64_t w = patternWord(seed_, off / 8);
        if (*p != static_cast<unsigned char>(w >> (8 * (off % 8)))) bad_ = true;
        ++p, ++off, --n;
    }
}

} // namespace tnlrelay::bench
