// The event loop on Asio: listeners, accepted connections, HTTP requests parsed by Beast, and
// the WebSocket data path of our own. This file holds the loop's life (making it, running it,
// ending it) and the hand-kept counts that keep a connection alive while anything points at it.
// Close events are never delivered from inside another handler call.
#include "ConnIds.hpp"
#include "LoopInternals.hpp"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace tnlrelay::net {

namespace {

// The Asio poller serves where epoll does not; TNLRELAY_PORTABLE_IO=1 in the environment selects
// it where epoll is there too, which is how it is tested on Linux.
const Poller& choosePoller(Loop::Impl& m) {
    const char* portable = std::getenv("TNLRELAY_PORTABLE_IO");
    const bool asked = portable && *portable && std::string_view(portable) != "0";
    if (kEpollPoller && !asked && kEpollPoller->init(m)) return *kEpollPoller;
    kAsioPoller.init(m);
    return kAsioPoller;
}

} // namespace

Loop::Impl::Impl(Limits l)
    : limits(l), io(1), work(asio::make_work_guard(io)), scratch(kScratchBytes) {
    budget.limit = limits.maxInboundBytes;
    budget.maxMessage = limits.maxMessageBytes;
    lastId = limits.lastId;
    poller = &choosePoller(*this);
}

Loop::Loop(Limits limits) : impl_(std::make_unique<Impl>(limits)) {
    impl_->poller->armSweep(*impl_);
}

Loop::~Loop() {
    Impl& m = *impl_;
    m.stopConnections();
    // Every connection closes with its owner's tables still intact, in ascending id order.
    std::vector<Conn*> open;
    for (auto& entry : m.conns)
        open.push_back(entry.second);
    std::sort(open.begin(), open.end(), [](Conn* a, Conn* b) { return a->id < b->id; });
    for (Conn* c : open) {
        m.hold(c);
        m.closeNow(c);
        m.letGo(c);
    }
    error_code ec;
    for (auto& l : m.listeners)
        l->acceptor.close(ec);
    m.poller->stopTimers(m);
    m.dropFrameCache();
    // Let the cancelled operations finish so that every connection is released normally.
    m.io.restart();
    m.io.poll();
    // A connection still in a list is closed by now: the list lets go of it, and it is freed.
    if (!m.dirty.empty()) m.flushDirty();
    m.poller->done(m);
    TNLRELAY_ASSERT(m.liveConns == 0);
}

bool Loop::setTlsFiles(const std::filesystem::path& cert, const std::filesystem::path& key,
                       std::string& error) {
#ifdef TNLRELAY_TLS
    return impl_->tlsContext.load(cert, key, error);
#else
    (void)cert, (void)key;
    error = "this build has no TLS";
    return false;
#endif
}

TlsCheck Loop::checkTlsFiles(std::string& error) {
#ifdef TNLRELAY_TLS
    return impl_->tlsContext.check(error);
#else
    (void)error;
    return TlsCheck::unchanged;
#endif
}

const TlsCertInfo* Loop::tlsCertificate() const {
#ifdef TNLRELAY_TLS
    if (impl_->tlsContext.active()) return &impl_->tlsContext.info();
#endif
    return nullptr;
}

void Loop::setTrustedProxies(AddressList list) {
    impl_->trustedProxies = std::move(list);
}

void Loop::poll(std::chrono::milliseconds timeout) {
    impl_->poller->poll(*impl_, timeout);
}

void Loop::wake() {
    impl_->poller->wake(*impl_);
}

LoopStats& Loop::stats() {
    impl_->settleFrameSends();
    return impl_->stats;
}

LoopGauges Loop::gauges() const {
    LoopGauges g;
    g.webSockets = impl_->webSockets;
    g.httpConnections = impl_->conns.size() - impl_->webSockets;
    g.queuedBytes = impl_->queuedBytes;
    return g;
}

ConnId Loop::Impl::nextId() {
    lastId = nextFreeId(lastId, [this](ConnId id) {
        if (conns.count(id)) return true;
        for (auto& l : listeners)
            if (l->id == id) return true;
        return false;
    });
    return lastId;
}

void Loop::Impl::hold(Conn* c) {
    ++c->refs;
    TNLRELAY_ASSERT(c->refs != 0);
}

void Loop::Impl::letGo(Conn* c) {
    TNLRELAY_ASSERT(c->refs > 0);
    if (--c->refs != 0 || !c->closed) return;
    // Nothing points at it any more: no pending operation, not in the flush list or the table.
    TNLRELAY_ASSERT(!c->readArmed && !c->writeArmed && !c->dirty);
    TNLRELAY_ASSERT(conns.find(c->id) == conns.end() || conns.find(c->id)->second != c);
    --liveConns;
    delete c;
}

// The states an open connection may be in, checked where it changes state.
void Loop::Impl::checkConn([[maybe_unused]] const Conn* c) const {
    TNLRELAY_ASSERT(c->refs > 0);
    TNLRELAY_ASSERT(!c->closed);
    TNLRELAY_ASSERT(!c->sendable ||
                    (c->kind == Kind::ws && !c->closeSent && !c->sendShut && !c->hardClose));
    TNLRELAY_ASSERT(!c->sendShut || c->draining);
    TNLRELAY_ASSERT((c->kind == Kind::http) == (c->http != nullptr) || c->draining);
    TNLRELAY_ASSERT((c->kind == Kind::ws) == c->frames.has_value());
    TNLRELAY_ASSERT(!c->paused || c->kind == Kind::http);
    TNLRELAY_ASSERT(conns.count(c->id) == 1 && conns.find(c->id)->second == c);
}

// The caller holds the connection: a handler may close it, but it is freed only afterwards.
void Loop::Impl::dispatch(Conn* c, Event ev, const void* data) {
    TNLRELAY_ASSERT(c->refs > 0);
    TNLRELAY_ASSERT((ev == Event::close) == (c->closed || c->released));
    c->listener->handler(c, ev, data, c->listener->user);
    dropFrameCache(); // what the handler was given is gone now
}

CloseCause closeCause(const Conn* c) {
    if (c->cutSlow) return CloseCause::unsentOutput;
    if (c->peerLeft) return CloseCause::peerClosed;
    return CloseCause::other;
}

bool isTls([[maybe_unused]] const Conn* c) {
#ifdef TNLRELAY_TLS
    return c->tls != nullptr;
#else
    return false;
#endif
}

ConnId connId(const Conn* c) {
    return c->id;
}

std::string_view peerAddress(const Conn* c) {
    return {c->peer, c->peerLen};
}

} // namespace tnlrelay::net
