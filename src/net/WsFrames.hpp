// WebSocket frames after the handshake: the incremental parser of client frames (unmasking,
// fragments with control frames between them, the size limits, protocol errors), the header
// of outgoing frames, and the handshake's accept key.
#pragma once

#include "Buffers.hpp"
#include "Net.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tnlrelay::net {

constexpr int kOpContinuation = 0;
constexpr int kOpClose = 8;
constexpr int kOpPing = 9;
constexpr int kOpPong = 10;

constexpr std::uint16_t kCloseGoingAway = 1001;
constexpr std::uint16_t kCloseProtocolError = 1002;
constexpr std::uint16_t kCloseTooBig = 1009;

/// Whether a close frame may carry this status code: 1000-1003, 1007-1014 and 3000-4999.
/// Others (1004-1006 and 1015 are reserved, 1016-2999 unassigned) are a protocol error.
constexpr bool closeCodeMaySend(std::uint16_t code) {
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
           (code >= 3000 && code <= 4999);
}

/// Writes the header of an unmasked, final frame; returns its length (2, 4 or 10 bytes).
std::size_t writeFrameHeader(char* out, int opcode, std::uint64_t payloadLen);

/// Sec-WebSocket-Accept for a Sec-WebSocket-Key: base64(SHA-1(key + the protocol's GUID)).
std::string wsAcceptKey(std::string_view key);

/// The inbound limits of one loop: the largest message, and the bytes that incomplete messages
/// may hold over all its connections together.
struct InboundBudget {
    std::uint64_t maxMessage = 268435456;
    std::uint64_t used = 0;
    std::uint64_t limit = 1ull << 30;
};

/// Parses the frames a client sends. Complete data messages go to the sink whole; small
/// single-frame messages are delivered where they lie in the input (unmasked in place), larger
/// or fragmented ones are assembled in a SharedBuf that receivers can share.
///
/// Sink interface:
///   void onMessage(const char* data, size_t len, SharedBuf* owner, int opcode);
///   void onControl(int opcode, const char* data, size_t len);
///   void onProtocolError(uint16_t closeCode);
class FrameParser {
public:
    /// Single-frame messages up to this size are delivered in place.
    static constexpr std::size_t kInPlaceMax = 64 * 1024;
    /// The buffer of a large message's last frame has this much room past the frame's end, so
    /// that the read that ends the frame also takes the next frame's header and first bytes
    /// (one read per frame instead of two). Frames that large, and their buffers, are pooled.
    static constexpr std::size_t kReadAhead = 64 * 1024;

    explicit FrameParser(InboundBudget* budget) : budget_(budget) {}
    FrameParser(const FrameParser&) = delete;
    FrameParser& operator=(const FrameParser&) = delete;
    ~FrameParser() { dropMessage(); }

    /// Consumes bytes (which it may modify). False once an error was reported; from then on it
    /// ignores whatever it is fed.
    template <class Sink> bool feed(Sink& sink, char* data, std::size_t len);

    /// While inside a long data frame, the place to read the next bytes straight into, and how
    /// many (at most `maxLen`); null otherwise. Follow with `directDone`. For a message's last
    /// frame the place may reach past the frame's end: what lands there is parsed as input.
    char* directTarget(std::size_t maxLen, std::size_t& len);
    template <class Sink> bool directDone(Sink& sink, std::size_t n);

private:
    enum class State : std::uint8_t { header, payload, failed };

    /// The length of a frame header, from its second byte.
    static std::size_t headerLength(std::uint8_t b1) {
        return 2 + ((b1 & 0x7F) == 126 ? 2 : (b1 & 0x7F) == 127 ? 8 : 0) + ((b1 & 0x80) ? 4 : 0);
    }
    /// The payload length a whole header announces.
    static std::uint64_t payloadLength(const std::uint8_t* hdr) {
        const std::uint8_t l7 = hdr[1] & 0x7F;
        if (l7 < 126) return l7;
        if (l7 == 126) return (std::uint64_t(hdr[2]) << 8) | hdr[3];
        std::uint64_t len = 0;
        for (int i = 0; i < 8; ++i)
            len = (len << 8) | hdr[2 + i];
        return len;
    }

