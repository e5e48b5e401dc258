// The tray's decisions against a fake platform: the menu and its check marks, what each command
// asks of the platform, the status texts, the start-up prompt, the login entry, the exit dialog,
// the guard against a second menu or dialog, and keeping the icon in place.

#include "windows/TrayModel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

using namespace tnlrelay;
using tnlrelay::service::kStatePaused;
using tnlrelay::service::kStateRunning;
using tnlrelay::service::kStateStartPending;
using tnlrelay::service::kStateStopped;
using tnlrelay::service::kStateStopPending;

namespace {

struct FakeTray {
    // Answers.
    ServiceProbe probe{ServiceProbe::Result::ok, kStateRunning};
    FirewallRule firewall = FirewallRule::present;
    std::vector<bool> iconAnswers{true}; ///< one per add; the last repeats
    bool autoStart = false;
    bool loginEntry = false;
    bool runKeyWritable = true;
    std::vector<int> answers; ///< message box answers, in order
    bool updatesAvailable = true;
    std::int32_t adminPort = 49201;
    std::uint32_t notifyDuringModal = 0; ///< an icon notification delivered inside a modal loop
    std::uint32_t commandDuringModal = 0;

    // What happened.
    std::vector<std::wstring> launched, urls, boxTexts;
    std::vector<std::uint32_t> boxFlags;
    std::vector<std::vector<TrayMenuItem>> menus;
    std::wstring loginValue;
    int destroyed = 0, updateDialogs = 0, iconAdds = 0;
    bool retryTimer = false;
    TrayController* controller = nullptr;
};

FakeTray& fake(void* context) {
    return *static_cast<FakeTray*>(context);
}

void modalReentry(FakeTray& f) {
    if (f.notifyDuringModal) f.controller->onNotify(f.notifyDuringModal);
    if (f.commandDuringModal) f.controller->onCommand(f.commandDuringModal);
}

const TrayPlatform kFakePlatform = {
    [](void* c) { return fake(c).probe; },
    [](void* c) { return fake(c).firewall; },
    [](void* c) { return fake(c).autoStart; },
    [](void* c) { return fake(c).loginEntry; },
    [](void* c, const std::wstring* command) {
        FakeTray& f = fake(c);
        if (!f.runKeyWritable) return;
        f.loginEntry = command != nullptr;
        f.loginValue = command ? *command : L"";
    },
    [](void* c, const wchar_t* arguments) { fake(c).launched.push_back(arguments); },
    [](void* c, const std::wstring& url) { fake(c).urls.push_back(url); },
    [](void* c, const wchar_t* text, const wchar_t* caption, std::uint32_t flags) {
        FakeTray& f = fake(c);
        f.boxTexts.push_back(text);
        f.boxFlags.push_back(flags);
        EXPECT_TRUE(f.controller->busy()) << "a message box outside the guard";
        EXPECT_EQ(std::wstring(caption),
                  f.boxTexts.back() == kExitText ? kExitCaption : kTrayCaption);
        modalReentry(f);
        int answer = f.answers.empty() ? kAnswerNo : f.answers.front();
        if (!f.answers.empty()) f.answers.erase(f.answers.begin());
        return answer;
    },
    [](void* c, const std::vector<TrayMenuItem>& items) {
        FakeTray& f = fake(c);
        f.menus.push_back(items);
        modalReentry(f);
    },
    [](void* c) {
        ++fake(c).updateDialogs;
        return fake(c).updatesAvailable;
    },
    [](void* c) { return fake(c).adminPort; },
    [](void* c) { ++fake(c).destroyed; },
    [](void* c) {
        FakeTray& f = fake(c);
        std::size_t i = std::min<std::size_t>(f.iconAdds++, f.iconAnswers.size() - 1);
        return static_cast<bool>(f.iconAnswers[i]);
    },
    [](void* c, bool on) { fake(c).retryTimer = on; },
};

const std::wstring kExe = L"C:\\Program Files\\Relay\\tnlrelay.exe";

struct Tray {
    FakeTray f;
    TrayController controller{kFakePlatform, &f, kExe};
    Tray() { f.controller = &controller; }
};

} // namespace

