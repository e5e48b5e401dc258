// A connection's first bytes: a PROXY header from a trusted proxy, then either a TLS handshake
// or plain HTTP; and, with TLS, the records that arrive after it, decrypted.
#include "LoopInternals.hpp"
#include "ProxyHeader.hpp"

#include <algorithm>
#include <cstring>

namespace tnlrelay::net {

// The first bytes of a connection: a PROXY header from a trusted proxy, then either a TLS
// handshake or plain HTTP.
void Loop::Impl::readOpening(Conn* c) {
    std::string& in = c->http->input();
    const ListenOptions& options = c->listener->options;
    if (options.proxyHeader && mayBeProxyHeader(in)) {
        const ProxyHeader h = parseProxyHeader(in);
        // One header per connection, at its start: after one (even one that named nobody, such
        // as PROXY UNKNOWN or a LOCAL command), another would let the client choose its address.
        if (c->proxied && h.status != ProxyHeader::Status::needMore) {
            closeNow(c);
            return;
        }
        if (h.status == ProxyHeader::Status::needMore) {
            // A prefix such as "P" may still be an ordinary "POST": wait, but never for long.
            if (in.size() < 12) return;
        }
        // Only a trusted proxy may say whose connection this is; anyone else trying is refused.
        if (h.status == ProxyHeader::Status::invalid || !trustedProxies.contains(peerAddress(c))) {
            closeNow(c);
            return;
        }
        if (h.status == ProxyHeader::Status::needMore) return;
        if (h.source) {
            const std::string text = formatIp(*h.source);
            c->peerLen = static_cast<std::uint8_t>(std::min(text.size(), sizeof c->peer));
            std::memcpy(c->peer, text.data(), c->peerLen);
        }
        in.erase(0, h.length);
        c->proxied = true;
        if (in.empty()) return; // the next bytes decide the rest
    }
    if (in.empty()) return;
    c->opening = false;
#ifdef TNLRELAY_TLS
    if (options.tls && tlsContext.active()) {
        if (static_cast<unsigned char>(in[0]) == 0x16) {
            c->tls = std::make_unique<TlsSession>(tlsContext.get());
            if (!c->tls->valid()) {
                closeNow(c);
                return;
            }
            std::string first = std::move(in);
            in.clear();
            decrypt(c, first.data(), first.size());
            return;
        }
        if (options.tlsOnly) {
            c->keepAlive = false;
            reply(c, 400, "", "this port speaks TLS only: use https:// or wss://\n");
            return;
        }
    }
#endif
    processHttp(c);
}

#ifdef TNLRELAY_TLS
void Loop::Impl::decrypt(Conn* c, char* data, std::size_t n) {
    if (tlsPlain.empty()) tlsPlain.resize(kTlsRecord);
    const bool ok = c->tls->decrypt(data, n, tlsPlain.data(), tlsPlain.size(),
                                    [this, c](const char* plain, std::size_t len) {
                                        handlePlaintext(c, const_cast<char*>(plain), len);
                                        return !c->closed;
                                    });
    if (c->closed) return;
    if (!ok) {
        // A broken handshake or record, or the peer's closing alert: send any alert, then close.
        c->out.clear();
        c->keepAlive = false;
        setDraining(c);
        return;
    }
    if (c->tls->pendingCipher()) markDirty(c);
}
#endif

} // namespace tnlrelay::net
