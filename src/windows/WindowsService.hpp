// The relay as a Windows service: the dispatcher entry the service manager starts, and the
// one-shot commands that install, remove, start, stop and restart it or switch its start type.
#pragma once

#include "ServiceCommands.hpp"

namespace tnlrelay::service {

/// The service's key name in the service manager.
inline constexpr const wchar_t* kServiceName = L"TnlRelayServer";

/// Runs the service dispatcher; 0 once the service has stopped, 1 when the process was not
/// started by the service manager.
int runDispatcher();

bool install();
bool uninstall();
bool startService();
bool stopService();
bool restartService();
bool setAutoStart(bool on);
bool isAutoStart();
/// The service's state, for the tray.
ServiceProbe queryService();
/// Whether the inbound firewall rule install adds is there and enabled.
FirewallRule firewallRule();

} // namespace tnlrelay::service
