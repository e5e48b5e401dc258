// WebSocket sending: frames queued on a connection, and the cache that builds a broadcast frame
// once for all its receivers (small frames copied whole, large payloads shared, never copied per
// receiver).
#include "LoopInternals.hpp"

#include <cstring>

namespace tnlrelay::net {

// Queues a close frame with a status code; nothing may be sent after it.
void Loop::Impl::sendClose(Conn* c, std::uint16_t code) {
    const char status[2] = {char(code >> 8), char(code & 0xFF)};
    sendFrame(c, kOpClose, status, 2);
    c->closeSent = true;
    c->sendable = false;
}

void Loop::Impl::sendFrame(Conn* c, int opcode, const char* data, std::size_t len) {
    char header[10];
    c->out.append(header, writeFrameHeader(header, opcode, len));
    c->out.append(data, len);
    markDirty(c);
}

// The shared copy of a payload delivered where it lies in the input, and the length of the
// frame that starts at its data (header and payload), or 0 when the header written there is
// another opcode's.
SharedBuf* Loop::Impl::shareInputPayload(const Payload& p, int opcode, std::size_t& frameLen) {
    if (!inputCopy || inputCopySrc != p.data() || inputCopy->size != kFrameHeaderRoom + p.size()) {
        dropFrameCache();
        inputCopy = SharedBuf::create(kFrameHeaderRoom + p.size());
        std::memcpy(inputCopy->data() + kFrameHeaderRoom, p.data(), p.size());
        inputCopy->size = kFrameHeaderRoom + p.size();
        inputCopySrc = p.data();
        char header[kFrameHeaderRoom];
        inputCopyHeaderLen = writeFrameHeader(header, opcode, p.size());
        std::memcpy(inputCopy->data() + kFrameHeaderRoom - inputCopyHeaderLen, header,
                    inputCopyHeaderLen);
        inputCopyOpcode = opcode;
    }
    frameLen = opcode == inputCopyOpcode ? inputCopyHeaderLen + p.size() : 0;
    return inputCopy;
}

void Loop::Impl::settleFrameSends() {
    stats.messagesOut += smallFrameSends;
    stats.bytesOut += smallFrameSends * smallFrameSrcLen;
    smallFrameSends = 0;
}

void Loop::Impl::dropFrameCache() {
    settleFrameSends();
    smallFrameOpcode = -1;
    if (inputCopy) {
        SharedBuf::release(inputCopy);
        inputCopy = nullptr;
        inputCopySrc = nullptr;
        inputCopyOpcode = -1;
    }
}

namespace {

// A large payload: shared by every receiver's queue, copied once if it lies in the input.
void queueShared(Loop::Impl& m, Conn* c, const Payload& payload, int opcode) {
    const std::size_t size = payload.size();
    SharedBuf* owner = static_cast<SharedBuf*>(payload.owner());
    const char* data = payload.data();
    if (!owner) {
        std::size_t frameLen = 0;
        owner = m.shareInputPayload(payload, opcode, frameLen);
        data = owner->data() + kFrameHeaderRoom;
        if (frameLen) { // header and payload in one piece
            c->out.appendShared(owner, data + size - frameLen, frameLen);
            return;
        }
    }
    char header[kFrameHeaderRoom];
    c->out.appendSmall(header, writeFrameHeader(header, opcode, size));
    c->out.appendShared(owner, data, size);
}

/// The rarer sends: a frame not built yet, a large payload, a queue that passed its limit.
[[gnu::noinline]] void wsSendSlow(Conn* c, const Payload& payload, int opcode) {
    Loop::Impl& m = *c->loop;
    const std::size_t size = payload.size();
    ++m.stats.messagesOut;
    m.stats.bytesOut += size;
    if (size <= OutQueue::kCopyMax) {
        // One message usually goes to many receivers: its frame is built once.
        m.settleFrameSends();
        const std::size_t headerLen = writeFrameHeader(m.smallFrame, opcode, size);
        if (size) std::memcpy(m.smallFrame + headerLen, payload.data(), size);
        m.smallFrameLen = headerLen + size;
        m.smallFrameSrc = payload.data();
        m.smallFrameSrcLen = size;
        m.smallFrameOpcode = opcode;
        c->out.appendFrame(m.smallFrame, m.smallFrameLen);
    } else {
        queueShared(m, c, payload, opcode);
    }
    // A receiver that does not read is cut off before its queue can exhaust memory.
    if (c->out.bytes() > m.limits.maxQueuedBytes &&
        c->out.bytesBehindFirst() > m.limits.maxQueuedBytes)
        c->hardClose = true, c->sendable = false, c->cutSlow = true, ++m.stats.slowReadersCut;
    if (!c->dirty || c->hardClose) m.markDirty(c, c->hardClose);
}

} // namespace

void wsSend(Conn* c, const Payload& payload, int opcode) {
    if (!c->sendable) return;
    Loop::Impl& m = *c->loop;
    if (m.smallFrameSrc == payload.data() && m.smallFrameSrcLen == payload.size() &&
        m.smallFrameOpcode == opcode && c->out.bytes() < m.limits.maxQueuedBytes) {
        ++m.smallFrameSends;
        c->out.appendFrame(m.smallFrame, m.smallFrameLen);
        if (!c->dirty) m.markDirty(c, false);
        return;
    }
    wsSendSlow(c, payload, opcode);
}

} // namespace tnlrelay::net
