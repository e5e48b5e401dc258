// Splits the relay's side of a WebSocket connection into messages, from pieces of any size, and
// hands each data message out as its bytes arrive, so that large messages are never held whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace tnlrelay::bench {

/// What a frame reader reports a fault as.
enum class FrameFault { none, reservedBits, maskedByServer, badOpcode, badControl, badSequence };

/// `Sink` needs: messageStart(int opcode), messageData(const char*, size_t), messageEnd(),
/// control(int opcode, const std::string& payload); and may have wholeMessage(int opcode,
/// const char*, size_t), which then takes a small message that arrived whole in one call.
class FrameReader {
public:
    /// Consumes all of `data`; returns false at the first protocol fault (see `fault()`), after
    /// which the connection is beyond repair.
    template <class Sink> bool feed(const char* data, std::size_t size, Sink& sink);
    FrameFault fault() const { return fault_; }

private:
    template <class Sink> bool headerDone(Sink& sink);
    /// The last payload byte of a frame arrived: a control frame or a whole message is done.
    template <class Sink> void frameDone(Sink& sink);

    unsigned char hdr_[14] = {};
    unsigned hdrHave_ = 0;
    unsigned hdrNeed_ = 2;
    std::uint64_t left_ = 0;
    bool inPayload_ = false;
    bool control_ = false;
    bool fin_ = false;
    int controlOpcode_ = 0;
    bool inMessage_ = false; // a data message started and its final frame is still to come
    std::string controlPayload_;
    FrameFault fault_ = FrameFault::none;
};

template <class Sink> bool FrameReader::feed(const char* data, std::size_t size, Sink& sink) {
    if (fault_ != FrameFault::none) return false;
    while (size) {
        if (!inPayload_) {
            if (hdrHave_ == 0 && !inMessage_ && size >= 2) {
                // The commonest case of all: a whole small, final, unmasked data frame.
                const unsigned b0 = static_cast<unsigned char>(data[0]);
                const unsigned len = static_cast<unsigned char>(data[1]);
                if ((b0 == 0x81 || b0 == 0x82) && len < 126 && size >= 2 + len) {
                    const int opcode = static_cast<int>(b0 & 0x0F);
                    if constexpr (requires { sink.wholeMessage(opcode, data, std::size_t(len)); }) {
                        sink.wholeMessage(opcode, data + 2, len);
                    } else {
                        sink.messageStart(opcode);
                        if (len) sink.messageData(data + 2, len);
                        sink.messageEnd();
                    }
                    data += 2 + len;
                    size -= 2 + len;
                    continue;
                }
            }
            if (hdrHave_ == 0 && size >= 2) { // the usual case: a whole header in this piece
                const unsigned len7 = static_cast<unsigned char>(data[1]) & 0x7F;
                const unsigned need = 2 +
                                      (len7 == 126   ? 2
                                       : len7 == 127 ? 8
                                                     : 0) +
                                      ((static_cast<unsigned char>(data[1]) & 0x80) ? 4 : 0);
                if (size >= need) {
                    std::memcpy(hdr_, data, need);
                    data += need;
                    size -= need;
                    if (!headerDone(sink)) return false;
                    continue;
                }
            }
            while (size && hdrHave_ < hdrNeed_) {
                hdr_[hdrHave_++] = static_cast<unsigned char>(*data++);
                --size;
                if (hdrHave_ == 2) {
                    const unsigned len7 = hdr_[1] & 0x7F;
                    hdrNeed_ = 2 +
                               (len7 == 126   ? 2
                                : len7 == 127 ? 8
                                              : 0) +
                               ((hdr_[1] & 0x80) ? 4 : 0);
                }
            }
            if (hdrHave_ < hdrNeed_) return true;
            if (!headerDone(sink)) return false;
            continue;
        }
        const std::size_t n = left_ < size ? static_cast<std::size_t>(left_) : size;
        if (control_)
            controlPayload_.append(data, n);
        else if (n)
            sink.messageData(data, n);
        data += n;
        size -= n;
        left_ -= n;
        if (left_ == 0) frameDone(sink);
    }
    return true;
}

template <class Sink> bool FrameReader::headerDone(Sink& sink) {
    const unsigned b0 = hdr_[0];
    const unsigned b1 = hdr_[1];
    hdrHave_ = 0;
    hdrNeed_ = 2;
    if (b0 & 0x70) return fault_ = FrameFault::reservedBits, false;
    if (b1 & 0x80) return fault_ = FrameFault::maskedByServer, false;
    const int opcode = b0 & 0x0F;
    fin_ = (b0 & 0x80) != 0;
    std::uint64_t len = b1 & 0x7F;
    if (len == 126) {
        len = (std::uint64_t(hdr_[2]) << 8) | hdr_[3];
    } else if (len == 127) {
        len = 0;
        for (int i = 2; i < 10; ++i)
            len = (len << 8) | hdr_[i];
    }
    control_ = opcode >= 8;
    if (control_) {
        if (opcode > 10) return fault_ = FrameFault::badOpcode, false;
        if (!fin_ || len > 125) return fault_ = FrameFault::badControl, false;
        controlOpcode_ = opcode;
        controlPayload_.clear();
    } else if (opcode == 0) {
        if (!inMessage_) return fault_ = FrameFault::badSequence, false;
    } else if (opcode == 1 || opcode == 2) {
        if (inMessage_) return fault_ = FrameFault::badSequence, false;
        inMessage_ = true;
        sink.messageStart(opcode);
    } else {
        return fault_ = FrameFault::badOpcode, false;
    }
    left_ = len;
    inPayload_ = true;
    if (len == 0) frameDone(sink);
    return true;
}

template <class Sink> void FrameReader::frameDone(Sink& sink) {
    inPayload_ = false;
    if (control_) {
        sink.control(controlOpcode_, controlPayload_);
    } else if (fin_) {
        inMessage_ = false;
        sink.messageEnd();
    }
}

} // namespace tnlrelay::bench
