// Listening and taking connections in: a listener per address and port, and a new connection
// joining the loop's table. How pending connections are taken is the poller's.
#include "LoopInternals.hpp"

#include <boost/asio/ip/v6_only.hpp>

#include <algorithm>
#include <cstring>

namespace tnlrelay::net {

bool Loop::listen(const std::string& host, int port, Handler handler, void* userData,
                  ListenOptions options) {
    if (port < 1 || port > 65535) return false;
    Impl& m = *impl_;
    error_code ec;
    const auto address = asio::ip::make_address(host, ec);
    if (ec) return false;
    auto l = std::make_unique<Listener>(m.io);
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
    l->acceptor.open(endpoint.protocol(), ec);
    if (ec) return false;
    // "::" serves IPv4 too, whatever the system's default for IPv6 sockets.
    if (address.is_v6() && address.to_v6().is_unspecified())
        l->acceptor.set_option(asio::ip::v6_only(false), ec);
#ifdef _WIN32
    // A second relay must not be able to take over a port in use.
    using ExclusiveAddressUse =
        asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
    l->acceptor.set_option(ExclusiveAddressUse(true), ec);
#else
    l->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
#endif
    l->acceptor.bind(endpoint, ec);
    if (ec) return false;
    l->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return false;
    l->acceptor.non_blocking(true, ec);
    l->handler = handler;
    l->user = userData;
    l->options = options;
    l->id = m.nextId();
    if (!m.poller->addListener(m, *l)) return false;
    m.poller->accept(m, l.get());
    m.listeners.push_back(std::move(l));
    return true;
}

// A new connection joins the table and waits for its first bytes.
void Loop::Impl::addConnection(Listener* l, Conn* c, const IpAddress& peer) {
    const std::string text = formatIp(peer);
    c->peerLen = static_cast<std::uint8_t>(std::min(text.size(), sizeof c->peer));
    std::memcpy(c->peer, text.data(), c->peerLen);
    c->listener = l;
    c->http = std::make_unique<HttpRequestReader>(limits.maxHeaderBytes, limits.maxBodyBytes);
    c->id = nextId();
    c->out.countInto(&queuedBytes);
    c->lastHeard = now = Clock::now();
    conns.emplace(c->id, c);
    checkLater(c, nextCheck(c));
    ++liveConns;
    armRead(c);
}

} // namespace tnlrelay::net
