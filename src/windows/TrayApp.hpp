// The notification-area application: controls the relay service and opens the admin page.
#pragma once

namespace tnlrelay {

/// Runs the tray until the user exits it; 0, or 1 when its window cannot be created.
int runTray();

} // namespace tnlrelay
