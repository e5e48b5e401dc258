// Who may use the admin endpoint: the Host and Origin check that keeps other web pages in the
// operator's browser (and DNS rebinding) away from the admin API.
#pragma once

#include <string_view>

namespace tnlrelay::detail {

/// `localhost`, `127.x.x.x` or `[::1]`, each with or without a port.
bool isLoopbackHost(std::string_view host);

/// Whether a request may use the admin endpoint: its Host, when present, names the loopback
/// interface, and its Origin, when present, is exactly "http://" followed by that Host.
bool adminRequestAllowed(const std::string_view* host, const std::string_view* origin);

} // namespace tnlrelay::detail
