// The tray's decisions, kept free of Win32 so that they are tested everywhere: the menu and its
// check marks, the commands, the status texts, the start-up prompt, the login entry, the exit
// dialog, the guard that keeps a second menu or dialog from opening over the first, and keeping
// the icon in the notification area when the shell is late or restarts.
#pragma once

#include "ServiceCommands.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tnlrelay {

using service::FirewallRule;
using service::ServiceProbe;

// Menu command ids.
constexpr std::uint32_t kCmdOpenAdmin = 1001;
constexpr std::uint32_t kCmdStartService = 1002;
constexpr std::uint32_t kCmdStopService = 1003;
constexpr std::uint32_t kCmdRestartService = 1004;
constexpr std::uint32_t kCmdServiceStatus = 1005;
constexpr std::uint32_t kCmdAutoStart = 1006;
constexpr std::uint32_t kCmdLoginEntry = 1007;
constexpr std::uint32_t kCmdCheckUpdates = 1008;
constexpr std::uint32_t kCmdExit = 1009;

// Mouse notifications of the icon that open the menu.
constexpr std::uint32_t kNotifyLeftButtonUp = 0x202;
constexpr std::uint32_t kNotifyRightButtonUp = 0x205;
constexpr std::uint32_t kNotifyContextMenu = 0x7B;

// Message box buttons, icons and answers (the same numbers as the Win32 headers).
constexpr std::uint32_t kBoxOk = 0x0;
constexpr std::uint32_t kBoxYesNoCancel = 0x3;
constexpr std::uint32_t kBoxYesNo = 0x4;
constexpr std::uint32_t kBoxIconQuestion = 0x20;
constexpr std::uint32_t kBoxIconInformation = 0x40;
constexpr int kAnswerCancel = 2;
constexpr int kAnswerYes = 6;
constexpr int kAnswerNo = 7;

inline constexpr const wchar_t* kTrayCaption = L"Tarnelle Relay";
inline constexpr const wchar_t* kExitCaption = L"Exit Tarnelle Relay";
inline constexpr const wchar_t* kExitText =
    L"Stop the service too?\n\nYes \u2014 stop the service (connected players disconnect)\n"
    L"No \u2014 leave the service running in the background";
inline constexpr const wchar_t* kStartPromptText = L"The service is not running. Start it now?";
inline constexpr const wchar_t* kUpdatesUnavailableText =
    L"Update checks are unavailable: the update component is not installed.";
inline constexpr const wchar_t* kBadAdminPortText =
    L"The admin port in config.json is not a port number from 1 to 65535, so the admin page "
    L"cannot be opened. Correct config.json and restart the service.";

// Adding the icon: the shell may not be ready early at login, so a failed add is tried again
// every 5 s, 12 times in all (a minute).
constexpr std::uint32_t kIconRetryMs = 5000;
constexpr int kIconAddAttempts = 12;

/// One entry of the popup menu; id 0 is a separator.
struct TrayMenuItem {
    std::uint32_t id = 0;
    std::wstring label;
    bool checked = false;

    bool separator() const { return id == 0; }
    bool operator==(const TrayMenuItem&) const = default;
};

/// The popup menu in display order.
std::vector<TrayMenuItem> trayMenu(bool autoStart, bool loginEntry);

/// The text of the service status box: the service's state and, for an installed service,
/// whether players can get through the firewall.
std::wstring serviceStatusText(const ServiceProbe& probe, FirewallRule rule);
/// Whether the tray offers to start the service when it starts: only when the state was read and
/// the service is neither starting nor running.
bool shouldOfferStart(const ServiceProbe& probe);
/// The update library's full path: beside the executable, never found through a search; empty
/// when `exe` names no folder.
std::wstring updateLibraryPath(const std::wstring& exe);
/// `"<exe>" --tray`, the command the login entry runs.
std::wstring loginEntryCommand(const std::wstring& exe);
/// The admin page's address for an admin port; nothing for a number that is not a port.
std::optional<std::wstring> adminUrl(std::int32_t port);

/// What the tray asks of the platform.
struct TrayPlatform {
    ServiceProbe (*queryService)(void* context);
    FirewallRule (*queryFirewallRule)(void* context);
    bool (*isAutoStart)(void* context);
    bool (*loginEntryExists)(void* context);
    /// Writes the login entry, or deletes it when `command` is null. Nothing when the key
    /// cannot be opened for writing.
    void (*writeLoginEntry)(void* context, const std::wstring* command);
    /// Starts the program itself elevated with these arguments, without waiting.
    void (*launchElevated)(void* context, const wchar_t* arguments);
    void (*openUrl)(void* context, const std::wstring& url);
    /// Shows a message box owned by the tray window; returns the answer.
    int (*messageBox)(void* context, const wchar_t* text, const wchar_t* caption,
                      std::uint32_t flags);
    /// Shows the popup menu at the cursor; the choice arrives later as a command.
    void (*showMenu)(void* context, const std::vector<TrayMenuItem>& items);
    /// Opens the update dialog; false when update checks are unavailable.
    bool (*checkForUpdates)(void* context);
    std::int32_t (*adminPort)(void* context);
    void (*destroyWindow)(void* context);
    /// Adds the icon to the notification area (or updates it when it is still there); false
    /// when the shell refused.
    bool (*addIcon)(void* context);
    /// Starts (every kIconRetryMs) or stops the timer that calls onIconRetry.
    void (*setIconRetry)(void* context, bool on);
};

/// The tray's behaviour on top of a platform. One thread calls it (the window's).
class TrayController {
public:
    TrayController(const TrayPlatform& platform, void* context, std::wstring exePath)
        : platform_(platform), context_(context), exePath_(std::move(exePath)) {}

    /// At start, and whenever the shell announces a new taskbar (Explorer restarted, and every
    /// icon with it): adds the icon, retrying a refusal for a minute.
    void showIcon();
    /// The retry timer fired.
    void onIconRetry();
    /// At start: offers to start the service when it is installed and not running.
    void offerStart();
    /// A mouse notification of the icon.
    void onNotify(std::uint32_t mouseMessage);
    /// A menu command; ids outside the menu do nothing.
    void onCommand(std::uint32_t id);

    /// True while a menu or a message box of ours is open.
    bool busy() const { return busy_; }
    bool closing() const { return closing_; }

private:
    int ask(const wchar_t* text, const wchar_t* caption, std::uint32_t flags);
    void showStatus();
    void toggleLoginEntry();
    void exitDialog();
    void close();
    void tryAddIcon();
    void openAdminPage();

    const TrayPlatform& platform_;
    void* context_;
    std::wstring exePath_;
    bool busy_ = false;
    bool closing_ = false;
    int iconAttemptsLeft_ = 0;
};

} // namespace tnlrelay
