// Reading: a connection's input is drained without blocking, a few calls per wake-up, and each
// piece goes where the connection's state says: its opening, TLS, HTTP or the frame parser.
#include "LoopInternals.hpp"

namespace tnlrelay::net {

void Loop::Impl::armRead(Conn* c) {
    if (c->readArmed || c->closed || c->paused || c->peerEnded) return;
    c->readArmed = true;
    poller->waitReadable(*this, c);
}

// Reads what has arrived, a few calls at most (others wait too), then waits for more. The
// caller holds the connection.
void Loop::Impl::readAvailable(Conn* c) {
    now = Clock::now();
    beginTurn();
    for (int round = 0; round < kReadRounds; ++round) {
        char* target = scratch.data();
        std::size_t room = scratch.size();
        bool direct = false;
        if (c->frames && !c->opening
#ifdef TNLRELAY_TLS
            && !c->tls
#endif
        ) {
            std::size_t len = 0;
            if (char* p = c->frames->directTarget(kMaxReadBytes, len)) {
                target = p;
                room = len;
                direct = true;
            }
        }
        error_code rec;
        const std::size_t n = poller->read(c, target, room, rec);
        if (rec) {
            poller->ranDry(c); // ran dry, or nothing more will come
            if (rec != asio::error::would_block && rec != asio::error::try_again)
                peerGone(c); // the peer's end, or a reset
            break;
        }
        if (c->kind == Kind::ws) {
            c->lastHeard = now;
            c->pingSent = false;
        }
        if (direct) {
            FrameSink sink{this, c};
            c->frames->directDone(sink, n);
        } else {
            routeInput(c, target, n);
        }
        if (c->closed || c->paused) break;
        if (n < room) {
            if (poller->readOnAfterShortRead(c)) continue;
            poller->ranDry(c);
            break;
        }
    }
    armRead(c);
}

void Loop::Impl::routeInput(Conn* c, char* data, std::size_t n) {
    if (c->opening) {
        c->http->append(data, n);
        readOpening(c);
        return;
    }
#ifdef TNLRELAY_TLS
    if (c->tls) {
        decrypt(c, data, n);
        return;
    }
#endif
    handlePlaintext(c, data, n);
}

// Bytes as the peer meant them: read off the socket, or decrypted.
void Loop::Impl::handlePlaintext(Conn* c, char* data, std::size_t n) {
    if (c->kind == Kind::ws) {
        feedFrames(c, data, n);
        return;
    }
    if (c->draining || stopping) return; // a refused or closing HTTP peer: read and dropped
    c->http->append(data, n);
    processHttp(c);
}

void Loop::Impl::feedFrames(Conn* c, char* data, std::size_t n) {
    FrameSink sink{this, c};
    c->frames->feed(sink, data, n);
}

void FrameSink::onMessage(const char* data, std::size_t len, SharedBuf* owner, int opcode) {
    if (!delivers()) return;
    ++loop->stats.messagesIn;
    loop->stats.bytesIn += len;
    WsMessage wm{Payload(data, len, owner), opcode};
    loop->dispatch(c, Event::wsMsg, &wm);
}

void FrameSink::onControl(int opcode, const char* data, std::size_t len) {
    if (!delivers() || c->sendShut) return;
    if (opcode == kOpPing) {
        if (c->sendable) loop->sendFrame(c, kOpPong, data, len);
    } else if (opcode == kOpClose) {
        // A peer that closes on its own has left now, not when its socket ends; one being
        // drained (kicked, refused) ends with its socket as before.
        if (!c->draining) {
            c->peerLeft = true;
            loop->markDirty(c);
        }
        // Answer with the peer's status code when it is one that may be sent, then close.
        if (len == 0) { // no code to echo: an empty close
            loop->sendFrame(c, kOpClose, data, 0);
            c->closeSent = true;
            c->sendable = false;
            setDraining(c);
            return;
        }
        const std::uint16_t code =
            len >= 2 ? std::uint16_t(std::uint8_t(data[0]) << 8 | std::uint8_t(data[1])) : 0;
        wsClose(c, closeCodeMaySend(code) ? code : kCloseProtocolError);
    }
}

void FrameSink::onProtocolError(std::uint16_t code) {
    if (!delivers() || c->sendShut) return;
    ++(code == kCloseTooBig ? loop->stats.tooBigCloses : loop->stats.protocolErrorCloses);
    wsClose(c, code);
}

} // namespace tnlrelay::net