    template <class Sink> bool deliverInPlace(Sink& sink, char*& data, std::size_t& len);
    bool gatherHeader(char*& data, std::size_t& len);
    template <class Sink> bool startFrame(Sink& sink);
    template <class Sink> bool takePayload(Sink& sink, char*& data, std::size_t& len);
    template <class Sink> bool finishFrame(Sink& sink);
    template <class Sink> bool fail(Sink& sink, std::uint16_t closeCode);
    void checkState() const;
    bool reserve(std::size_t extra);
    void unmaskInto(char* dst, const char* src, std::size_t n);
    void dropMessage();

    InboundBudget* budget_;

    State state_ = State::header;
    std::uint8_t hdr_[14];
    std::uint8_t hdrLen_ = 0;
    std::uint8_t opcode_ = 0; ///< of the current frame
    bool fin_ = false;
    bool masked_ = false;
    std::uint8_t mask_[4] = {0, 0, 0, 0};
    std::uint8_t maskPos_ = 0;
    std::uint8_t msgOpcode_ = 0; ///< opcode of the message being assembled, 0 when none
    std::uint8_t ctrlLen_ = 0;
    // (The small members above share words: every joined connection holds a parser.)
    std::uint64_t remaining_ = 0; ///< payload bytes of the current frame still to come
    SharedBuf* msg_ = nullptr;    ///< the message being assembled

    /// Payload of a control frame in progress (at most 125 bytes), allocated on first use:
    /// idle connections should cost little.
    std::unique_ptr<std::uint8_t[]> ctrl_;
};

// ---- implementation of the templates ----

inline void FrameParser::unmaskInto(char* dst, const char* src, std::size_t n) {
    if (!masked_) {
        if (dst != src) std::memcpy(dst, src, n);
        return;
    }
    std::size_t i = 0;
    // Word-at-a-time once the mask is aligned with the position.
    std::uint8_t pos = maskPos_;
    for (; i < n && (pos & 3) != 0; ++i, ++pos)
        dst[i] = char(src[i] ^ mask_[pos & 3]);
    std::uint64_t m8;
    std::uint8_t m[8] = {mask_[0], mask_[1], mask_[2], mask_[3],
                         mask_[0], mask_[1], mask_[2], mask_[3]};
    std::memcpy(&m8, m, 8);
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, src + i, 8);
        w ^= m8;
        std::memcpy(dst + i, &w, 8);
    }
    for (; i < n; ++i, ++pos)
        dst[i] = char(src[i] ^ mask_[pos & 3]);
    maskPos_ = std::uint8_t(pos & 3);
}

// Reports a violation and stops: nothing after it is parsed.
template <class Sink> bool FrameParser::fail(Sink& sink, std::uint16_t closeCode) {
    state_ = State::failed;
    dropMessage();
    sink.onProtocolError(closeCode);
    return false;
}

// A whole small single-frame data message lying in the input is delivered where it lies,
// unmasked in place. False (consuming nothing) for anything else.
template <class Sink> bool FrameParser::deliverInPlace(Sink& sink, char*& data, std::size_t& len) {
    if (len < 2) return false;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    const int op = bytes[0] & 0x7F; // with the final bit set: rsv clear and a data opcode
    if (!(bytes[0] & 0x80) || (op != kOpText && op != kOpBinary)) return false;
    const std::size_t hlen = headerLength(bytes[1]);
    if (len < hlen) return false;
    const std::uint64_t plen = payloadLength(bytes);
    if (plen > kInPlaceMax || plen > budget_->maxMessage || plen > len - hlen) return false;
    char* payload = data + hlen;
    masked_ = (bytes[1] & 0x80) != 0;
    if (masked_) {
        std::memcpy(mask_, payload - 4, 4);
        maskPos_ = 0;
        unmaskInto(payload, payload, std::size_t(plen));
    }
    data += hlen + plen;
    len -= hlen + plen;
    sink.onMessage(payload, std::size_t(plen), nullptr, op);
    return true;
}

