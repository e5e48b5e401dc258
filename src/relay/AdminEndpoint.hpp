// The admin endpoint on the loopback listener: the admin page, the state, summary, player and
// room pages, stats, health and metrics documents, the live log, and the moderation requests
// (kick, ban, unban).
#pragma once

#include "RelayLog.hpp"
#include "net/Net.hpp"

#include <string>

namespace tnlrelay {

class RelayCore;

/// The admin page: AdminPage.html beside the executable, else in ../share/tnlrelay, else a
/// built-in fallback page.
std::string loadAdminHtml();

class AdminEndpoint {
public:
    /// Reads the admin page once, for every request after.
    AdminEndpoint() : page_(loadAdminHtml()) {}

    /// Answers one request to the admin port from the core's documents and with its moderation.
    void onRequest(RelayCore& core, const RelayLog& log, net::Conn* c,
                   const net::HttpMessage& hm) const;

private:
    std::string page_;
};

} // namespace tnlrelay