TEST(TrayModel, EveryMenuItemDoesSomethingAndOnlyTheTwoSettingsCarryChecks) {
    for (bool autoStart : {false, true}) {
        for (bool login : {false, true}) {
            std::vector<TrayMenuItem> menu = trayMenu(autoStart, login);
            ASSERT_FALSE(menu.empty());
            EXPECT_FALSE(menu.front().separator());
            EXPECT_FALSE(menu.back().separator());
            std::set<std::uint32_t> ids;
            for (std::size_t i = 0; i < menu.size(); ++i) {
                const TrayMenuItem& item = menu[i];
                if (item.separator()) {
                    if (i + 1 < menu.size()) {
                        EXPECT_FALSE(menu[i + 1].separator()) << "two separators at " << i;
                    }
                    continue;
                }
                EXPECT_TRUE(ids.insert(item.id).second) << "id " << item.id << " twice";
                EXPECT_FALSE(item.label.empty()) << item.id;
                bool want =
                    (item.id == kCmdAutoStart && autoStart) || (item.id == kCmdLoginEntry && login);
                EXPECT_EQ(item.checked, want) << "item " << item.id;

                // Choosing the item must reach the platform: a dead entry is a fault.
                Tray t;
                t.f.answers = {kAnswerCancel};
                t.controller.onCommand(item.id);
                bool acted = !t.f.launched.empty() || !t.f.urls.empty() || !t.f.boxTexts.empty() ||
                             t.f.updateDialogs > 0 || t.f.loginEntry;
                EXPECT_TRUE(acted) << "\"" << std::string(item.label.begin(), item.label.end())
                                   << "\" does nothing";
            }
            EXPECT_EQ(ids.size(), 9u) << "every command is in the menu";
        }
    }
}

TEST(TrayModel, IconNotificationsOpenTheMenuOnlyForClicksAndContextMenu) {
    Tray t;
    t.f.autoStart = true;
    for (std::uint32_t notify : {0x200u, 0x201u, 0x203u, 0x204u, 0x206u, 0x207u, 0x208u, 0x209u})
        t.controller.onNotify(notify);
    EXPECT_TRUE(t.f.menus.empty()) << "moves, presses and double-clicks do nothing";
    for (std::uint32_t notify : {kNotifyLeftButtonUp, kNotifyRightButtonUp, kNotifyContextMenu})
        t.controller.onNotify(notify);
    ASSERT_EQ(t.f.menus.size(), 3u);
    EXPECT_EQ(t.f.menus[0], trayMenu(true, false)) << "the menu shows the facts of the moment";
    EXPECT_FALSE(t.controller.busy());
}

TEST(TrayModel, NoSecondMenuOrDialogWhileOneIsOpen) {
    Tray t;
    // A right click under Wine: the context-menu notification arrives inside the menu's loop.
    t.f.notifyDuringModal = kNotifyContextMenu;
    t.controller.onNotify(kNotifyRightButtonUp);
    EXPECT_EQ(t.f.menus.size(), 1u);

    // A click or a command while the exit dialog is open opens nothing and destroys nothing.
    t.f.commandDuringModal = kCmdExit;
    t.f.answers = {kAnswerNo};
    t.controller.onCommand(kCmdExit);
    EXPECT_EQ(t.f.boxTexts.size(), 1u);
    EXPECT_EQ(t.f.menus.size(), 1u);
    EXPECT_EQ(t.f.destroyed, 1);
    EXPECT_TRUE(t.f.launched.empty());

    // Once closing, nothing more opens.
    t.f.notifyDuringModal = 0;
    t.f.commandDuringModal = 0;
    t.controller.onNotify(kNotifyLeftButtonUp);
    t.controller.onCommand(kCmdExit);
    EXPECT_EQ(t.f.menus.size(), 1u);
    EXPECT_EQ(t.f.destroyed, 1) << "the window is destroyed once";
}

TEST(TrayModel, CommandsLaunchTheMatchingSwitchElevated) {
    Tray t;
    for (std::uint32_t id : {kCmdStartService, kCmdStopService, kCmdRestartService})
        t.controller.onCommand(id);
    t.f.autoStart = true;
    t.controller.onCommand(kCmdAutoStart);
    t.f.autoStart = false;
    t.controller.onCommand(kCmdAutoStart);
    EXPECT_EQ(t.f.launched,
              (std::vector<std::wstring>{L"--svc-start", L"--svc-stop", L"--svc-restart",
                                         L"--svc-autostart off", L"--svc-autostart on"}));
    for (std::uint32_t id : {0u, 1000u, 1010u, 0xFFFFu})
        t.controller.onCommand(id);
    EXPECT_EQ(t.f.launched.size(), 5u);
    EXPECT_TRUE(t.f.boxTexts.empty());
    EXPECT_TRUE(t.f.urls.empty());
    EXPECT_EQ(t.f.destroyed, 0);
}

