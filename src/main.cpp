// The process entry: picks the run mode from the first argument, prints the usage, and runs the
// console mode, the simplest host of the relay core (until Ctrl+C or a termination signal).
#include "platform/Platform.hpp"
#include "relay/AdminAccounts.hpp"
#include "relay/PasswordHash.hpp"
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
#include <optional>
#include <string>
#include <string_view>

namespace {

using namespace tnlrelay;

// Every switch of both builds, so that the page reads the same everywhere.
constexpr const char* kUsage =
    "Usage: tnlrelay SWITCH\n"
    "  --console [port]      run the relay in this console until Ctrl+C or SIGTERM; port sets\n"
    "                        the game port (the admin port is the one after it)\n"
    "  --version             print the version\n"
    "  --set-admin-password NAME [--role moderator|viewer]\n"
    "                        set the password of an admin account in config.json (asked twice\n"
    "                        without echo, or one line of standard input when it is no\n"
    "                        terminal); the role defaults to the account's, else moderator\n"
    "  --help, -h            print this text\n"
    "Windows only:\n"
    "  (no switch), --tray   the tray application\n"
    "  --service             run as the service (started by the service manager)\n"
    "  --install             register the service\n"
    "  --uninstall           remove the service\n"
    "  --svc-start           start the service\n"
    "  --svc-stop            stop the service\n"
    "  --svc-restart         restart the service\n"
    "  --svc-autostart on|off  start the service with Windows, or not\n"
    "On Linux SIGHUP reads config.json again under a service manager and stops the relay in a\n"
    "terminal. Data: $ProgramData/Tarnelle/RelayServer (config.json, relay.log).\n";

int runConsole(std::int32_t portOverride) {
    // Before the first line: under systemd the journal then holds every event with its level.
    RelayLog::copyToJournal(platform::standardErrorIsJournal());
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
        platform::installStopHandlers(platform::hangUpMeaningHere());
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

/// Passwords shorter than this are refused.
constexpr std::size_t kMinPassword = 8;

int refuse(const std::string& why) {
    std::fprintf(stderr, "tnlrelay: %s; config.json is unchanged\n", why.c_str());
    return 1;
}

// Writes an account's password hash into config.json, keeping every other key; a relay that
// runs picks the change up within seconds.
int setAdminPassword(int argc, char** argv) {
    if (argc < 3 || (argc != 3 && (argc != 5 || std::string_view(argv[3]) != "--role")))
        return refuse("usage: tnlrelay --set-admin-password NAME [--role moderator|viewer]");
    const std::string name = argv[2];
    if (!accountNameUsable(name))
        return refuse("an account name is 1 to 64 letters, digits, '.', '_', '-' or '@'");
    std::optional<AdminRole> role;
    if (argc == 5 && !(role = roleNamed(argv[4])))
        return refuse("the role must be moderator or viewer");

    std::optional<RelayConfig> config = RelayConfig::loadStrict();
    if (!config) {
        if (configStamp().exists)
            return refuse("config.json cannot be read as a JSON object (" +
                          platform::pathUtf8(configPath()) + "); mend it first");
        config = RelayConfig{};
    }
    const AdminSettings settings = AdminSettings::read(config->others);
    if (!role) {
        const AdminAccount* existing = settings.find(name);
        role = existing ? existing->role : AdminRole::moderator;
    }

    const bool terminal = platform::standardInputIsTerminal();
    std::optional<std::string> password =
        platform::readSecretLine("New password for " + name + ": ");
    if (!password) return refuse("no password given");
    if (terminal && platform::readSecretLine("Again: ") != password)
        return refuse("the two passwords differ");
    if (password->size() < kMinPassword)
        return refuse("a password needs at least " + std::to_string(kMinPassword) + " characters");
    const std::optional<std::string> hash = makePasswordHash(*password);
    if (!hash) return refuse("this build cannot make password hashes (it has no TLS library)");

    setAdminAccount(config->others, {name, *role, *hash});
    if (!config->save())
        return refuse("config.json could not be written (" + platform::pathUtf8(configPath()) +
                      ")");
    std::printf("admin account %s (%s) saved in %s\n", name.c_str(), roleName(*role),
                platform::pathUtf8(configPath()).c_str());
    return 0;
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
    if (mode == "--help" || mode == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (mode == "--set-admin-password") return setAdminPassword(argc, argv);
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
                 "[port] (--help lists the switches)\n",
                 argc > 1 ? argv[1] : "(no argument: the tray)");
    return 1;
#endif
}