// Gathers the header, which may arrive in pieces; true once it is whole.
inline bool FrameParser::gatherHeader(char*& data, std::size_t& len) {
    std::size_t need = hdrLen_ >= 2 ? headerLength(hdr_[1]) : 2;
    while (hdrLen_ < need && len > 0) {
        hdr_[hdrLen_++] = std::uint8_t(*data++);
        --len;
        if (hdrLen_ == 2) need = headerLength(hdr_[1]);
    }
    return hdrLen_ >= need;
}

// Checks a whole header against the protocol and the limits, and sets up its payload.
template <class Sink> bool FrameParser::startFrame(Sink& sink) {
    const std::uint8_t b0 = hdr_[0], b1 = hdr_[1];
    fin_ = (b0 & 0x80) != 0;
    opcode_ = b0 & 0x0F;
    masked_ = (b1 & 0x80) != 0;
    const std::uint64_t len = payloadLength(hdr_);
    if (masked_) std::memcpy(mask_, hdr_ + headerLength(b1) - 4, 4);
    maskPos_ = 0;
    remaining_ = len;

    if (b0 & 0x70) return fail(sink, kCloseProtocolError);
    switch (opcode_) {
    case kOpContinuation:
        if (msgOpcode_ == 0) return fail(sink, kCloseProtocolError);
        break;
    case kOpText:
    case kOpBinary:
        if (msgOpcode_ != 0) return fail(sink, kCloseProtocolError);
        break;
    case kOpClose:
    case kOpPing:
    case kOpPong:
        if (!fin_ || len > 125) return fail(sink, kCloseProtocolError);
        ctrlLen_ = 0;
        break;
    default:
        return fail(sink, kCloseProtocolError);
    }
    if (len >> 63) return fail(sink, kCloseProtocolError);
    if (opcode_ < 8) {
        const std::uint64_t sofar = msg_ ? msg_->size : 0;
        if (len > budget_->maxMessage || sofar + len > budget_->maxMessage)
            return fail(sink, kCloseTooBig);
        if (opcode_ != kOpContinuation) msgOpcode_ = opcode_;
    }
    state_ = State::payload;
    return true;
}

// Takes what has arrived of the current frame's payload.
template <class Sink> bool FrameParser::takePayload(Sink& sink, char*& data, std::size_t& len) {
    const std::size_t n = remaining_ < len ? std::size_t(remaining_) : len;
    if (opcode_ >= 8) {
        if (!ctrl_) ctrl_ = std::make_unique<std::uint8_t[]>(125);
        unmaskInto(reinterpret_cast<char*>(ctrl_.get()) + ctrlLen_, data, n);
        ctrlLen_ = std::uint8_t(ctrlLen_ + n);
    } else {
        if (!reserve(n)) return fail(sink, kCloseTooBig);
        unmaskInto(msg_->data() + msg_->size, data, n);
        msg_->size += n;
    }
    data += n;
    len -= n;
    remaining_ -= n;
    return remaining_ != 0 || finishFrame(sink);
}

template <class Sink> bool FrameParser::finishFrame(Sink& sink) {
    state_ = State::header;
    hdrLen_ = 0;
    if (opcode_ >= 8) {
        sink.onControl(opcode_, reinterpret_cast<const char*>(ctrl_.get()), ctrlLen_);
        return true;
    }
    if (!fin_) return true;
    const int op = msgOpcode_;
    msgOpcode_ = 0;
    if (!msg_) {
        sink.onMessage("", 0, nullptr, op);
        return true;
    }
    SharedBuf* m = msg_;
    msg_ = nullptr;
    budget_->used -= m->cap;
    sink.onMessage(m->data(), m->size, m, op);
    SharedBuf::release(m);
    return true;
}

// What holds between frames and inside one; checked where the parser is entered.
inline void FrameParser::checkState() const {
    TNLRELAY_ASSERT(state_ != State::header || hdrLen_ < sizeof hdr_);
    TNLRELAY_ASSERT(state_ != State::payload || remaining_ > 0);
    TNLRELAY_ASSERT(msgOpcode_ != 0 || msg_ == nullptr);
    TNLRELAY_ASSERT(!msg_ || (msg_->size <= msg_->cap && budget_->used >= msg_->cap));
    TNLRELAY_ASSERT(budget_->used <= budget_->limit);
    TNLRELAY_ASSERT(ctrlLen_ <= 125);
}

