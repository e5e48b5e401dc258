// The tray's menu, texts and dialogs. Every menu and message box is shown under the busy guard:
// the shell may deliver further icon notifications while one is open (Wine sends both the
// button-up and the context-menu notification for one right click), and those are dropped.

#include "TrayModel.hpp"

namespace tnlrelay {

namespace {

/// Marks the controller busy for one modal menu or dialog.
class BusyScope {
public:
    explicit BusyScope(bool& busy) : busy_(busy) { busy_ = true; }
    ~BusyScope() { busy_ = false; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    bool& busy_;
};

} // namespace

std::vector<TrayMenuItem> trayMenu(bool autoStart, bool loginEntry) {
    return {
        {kCmdOpenAdmin, L"Open Admin Page", false},
        {},
        {kCmdStartService, L"Start Service", false},
        {kCmdStopService, L"Stop Service", false},
        {kCmdRestartService, L"Restart Service", false},
        {kCmdServiceStatus, L"Service Status\u2026", false},
        {},
        {kCmdAutoStart, L"Start service at Windows startup", autoStart},
        {kCmdLoginEntry, L"Start tray at login", loginEntry},
        {},
        {kCmdCheckUpdates, L"Check for Updates\u2026", false},
        {},
        {kCmdExit, L"Exit", false},
    };
}

std::wstring serviceStatusText(const ServiceProbe& probe, FirewallRule rule) {
    std::wstring text;
    switch (probe.result) {
    case ServiceProbe::Result::notInstalled:
        return L"Service is not installed.";
    case ServiceProbe::Result::ok:
        text = probe.state == service::kStateRunning ? L"Relay service is RUNNING."
                                                     : L"Relay service is STOPPED.";
        break;
    case ServiceProbe::Result::noManager:
    case ServiceProbe::Result::queryFailed:
        text = L"Service status: unknown";
        break;
    }
    switch (rule) {
    case FirewallRule::present:
        return text + L"\n\nFirewall: the inbound rule for the relay is present.";
    case FirewallRule::absent:
        return text + L"\n\nFirewall: no inbound rule for the relay; players on other machines "
                      L"may be blocked. Reinstall the service to add it.";
    case FirewallRule::unknown:
        break;
    }
    return text + L"\n\nFirewall: the rule could not be read.";
}

bool shouldOfferStart(const ServiceProbe& probe) {
    return probe.result == ServiceProbe::Result::ok && probe.state != service::kStateStartPending &&
           probe.state != service::kStateRunning;
}

std::wstring updateLibraryPath(const std::wstring& exe) {
    // A bare name would be looked up in the working directory and on PATH: no folder, no path.
    std::size_t slash = exe.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return {};
    return exe.substr(0, slash + 1) + L"WinSparkle.dll";
}

std::wstring loginEntryCommand(const std::wstring& exe) {
    return L"\"" + exe + L"\" --tray";
}

std::optional<std::wstring> adminUrl(std::int32_t port) {
    if (port < 1 || port > 65535) return std::nullopt;
    std::string digits = std::to_string(port);
    return L"http://127.0.0.1:" + std::wstring(digits.begin(), digits.end()) + L"/";
}

int TrayController::ask(const wchar_t* text, const wchar_t* caption, std::uint32_t flags) {
    BusyScope scope(busy_);
    return platform_.messageBox(context_, text, caption, flags);
}

void TrayController::showIcon() {
    iconAttemptsLeft_ = kIconAddAttempts;
    tryAddIcon();
}

void TrayController::onIconRetry() {
    tryAddIcon();
}

void TrayController::tryAddIcon() {
    if (iconAttemptsLeft_ <= 0 || closing_) {
        platform_.setIconRetry(context_, false);
        return;
    }
    --iconAttemptsLeft_;
    if (platform_.addIcon(context_)) iconAttemptsLeft_ = 0;
    platform_.setIconRetry(context_, iconAttemptsLeft_ > 0);
}

void TrayController::offerStart() {
    if (busy_ || closing_) return;
    if (!shouldOfferStart(platform_.queryService(context_))) return;
    if (ask(kStartPromptText, kTrayCaption, kBoxYesNo | kBoxIconQuestion) == kAnswerYes)
        platform_.launchElevated(context_, L"--svc-start");
}

void TrayController::onNotify(std::uint32_t mouseMessage) {
    if (mouseMessage != kNotifyLeftButtonUp && mouseMessage != kNotifyRightButtonUp &&
        mouseMessage != kNotifyContextMenu)
        return;
    if (busy_ || closing_) return;
    BusyScope scope(busy_);
    platform_.showMenu(
        context_, trayMenu(platform_.isAutoStart(context_), platform_.loginEntryExists(context_)));
}

void TrayController::onCommand(std::uint32_t id) {
    // A command posted while a dialog is open would stack a second dialog on it.
    if (busy_ || closing_) return;
    switch (id) {
    case kCmdOpenAdmin:
        openAdminPage();
        break;
    case kCmdStartService:
        platform_.launchElevated(context_, L"--svc-start");
        break;
    case kCmdStopService:
        platform_.launchElevated(context_, L"--svc-stop");
        break;
    case kCmdRestartService:
        platform_.launchElevated(context_, L"--svc-restart");
        break;
    case kCmdServiceStatus:
        showStatus();
        break;
    case kCmdAutoStart:
        platform_.launchElevated(context_, platform_.isAutoStart(context_) ? L"--svc-autostart off"
                                                                           : L"--svc-autostart on");
        break;
    case kCmdLoginEntry:
        toggleLoginEntry();
        break;
    case kCmdCheckUpdates:
        if (!platform_.checkForUpdates(context_))
            ask(kUpdatesUnavailableText, kTrayCaption, kBoxOk | kBoxIconInformation);
        break;
    case kCmdExit:
        exitDialog();
        break;
    default:
        break;
    }
}

void TrayController::openAdminPage() {
    if (std::optional<std::wstring> url = adminUrl(platform_.adminPort(context_)))
        platform_.openUrl(context_, *url);
    else
        ask(kBadAdminPortText, kTrayCaption, kBoxOk | kBoxIconInformation);
}

void TrayController::showStatus() {
    std::wstring text =
        serviceStatusText(platform_.queryService(context_), platform_.queryFirewallRule(context_));
    ask(text.c_str(), kTrayCaption, kBoxOk | kBoxIconInformation);
}

void TrayController::toggleLoginEntry() {
    if (platform_.loginEntryExists(context_)) {
        platform_.writeLoginEntry(context_, nullptr);
    } else {
        std::wstring command = loginEntryCommand(exePath_);
        platform_.writeLoginEntry(context_, &command);
    }
}

void TrayController::exitDialog() {
    int answer = ask(kExitText, kExitCaption, kBoxYesNoCancel | kBoxIconQuestion);
    if (answer == kAnswerCancel) return;
    if (answer == kAnswerYes) platform_.launchElevated(context_, L"--svc-stop");
    close();
}

void TrayController::close() {
    if (closing_) return;
    closing_ = true;
    platform_.destroyWindow(context_);
}

} // namespace tnlrelay
