// The tray's decisions against a fake platform: the menu and its check marks, what each command
// asks of the platform, the status texts, the start-up prompt, the login entry, the exit dialog
// and the guard against a second menu or dialog.

#include "TrayModel.hpp"

#include <gtest/gtest.h>

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
    int destroyed = 0, updateDialogs = 0;
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
};

const std::wstring kExe = L"C:\\Program Files\\Relay\\tnlrelay.exe";

struct Tray {
    FakeTray f;
    TrayController controller{kFakePlatform, &f, kExe};
    Tray() { f.controller = &controller; }
};

} // namespace

TEST(TrayModel, MenuHasItsItemsInOrderWithCheckMarksFromTheFacts) {
    for (bool autoStart : {false, true}) {
        for (bool login : {false, true}) {
            std::vector<TrayMenuItem> menu = trayMenu(autoStart, login);
            std::vector<std::uint32_t> ids;
            for (const TrayMenuItem& item : menu)
                ids.push_back(item.id);
            EXPECT_EQ(ids, (std::vector<std::uint32_t>{1001, 0, 1002, 1003, 1004, 1005, 0, 1006,
                                                       1007, 0, 1008, 0, 1009}));
            for (const TrayMenuItem& item : menu) {
                bool want =
                    (item.id == kCmdAutoStart && autoStart) || (item.id == kCmdLoginEntry && login);
                EXPECT_EQ(item.checked, want) << "item " << item.id;
            }
        }
    }
    std::vector<TrayMenuItem> menu = trayMenu(false, false);
    EXPECT_EQ(menu[5].label, L"Service Status\u2026") << "one ellipsis character";
    EXPECT_EQ(menu[10].label, L"Check for Updates\u2026");
    EXPECT_EQ(menu[0].label, L"Open Admin Page");
    EXPECT_EQ(menu[12].label, L"Exit");
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
    EXPECT_TRUE(t.f.menus[0][7].checked);
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

TEST(TrayModel, OpenAdminUsesTheConfiguredAdminPort) {
    Tray t;
    t.controller.onCommand(kCmdOpenAdmin);
    t.f.adminPort = 50000;
    t.controller.onCommand(kCmdOpenAdmin);
    t.f.adminPort = -7;
    t.controller.onCommand(kCmdOpenAdmin);
    EXPECT_EQ(t.f.urls,
              (std::vector<std::wstring>{L"http://127.0.0.1:49201/", L"http://127.0.0.1:50000/",
                                         L"http://127.0.0.1:-7/"}));
}

TEST(TrayModel, StatusTextsForEveryServiceState) {
    using R = ServiceProbe::Result;
    EXPECT_EQ(serviceStatusText({R::ok, kStateRunning}), L"Relay service is RUNNING.");
    for (std::uint32_t state :
         {kStateStopped, kStateStartPending, kStateStopPending, 5u, 6u, kStatePaused})
        EXPECT_EQ(serviceStatusText({R::ok, state}), L"Relay service is STOPPED.") << state;
    EXPECT_EQ(serviceStatusText({R::notInstalled, 0}), L"Service is not installed.");
    EXPECT_EQ(serviceStatusText({R::noManager, 0}), L"Service status: unknown");
    EXPECT_EQ(serviceStatusText({R::queryFailed, 0}), L"Service status: unknown");

    Tray t;
    t.f.probe = {R::notInstalled, 0};
    t.controller.onCommand(kCmdServiceStatus);
    ASSERT_EQ(t.f.boxTexts.size(), 1u);
    EXPECT_EQ(t.f.boxTexts[0], L"Service is not installed.");
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
    EXPECT_TRUE(t.f.menus.back()[8].checked);

    t.controller.onCommand(kCmdLoginEntry);
    EXPECT_FALSE(t.f.loginEntry) << "an existing entry is removed, whatever it names";
    t.controller.onNotify(kNotifyLeftButtonUp);
    EXPECT_FALSE(t.f.menus.back()[8].checked);

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
