// Writing a connection's queue: gathered writes of plain bytes, or TLS records sealed from the
// queue's chunks where they lie; what the socket does not take waits for writability.
#include "LoopInternals.hpp"

#include <algorithm>

namespace tnlrelay::net {

// After a write call: true when writing stops, either to wait for writability or because the
// peer is gone (the queue is dropped and the connection ends).
bool Loop::Impl::writeStopped(Conn* c, const error_code& ec) {
    if (!ec) return false;
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
        armWrite(c);
    } else {
        c->out.clear();
        peerGone(c);
    }
    return true;
}

// Writes the queue; false when the rest waits for writability or the connection closed.
bool Loop::Impl::writePlain(Conn* c) {
    while (!c->out.empty()) {
        error_code ec;
        std::size_t offered = 0;
        const std::size_t written = poller->writeQueue(*this, c, offered, ec);
        if (writeStopped(c, ec)) return false;
        c->out.consume(written);
        if (written < offered) { // the socket is full: another call would only say so
            armWrite(c);
            return false;
        }
    }
    return true;
}

#ifdef TNLRELAY_TLS
// Encrypts the queue in full records (one per 16 KiB of gathered frames, not one per frame),
// sealed from the queue's chunks where they lie, into the loop's shared buffer and writes
// that, at most one write's worth at a time. Only ciphertext the socket did not take is kept,
// in the session, and it leaves before any more.
bool Loop::Impl::writeTls(Conn* c) {
    TlsSession& tls = *c->tls;
    if (tlsRecord.empty()) {
        tlsRecord.resize(kTlsRecord);
        tlsCipher.reserve(kTlsAhead + 2 * kTlsRecord);
    }
    while (true) {
        if (const std::size_t pending = std::min(tls.pendingCipher(), kTlsAhead)) {
            error_code ec;
            const std::size_t written =
                poller->write(c, tls.cipherOut.data() + tls.cipherAt, pending, ec);
            if (writeStopped(c, ec)) return false;
            tls.consumeCipher(written);
            if (written < pending) { // the socket is full
                armWrite(c);
                return false;
            }
            continue;
        }
        tlsCipher.clear();
        while (!c->out.empty() && tlsCipher.size() < kTlsAhead) {
            TlsSession::Piece pieces[kPortableGather];
            const std::size_t n = c->out.gather(pieces, kPortableGather, kTlsRecord);
            std::size_t len = 0;
            for (std::size_t i = 0; i < n; ++i)
                len += pieces[i].len;
            if (!tls.encrypt(pieces, n, tlsCipher, tlsRecord.data())) {
                c->out.clear();
                closeNow(c);
                return false;
            }
            c->out.consume(len);
        }
        if (c->out.empty() && c->draining) tls.shutdown(tlsCipher);
        if (tlsCipher.empty()) return true;
        error_code ec;
        const std::size_t written = poller->write(c, tlsCipher.data(), tlsCipher.size(), ec);
        const bool full = ec == asio::error::would_block || ec == asio::error::try_again;
        if (full || (!ec && written < tlsCipher.size())) {
            tls.cipherOut.assign(tlsCipher, full ? 0 : written);
            armWrite(c);
            return false;
        }
        if (writeStopped(c, ec)) return false;
    }
}
#endif

} // namespace tnlrelay::net
