// Who may use the admin endpoint: the Host and Origin check that keeps other web pages in the
// operator's browser (and DNS rebinding) away from the admin API, and which peers count as this
// machine rather than as remote ones, which must use TLS and log in.
#pragma once

#include "net/Address.hpp"

#include <optional>
#include <string_view>

namespace tnlrelay {

/// Which peers of the admin port count as this machine: loopback addresses (127.0.0.0/8, ::1).
/// Tests, whose machines reach nothing but loopback, narrow it with the environment variable
/// TNLRELAY_ADMIN_LOCAL_PEERS (ranges separated by commas): then only a loopback address that is
/// also in one of them counts as local. It can make a peer remote, never a remote peer local.
class LocalPeers {
public:
    /// Every loopback address.
    LocalPeers() = default;
    /// Loopback addresses within the ranges of `narrowedTo`; entries that do not parse are
    /// ignored, so a list of nothing usable leaves no peer local.
    explicit LocalPeers(std::string_view narrowedTo);
    /// Narrowed by TNLRELAY_ADMIN_LOCAL_PEERS when it is set.
    static LocalPeers fromEnvironment();

    /// Whether an address (peer text, or a listening host) is this machine.
    bool isLocal(std::string_view address) const;

private:
    std::optional<net::AddressList> narrowed_;
};

} // namespace tnlrelay

namespace tnlrelay::detail {

/// `localhost`, `127.x.x.x` or `[::1]`, each with or without a port.
bool isLoopbackHost(std::string_view host);

/// Whether a request may use the admin endpoint: its Host, when present, names the loopback
/// interface, and its Origin, when present, is exactly "http://" (with TLS "https://") followed
/// by that Host.
bool adminRequestAllowed(const std::string_view* host, const std::string_view* origin,
                         bool tls = false);

/// For requests of a logged-in session: the Origin, when present, is exactly the scheme of the
/// connection ("https://" with TLS, else "http://") followed by the Host; the Host itself may be
/// any name the operator reaches the relay by.
bool sameOrigin(const std::string_view* host, const std::string_view* origin, bool tls);

} // namespace tnlrelay::detail