TEST(TrayModel, OpenAdminUsesTheConfiguredPortAndRefusesANumberThatIsNoPort) {
    Tray t;
    for (std::int32_t port : {49201, 1, 65535})
        t.f.adminPort = port, t.controller.onCommand(kCmdOpenAdmin);
    EXPECT_EQ(t.f.urls,
              (std::vector<std::wstring>{L"http://127.0.0.1:49201/", L"http://127.0.0.1:1/",
                                         L"http://127.0.0.1:65535/"}));
    EXPECT_TRUE(t.f.boxTexts.empty());

    for (std::int32_t port : {-7, 0, 65536, INT32_MIN, INT32_MAX}) {
        Tray bad;
        bad.f.adminPort = port;
        bad.controller.onCommand(kCmdOpenAdmin);
        EXPECT_TRUE(bad.f.urls.empty()) << "no address is opened for port " << port;
        EXPECT_EQ(bad.f.boxTexts, std::vector<std::wstring>{kBadAdminPortText}) << port;
        EXPECT_FALSE(adminUrl(port).has_value()) << port;
    }
}

TEST(TrayModel, UpdateLibraryIsLookedForBesideTheProgramOnly) {
    EXPECT_EQ(updateLibraryPath(kExe), L"C:\\Program Files\\Relay\\WinSparkle.dll");
    EXPECT_EQ(updateLibraryPath(L"D:/relay/tnlrelay.exe"), L"D:/relay/WinSparkle.dll");
    EXPECT_EQ(updateLibraryPath(L"tnlrelay.exe"), L"")
        << "a bare name would be found through the search path";
    EXPECT_EQ(updateLibraryPath(L""), L"");
}

TEST(TrayModel, IconIsAddedAgainWhenTheShellRestartsAndRetriedForAMinute) {
    Tray t;
    t.controller.showIcon();
    EXPECT_EQ(t.f.iconAdds, 1);
    EXPECT_FALSE(t.f.retryTimer);

    // Early at login the shell refuses: tried again on the timer until it accepts.
    Tray late;
    late.f.iconAnswers = {false, false, true};
    late.controller.showIcon();
    EXPECT_TRUE(late.f.retryTimer);
    late.controller.onIconRetry();
    EXPECT_TRUE(late.f.retryTimer);
    late.controller.onIconRetry();
    EXPECT_EQ(late.f.iconAdds, 3);
    EXPECT_FALSE(late.f.retryTimer) << "the timer stops once the icon is in place";

    // A shell that never accepts: 12 attempts, 5 s apart, then the tray stops trying.
    Tray never;
    never.f.iconAnswers = {false};
    never.controller.showIcon();
    for (int tick = 0; tick < 20 && never.f.retryTimer; ++tick)
        never.controller.onIconRetry();
    EXPECT_EQ(never.f.iconAdds, kIconAddAttempts);
    EXPECT_EQ(kIconAddAttempts * kIconRetryMs, 60000u);
    EXPECT_FALSE(never.f.retryTimer);

    // Explorer restarted (the broadcast): the icon is added again, with a fresh minute of tries.
    never.f.iconAnswers = {false, true};
    never.f.iconAdds = 0;
    never.controller.showIcon();
    never.controller.onIconRetry();
    EXPECT_EQ(never.f.iconAdds, 2);
    EXPECT_FALSE(never.f.retryTimer);
}

TEST(TrayModel, StatusTextsForEveryServiceStateAndTheFirewallRule) {
    using R = ServiceProbe::Result;
    auto firstLine = [](const std::wstring& text) { return text.substr(0, text.find(L'\n')); };
    const FirewallRule present = FirewallRule::present;
    EXPECT_EQ(firstLine(serviceStatusText({R::ok, kStateRunning}, present)),
              L"Relay service is RUNNING.");
    for (std::uint32_t state :
         {kStateStopped, kStateStartPending, kStateStopPending, 5u, 6u, kStatePaused})
        EXPECT_EQ(firstLine(serviceStatusText({R::ok, state}, present)),
                  L"Relay service is STOPPED.")
            << state;
    EXPECT_EQ(serviceStatusText({R::notInstalled, 0}, FirewallRule::absent),
              L"Service is not installed.")
        << "no rule is expected without a service";
    EXPECT_EQ(firstLine(serviceStatusText({R::noManager, 0}, present)), L"Service status: unknown");
    EXPECT_EQ(firstLine(serviceStatusText({R::queryFailed, 0}, present)),
              L"Service status: unknown");

    // The three answers about the rule read differently, and a missing rule says what to do.
    std::wstring with = serviceStatusText({R::ok, kStateRunning}, FirewallRule::present);
    std::wstring without = serviceStatusText({R::ok, kStateRunning}, FirewallRule::absent);
    std::wstring unknown = serviceStatusText({R::ok, kStateRunning}, FirewallRule::unknown);
    EXPECT_NE(with.find(L"rule for the relay is present"), std::wstring::npos) << "present";
    EXPECT_NE(without.find(L"no inbound rule"), std::wstring::npos);
    EXPECT_NE(without.find(L"Reinstall"), std::wstring::npos);
    EXPECT_NE(unknown, with);
    EXPECT_NE(unknown, without);

    Tray t;
    t.f.firewall = FirewallRule::absent;
    t.controller.onCommand(kCmdServiceStatus);
    ASSERT_EQ(t.f.boxTexts.size(), 1u);
    EXPECT_EQ(t.f.boxTexts[0], without) << "the box shows what the platform found";
    EXPECT_EQ(t.f.boxFlags[0], kBoxOk | kBoxIconInformation);
}

