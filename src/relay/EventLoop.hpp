// The relay's event loop, owned so that it ends in the one order that is safe: the cluster link
// first (the other nodes get this node's seats back at once), then every connection through the
// ordinary close handling, whose events reach the parts the loop's owner declared before it.
#pragma once

#include "ClusterBridge.hpp"
#include "net/Net.hpp"

#include <memory>

namespace tnlrelay {

class EventLoop {
public:
    /// `cluster` must outlive the loop: close events tell it of every member that leaves.
    EventLoop(net::Limits limits, ClusterBridge& cluster)
        : cluster_(cluster), loop_(std::make_unique<net::Loop>(limits)) {}
    /// The link ends while the loop still runs it; `loop_` ends right after, closing every
    /// connection.
    ~EventLoop() { cluster_.shutdown(); }
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    net::Loop* operator->() const { return loop_.get(); }
    net::Loop& operator*() const { return *loop_; }

private:
    ClusterBridge& cluster_;
    std::unique_ptr<net::Loop> loop_;
};

} // namespace tnlrelay