template <class Sink> bool FrameParser::feed(Sink& sink, char* data, std::size_t len) {
    checkState();
    while (len > 0) {
        switch (state_) {
        case State::failed:
            return false;
        case State::header:
            if (hdrLen_ == 0 && msgOpcode_ == 0 && deliverInPlace(sink, data, len)) break;
            if (!gatherHeader(data, len)) return true;
            if (!startFrame(sink)) return false;
            if (remaining_ == 0 && !finishFrame(sink)) return false;
            break;
        case State::payload:
            if (!takePayload(sink, data, len)) return false;
            break;
        }
    }
    return state_ != State::failed;
}

inline bool FrameParser::reserve(std::size_t extra) {
    const std::size_t size = msg_ ? msg_->size : 0;
    const std::size_t cap = msg_ ? msg_->cap : 0;
    if (size + extra <= cap) return true;
    // Grow with the bytes that arrive (doubling), never past what the frame still announces,
    // but for the read-ahead room of a large last frame.
    std::size_t want = cap * 2 > 4096 ? cap * 2 : 4096;
    const std::uint64_t frameEnd = size + remaining_;
    const std::uint64_t limit =
        fin_ && frameEnd >= SharedBuf::kPoolMin ? frameEnd + kReadAhead : frameEnd;
    if (want >= frameEnd) want = std::size_t(limit);
    if (want < size + extra) want = size + extra;
    if (!msg_) {
        // A buffer let go by an earlier message may take this whole frame without growing.
        if (SharedBuf* b = SharedBuf::takePooled(want, std::size_t(limit))) {
            if (budget_->used + b->cap <= budget_->limit) {
                budget_->used += b->cap;
                msg_ = b;
                return true;
            }
            SharedBuf::release(b);
        }
    }
    if (budget_->used - cap + want > budget_->limit) return false;
    budget_->used = budget_->used - cap + want;
    msg_ = msg_ ? SharedBuf::grow(msg_, want) : SharedBuf::create(want);
    return true;
}

inline char* FrameParser::directTarget(std::size_t maxLen, std::size_t& len) {
    if (state_ != State::payload || opcode_ >= 8 || remaining_ < 4096) return nullptr;
    const std::size_t size = msg_ ? msg_->size : 0;
    if (!msg_ || msg_->cap - size < 4096) {
        // Grow by doubling as the bytes arrive; the ordinary path reports an overflow.
        std::uint64_t step = size > 4096 ? size : 4096;
        if (!reserve(std::size_t(remaining_ < step ? remaining_ : step))) return nullptr;
    }
    std::size_t n = msg_->cap - msg_->size;
    // Only a last frame reads ahead: the next frame of the same message would be appended
    // where the bytes read ahead lie.
    if (!fin_ && n > remaining_) n = std::size_t(remaining_);
    if (n > maxLen) n = maxLen;
    len = n;
    return msg_->data() + msg_->size;
}

template <class Sink> bool FrameParser::directDone(Sink& sink, std::size_t n) {
    TNLRELAY_ASSERT(state_ == State::payload && opcode_ < 8 && msg_ != nullptr);
    TNLRELAY_ASSERT((n <= remaining_ || fin_) && msg_->size + n <= msg_->cap);
    const std::size_t take = n < remaining_ ? n : std::size_t(remaining_);
    char* p = msg_->data() + msg_->size;
    unmaskInto(p, p, take);
    msg_->size += take;
    remaining_ -= take;
    if (remaining_ != 0) return true;
    if (take == n) return finishFrame(sink);
    // Bytes past the frame's end begin the next frames. The buffer they lie in is held while
    // they are parsed: delivered and let go by every receiver, it would otherwise go back to
    // the allocator (when the pool is full) before they are read.
    SharedBuf* in = msg_;
    SharedBuf::retain(in);
    const bool ok = finishFrame(sink) && feed(sink, p + take, n - take);
    SharedBuf::release(in);
    return ok;
}

inline void FrameParser::dropMessage() {
    if (msg_) {
        budget_->used -= msg_->cap;
        SharedBuf::release(msg_);
        msg_ = nullptr;
    }
}

} // namespace tnlrelay::net