TEST(TrayModel, StartPromptOnlyForAnInstalledServiceThatIsNotStartingOrRunning) {
    using R = ServiceProbe::Result;
    for (std::uint32_t state : {kStateStopped, kStateStopPending, 5u, 6u, kStatePaused})
        EXPECT_TRUE(shouldOfferStart({R::ok, state})) << state;
    for (std::uint32_t state : {kStateStartPending, kStateRunning})
        EXPECT_FALSE(shouldOfferStart({R::ok, state})) << state;
    for (R result : {R::noManager, R::notInstalled, R::queryFailed})
        EXPECT_FALSE(shouldOfferStart({result, kStateStopped}));

    Tray yes;
    yes.f.probe = {R::ok, kStateStopped};
    yes.f.answers = {kAnswerYes};
    yes.controller.offerStart();
    EXPECT_EQ(yes.f.boxTexts, std::vector<std::wstring>{kStartPromptText});
    EXPECT_EQ(yes.f.boxFlags[0], kBoxYesNo | kBoxIconQuestion);
    EXPECT_EQ(yes.f.launched, std::vector<std::wstring>{L"--svc-start"});

    Tray no;
    no.f.probe = {R::ok, kStateStopped};
    no.f.answers = {kAnswerNo};
    no.controller.offerStart();
    EXPECT_EQ(no.f.boxTexts.size(), 1u);
    EXPECT_TRUE(no.f.launched.empty());

    Tray running;
    running.controller.offerStart();
    EXPECT_TRUE(running.f.boxTexts.empty());
}

TEST(TrayModel, LoginEntryToggles) {
    Tray t;
    t.controller.onCommand(kCmdLoginEntry);
    EXPECT_TRUE(t.f.loginEntry);
    EXPECT_EQ(t.f.loginValue, L"\"" + kExe + L"\" --tray");
    t.controller.onNotify(kNotifyLeftButtonUp);
    EXPECT_EQ(t.f.menus.back(), trayMenu(false, true));

    t.controller.onCommand(kCmdLoginEntry);
    EXPECT_FALSE(t.f.loginEntry) << "an existing entry is removed, whatever it names";
    t.controller.onNotify(kNotifyLeftButtonUp);
    EXPECT_EQ(t.f.menus.back(), trayMenu(false, false));

    t.f.runKeyWritable = false;
    t.controller.onCommand(kCmdLoginEntry);
    EXPECT_FALSE(t.f.loginEntry) << "an unwritable key changes nothing";
}

TEST(TrayModel, ExitDialogAnswers) {
    Tray cancel;
    cancel.f.answers = {kAnswerCancel};
    cancel.controller.onCommand(kCmdExit);
    EXPECT_EQ(cancel.f.boxTexts, std::vector<std::wstring>{kExitText});
    EXPECT_EQ(cancel.f.boxFlags[0], kBoxYesNoCancel | kBoxIconQuestion);
    EXPECT_EQ(cancel.f.destroyed, 0);
    EXPECT_TRUE(cancel.f.launched.empty());
    cancel.controller.onNotify(kNotifyLeftButtonUp);
    EXPECT_EQ(cancel.f.menus.size(), 1u) << "the tray goes on after Cancel";

    Tray no;
    no.f.answers = {kAnswerNo};
    no.controller.onCommand(kCmdExit);
    EXPECT_EQ(no.f.destroyed, 1);
    EXPECT_TRUE(no.f.launched.empty()) << "No leaves the service running";

    Tray yes;
    yes.f.answers = {kAnswerYes};
    yes.controller.onCommand(kCmdExit);
    EXPECT_EQ(yes.f.launched, std::vector<std::wstring>{L"--svc-stop"});
    EXPECT_EQ(yes.f.destroyed, 1);
}

TEST(TrayModel, UpdateCheckSaysWhenItIsUnavailable) {
    Tray t;
    t.controller.onCommand(kCmdCheckUpdates);
    EXPECT_EQ(t.f.updateDialogs, 1);
    EXPECT_TRUE(t.f.boxTexts.empty());
    t.f.updatesAvailable = false;
    t.controller.onCommand(kCmdCheckUpdates);
    EXPECT_EQ(t.f.boxTexts, std::vector<std::wstring>{kUpdatesUnavailableText});
}
