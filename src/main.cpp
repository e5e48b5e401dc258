// The process entry: picks the run mode from the first argument, and runs the console mode,
// the simplest host of the relay core (until Ctrl+C or a termination signal).
#include "platform/Platform.hpp"
#include "relay/RelayConfig.hpp"
#include "relay/RelayCore.hpp"
#include "text/Text.hpp"
#include "tnlrelay_version.h"

#ifdef _WIN32
#include "windows/TrayApp.hpp"
#include "windows/WindowsService.hpp"
#else
#include <csignal>
#endif

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace {

using namespace tnlrelay;

int runConsole(std::int32_t portOverride) {
    RelayConfig config = RelayConfig::load();
    if (portOverride > 0) {
        config.gamePort = portOverride;
        // The largest port text gives an admin port that wraps, as a 32-bit sum would.
        config.adminPort = static_cast<std::int32_t>(static_cast<std::uint32_t>(portOverride) + 1u);
    }
    const auto dir = dataDir();
    if (!platform::canWriteIn(dir)) {
        std::fprintf(stderr,
                     "tnlrelay: cannot write the data directory %s (config.json, relay.log); "
                     "set ProgramData to a writable folder to use another\n",
                     platform::pathUtf8(dir).c_str());
    }

    int result = 0;
    {
        RelayCore core(std::move(config));
        platform::setStopTarget(&core.stopRequested);
        platform::installStopHandlers();
        if (core.start()) {
            std::fputs("Tarnelle relay running. Press Ctrl+C to stop.\n", stdout);
            std::fflush(stdout);
            core.runLoop();
        } else {
            std::fputs("Relay failed to start (is the port already in use?). See relay.log.\n",
                       stderr);
            result = 1;
        }
        // No stop event may reach the core once it is being destroyed.
        platform::setStopTarget(nullptr);
    }
    platform::stopTargetReleased();
    return result;
}

} // namespace

int main(int argc, char** argv) {
#if defined(__GLIBC__)
    // Relaying frees and takes back megabytes a second at the top of the heap; by default
    // glibc hands them to the kernel and faults them in again (a brk call every few frees).
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
#endif
    const std::string_view mode = argc > 1 ? std::string_view(argv[1]) : "--tray";
    if (mode == "--version") {
        std::fputs("tnlrelay " TNLRELAY_VERSION "\n", stdout);
        return 0;
    }
#ifdef _WIN32
    if (mode == "--service") return service::runDispatcher();
    if (mode == "--install") return service::install() ? 0 : 1;
    if (mode == "--uninstall") return service::uninstall() ? 0 : 1;
    if (mode == "--svc-start") return service::startService() ? 0 : 1;
    if (mode == "--svc-stop") return service::stopService() ? 0 : 1;
    if (mode == "--svc-restart") return service::restartService() ? 0 : 1;
    if (mode == "--svc-autostart")
        return service::setAutoStart(argc > 2 && std::string_view(argv[2]) == "on") ? 0 : 1;
    if (mode == "--console") return runConsole(argc > 2 ? atoiSaturating(argv[2]) : 0);
    return runTray();
#else
    // A peer that vanishes mid-write must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    if (mode == "--console") return runConsole(argc > 2 ? atoiSaturating(argv[2]) : 0);
    std::fprintf(stderr,
                 "tnlrelay: %s belongs to the Windows build; on this system use --console "
                 "[port]\n",
                 argc > 1 ? argv[1] : "(no argument: the tray)");
    return 1;
#endif
}
