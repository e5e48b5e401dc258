// The service commands against a fake service manager, firewall and event log: the result for
// each answer they give, the rights asked for, the polls and pauses, the recovery settings, and
// every handle closed on every path.

#include "windows/ServiceCommands.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

using namespace tnlrelay::service;

namespace {

/// A scripted service manager. Handles are addresses inside `slots`.
struct FakeScm {
    // Answers.
    std::vector<bool> managerOpens{true, true}; ///< one per openManager call; last repeats
    bool serviceExists = true;
    bool serviceAccessAllowed = true;
    bool createSucceeds = false;
    bool startSucceeds = true;
    bool stopAccepted = true;
    bool queryFails = false;
    std::vector<std::uint32_t> states{kStateStopped}; ///< one per query; last repeats
    bool deleteSucceeds = true;
    std::uint32_t deleteError = 0;
    bool changeSucceeds = true;
    bool queryConfigSucceeds = true;
    std::uint32_t startType = kAutoStart;
    bool firewallAdds = true;
    FirewallRule firewall = FirewallRule::present;

    // What happened.
    std::vector<std::string> calls;
    std::vector<std::uint32_t> managerAccess, serviceAccess;
    std::wstring createdCommand;
    std::set<void*> open;
    int opened = 0, closedUnknown = 0, managerCalls = 0, queries = 0, sleeps = 0;
    std::uint32_t changedStartType = 0;
    RecoveryPolicy recovery{};
    std::wstring firewallExe, sourceExe;
    std::vector<std::pair<std::uint16_t, std::string>> events;
    char slots[64] = {};

    void* newHandle() {
        void* h = &slots[opened++ % 64];
        open.insert(h);
        return h;
    }
};

FakeScm* g_scm = nullptr;

ScHandle openManager(std::uint32_t access, std::uint32_t* error) {
    g_scm->managerAccess.push_back(access);
    std::size_t i = std::min<std::size_t>(g_scm->managerCalls++, g_scm->managerOpens.size() - 1);
    if (!g_scm->managerOpens[i]) {
        *error = 5;
        return nullptr;
    }
    return g_scm->newHandle();
}
ScHandle createService(ScHandle, const std::wstring& command, std::uint32_t* error) {
    g_scm->calls.push_back("create");
    g_scm->createdCommand = command;
    if (!g_scm->createSucceeds) {
        *error = g_scm->serviceExists ? 1073 : 5;
        return nullptr;
    }
    return g_scm->newHandle();
}
void setDescription(ScHandle) {
    g_scm->calls.push_back("describe");
}
ScHandle openService(ScHandle, std::uint32_t access, std::uint32_t* error) {
    g_scm->serviceAccess.push_back(access);
    if (!g_scm->serviceExists) {
        *error = kErrorServiceDoesNotExist;
        return nullptr;
    }
    if (!g_scm->serviceAccessAllowed) {
        *error = 5;
        return nullptr;
    }
    return g_scm->newHandle();
}
bool startService(ScHandle) {
    g_scm->calls.push_back("start");
    return g_scm->startSucceeds;
}
bool controlStop(ScHandle) {
    g_scm->calls.push_back("stop");
    return g_scm->stopAccepted;
}
bool queryState(ScHandle, std::uint32_t* state) {
    g_scm->calls.push_back("query");
    if (g_scm->queryFails) return false;
    *state = g_scm->states[std::min<std::size_t>(g_scm->queries++, g_scm->states.size() - 1)];
    return true;
}
bool deleteService(ScHandle, std::uint32_t* error) {
    g_scm->calls.push_back("delete");
    *error = g_scm->deleteError;
    return g_scm->deleteSucceeds;
}
bool changeStartType(ScHandle, std::uint32_t startType) {
    g_scm->calls.push_back("change");
    g_scm->changedStartType = startType;
    return g_scm->changeSucceeds;
}
bool queryStartType(ScHandle, std::uint32_t* startType) {
    if (!g_scm->queryConfigSucceeds) return false;
    *startType = g_scm->startType;
    return true;
}
bool setRecovery(ScHandle, const RecoveryPolicy& policy) {
    g_scm->calls.push_back("recovery");
    g_scm->recovery = policy;
    return true;
}
bool addFirewallRule(const std::wstring& exe, std::string* reason) {
    g_scm->calls.push_back("firewall+");
    g_scm->firewallExe = exe;
    if (!g_scm->firewallAdds) *reason = "adding the rule failed with 0x80070005";
    return g_scm->firewallAdds;
}
bool removeFirewallRule() {
    g_scm->calls.push_back("firewall-");
    return true;
}
FirewallRule queryFirewallRule() {
    return g_scm->firewall;
}
bool registerEventSource(const std::wstring& exe) {
    g_scm->calls.push_back("source+");
    g_scm->sourceExe = exe;
    return true;
}
void removeEventSource() {
    g_scm->calls.push_back("source-");
}
void reportEvent(std::uint16_t type, const std::string& text) {
    g_scm->calls.push_back("event");
    g_scm->events.emplace_back(type, text);
}
void closeHandle(ScHandle handle) {
    if (g_scm->open.erase(handle) == 0) ++g_scm->closedUnknown;
}
void sleepFor(std::uint32_t ms) {
    EXPECT_EQ(ms, kPollIntervalMs);
    ++g_scm->sleeps;
    g_scm->calls.push_back("sleep");
}

const ScmApi kFakeApi = {
    openManager,       createService,       setDescription,    openService,     startService,
    controlStop,       queryState,          deleteService,     changeStartType, queryStartType,
    setRecovery,       closeHandle,         sleepFor,          addFirewallRule, removeFirewallRule,
    queryFirewallRule, registerEventSource, removeEventSource, reportEvent};

/// Runs one command on a fresh fake and checks that it left no handle open.
template <class Setup, class Command> FakeScm run(Setup setup, Command command, bool& result) {
    FakeScm scm;
    setup(scm);
    g_scm = &scm;
    result = command();
    g_scm = nullptr;
    EXPECT_TRUE(scm.open.empty()) << scm.open.size() << " handle(s) left open";
    EXPECT_EQ(scm.closedUnknown, 0) << "a handle was closed that was never opened";
    return scm;
}

auto noSetup = [](FakeScm&) {};

} // namespace

TEST(ServiceCommands, InstallCreatesDescribesAndStartsWithTheFullPath) {
    std::wstring longPath = L"C:\\" + std::wstring(300, L'd') + L"\\tnlrelay.exe";
    bool ok = false;
    FakeScm scm = run([](FakeScm& s) { s.createSucceeds = true; },
                      [&] { return installWith(kFakeApi, longPath); }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(scm.managerAccess, std::vector<std::uint32_t>{kScManagerCreateService});
    EXPECT_EQ(scm.createdCommand, L"\"" + longPath + L"\" --service") << "never cut short";
    EXPECT_EQ(scm.calls, (std::vector<std::string>{"create", "describe", "recovery", "source+",
                                                   "firewall+", "start"}));
    EXPECT_EQ(scm.firewallExe, longPath) << "the rule names the program itself";
    EXPECT_EQ(scm.sourceExe, longPath) << "the messages come from the program";

    // Restarts after 5 s, 5 s and 60 s, counted afresh after a day, failed starts included.
    EXPECT_EQ(scm.recovery.resetSeconds, 86400u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(scm.recovery.actions[i].type, kRecoveryRestart) << i;
        EXPECT_EQ(scm.recovery.actions[i].delayMs, i < 2 ? 5000u : 60000u) << i;
    }
    EXPECT_TRUE(scm.recovery.nonCrashFailures);

    // A failed start of the new service is still a successful install.
    scm = run(
        [](FakeScm& s) {
            s.createSucceeds = true;
            s.startSucceeds = false;
        },
        [&] { return installWith(kFakeApi, L"C:\\r.exe"); }, ok);
    EXPECT_TRUE(ok);
}

TEST(ServiceCommands, InstallOverAnExistingServiceOnlyStartsIt) {
    bool ok = false;
    FakeScm scm = run([](FakeScm& s) { s.startSucceeds = false; },
                      [&] { return installWith(kFakeApi, L"C:\\r.exe"); }, ok);
    EXPECT_TRUE(ok) << "already running: the start fails, the install does not";
    EXPECT_EQ(scm.calls, (std::vector<std::string>{"create", "source+", "firewall+", "start"}))
        << "an existing service keeps its settings but gets the rule";
    EXPECT_EQ(scm.serviceAccess, std::vector<std::uint32_t>{kServiceAllAccess});

    scm = run([](FakeScm& s) { s.serviceAccessAllowed = false; },
              [&] { return installWith(kFakeApi, L"C:\\r.exe"); }, ok);
    EXPECT_FALSE(ok) << "neither created nor openable";
    scm = run([](FakeScm& s) { s.managerOpens = {false}; },
              [&] { return installWith(kFakeApi, L"C:\\r.exe"); }, ok);
    EXPECT_FALSE(ok) << "not elevated";
    EXPECT_TRUE(scm.calls.empty());
}

TEST(ServiceCommands, AFirewallRuleThatCannotBeAddedIsLoggedAndTheInstallGoesOn) {
    for (bool create : {true, false}) {
        bool ok = false;
        FakeScm scm = run(
            [&](FakeScm& s) {
                s.createSucceeds = create;
                s.firewallAdds = false;
            },
            [&] { return installWith(kFakeApi, L"C:\\r.exe"); }, ok);
        EXPECT_TRUE(ok) << "the exit code of install does not change";
        ASSERT_EQ(scm.events.size(), 1u);
        EXPECT_EQ(scm.events[0].first, kEventWarning);
        EXPECT_NE(scm.events[0].second.find("0x80070005"), std::string::npos)
            << "the entry says why: " << scm.events[0].second;
        EXPECT_EQ(scm.calls.back(), "start") << "the service is started all the same";
        std::size_t source =
            std::find(scm.calls.begin(), scm.calls.end(), "source+") - scm.calls.begin();
        std::size_t event =
            std::find(scm.calls.begin(), scm.calls.end(), "event") - scm.calls.begin();
        EXPECT_LT(source, event) << "the source exists before the entry is written";
    }
    bool ok = false;
    FakeScm scm = run([](FakeScm& s) { s.createSucceeds = true; },
                      [] { return installWith(kFakeApi, L"C:\\r.exe"); }, ok);
    EXPECT_TRUE(scm.events.empty()) << "a rule that was added is not reported";
}

TEST(ServiceCommands, StatusQueryTellsAbsentFromUnreadable) {
    using R = ServiceProbe::Result;
    struct Case {
        void (*setup)(FakeScm&);
        R result;
    };
    const Case cases[] = {
        {[](FakeScm& s) { s.states = {kStateRunning}; }, R::ok},
        {[](FakeScm& s) { s.serviceExists = false; }, R::notInstalled},
        {[](FakeScm& s) { s.serviceAccessAllowed = false; }, R::queryFailed},
        {[](FakeScm& s) { s.queryFails = true; }, R::queryFailed},
        {[](FakeScm& s) { s.managerOpens = {false}; }, R::noManager},
    };
    for (const Case& c : cases) {
        ServiceProbe probe;
        FakeScm scm;
        c.setup(scm);
        g_scm = &scm;
        probe = queryServiceWith(kFakeApi);
        g_scm = nullptr;
        EXPECT_EQ(probe.result, c.result) << static_cast<int>(c.result);
        EXPECT_TRUE(scm.open.empty()) << "handles left open";
        if (c.result == R::ok) {
            EXPECT_EQ(probe.state, kStateRunning);
            EXPECT_EQ(scm.serviceAccess, std::vector<std::uint32_t>{kServiceQueryStatus})
                << "an ordinary user may query";
            EXPECT_EQ(scm.managerAccess, std::vector<std::uint32_t>{kScManagerConnect});
        }
    }
}

TEST(ServiceCommands, UninstallSucceedsOnlyWhenTheServiceIsGoneOrAbsent) {
    bool ok = false;
    FakeScm scm = run(
        [](FakeScm& s) {
            s.states = {kStateRunning, kStateStopPending, kStateStopped};
        },
        [] { return uninstallWith(kFakeApi); }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(scm.serviceAccess, std::vector<std::uint32_t>{0x10024});
    EXPECT_EQ(scm.managerAccess, std::vector<std::uint32_t>{kScManagerConnect});
    EXPECT_EQ(scm.calls, (std::vector<std::string>{"stop", "query", "sleep", "query", "sleep",
                                                   "query", "delete", "firewall-", "source-"}));

    scm = run([](FakeScm& s) { s.serviceExists = false; }, [] { return uninstallWith(kFakeApi); },
              ok);
    EXPECT_TRUE(ok) << "nothing installed counts as removed";
    EXPECT_EQ(scm.calls, (std::vector<std::string>{"firewall-", "source-"}))
        << "what an earlier install left goes too";
    scm = run([](FakeScm& s) { s.serviceAccessAllowed = false; },
              [] { return uninstallWith(kFakeApi); }, ok);
    EXPECT_FALSE(ok) << "access refused is a failure, not a removal";
    EXPECT_TRUE(scm.calls.empty()) << "a service that stays keeps its rule";
    scm = run([](FakeScm& s) { s.managerOpens = {false}; }, [] { return uninstallWith(kFakeApi); },
              ok);
    EXPECT_FALSE(ok);
    scm = run(
        [](FakeScm& s) {
            s.deleteSucceeds = false;
            s.deleteError = 5;
        },
        [] { return uninstallWith(kFakeApi); }, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(scm.calls.back(), "delete") << "the rule stays with a service that stays";
    scm = run(
        [](FakeScm& s) {
            s.deleteSucceeds = false;
            s.deleteError = kErrorServiceMarkedForDelete;
        },
        [] { return uninstallWith(kFakeApi); }, ok);
    EXPECT_TRUE(ok) << "already marked for deletion: it goes once it stops";
}

TEST(ServiceCommands, UninstallWaitsAtMostTwentyFivePollsThenDeletesAnyway) {
    bool ok = false;
    FakeScm scm = run([](FakeScm& s) { s.states = {kStateStopPending}; },
                      [] { return uninstallWith(kFakeApi); }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(scm.queries, kUninstallPolls);
    EXPECT_EQ(scm.sleeps, kUninstallPolls);
    EXPECT_EQ(scm.calls[scm.calls.size() - 3], "delete");

    scm = run(
        [](FakeScm& s) {
            s.queryFails = true;
            s.stopAccepted = false;
        },
        [] { return uninstallWith(kFakeApi); }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(scm.calls,
              (std::vector<std::string>{"stop", "query", "delete", "firewall-", "source-"}));
}

TEST(ServiceCommands, StartAndStopReturnWhatTheManagerAnswers) {
    for (bool accepted : {true, false}) {
        bool ok = !accepted;
        FakeScm scm = run([&](FakeScm& s) { s.startSucceeds = accepted; },
                          [] { return startServiceWith(kFakeApi); }, ok);
        EXPECT_EQ(ok, accepted);
        EXPECT_EQ(scm.serviceAccess, std::vector<std::uint32_t>{0x14});
        EXPECT_EQ(scm.calls, std::vector<std::string>{"start"}) << "no wait for RUNNING";

        scm = run([&](FakeScm& s) { s.stopAccepted = accepted; },
                  [] { return stopServiceWith(kFakeApi); }, ok);
        EXPECT_EQ(ok, accepted);
        EXPECT_EQ(scm.serviceAccess, std::vector<std::uint32_t>{0x24});
        EXPECT_EQ(scm.calls, std::vector<std::string>{"stop"}) << "no wait for STOPPED";
    }
    for (auto setup : {+[](FakeScm& s) { s.serviceExists = false; },
                       +[](FakeScm& s) { s.serviceAccessAllowed = false; },
                       +[](FakeScm& s) { s.managerOpens = {false}; }}) {
        bool ok = true;
        run(
            setup, [] { return startServiceWith(kFakeApi); }, ok);
        EXPECT_FALSE(ok);
        ok = true;
        run(
            setup, [] { return stopServiceWith(kFakeApi); }, ok);
        EXPECT_FALSE(ok);
    }
}

TEST(ServiceCommands, RestartStopsWaitsAndStarts) {
    bool ok = false;
    FakeScm scm = run(
        [](FakeScm& s) {
            s.states = {kStateRunning, kStateStopPending, kStateStopped};
        },
        [] { return restartServiceWith(kFakeApi); }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(scm.serviceAccess, (std::vector<std::uint32_t>{0x24, 0x14}));
    EXPECT_EQ(scm.managerAccess.size(), 2u) << "the manager is opened once per phase";
    EXPECT_EQ(scm.calls, (std::vector<std::string>{"stop", "query", "sleep", "query", "sleep",
                                                   "query", "start"}));

    // Already stopped: the stop request fails, the start follows at the first poll.
    scm = run([](FakeScm& s) { s.stopAccepted = false; },
              [] { return restartServiceWith(kFakeApi); }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(scm.sleeps, 0);

    // A failing first phase is ignored.
    scm = run(
        [](FakeScm& s) {
            s.managerOpens = {false, true};
        },
        [] { return restartServiceWith(kFakeApi); }, ok);
    EXPECT_TRUE(ok);
}

TEST(ServiceCommands, RestartGivesUpAfterSeventyFivePollsWithoutStarting) {
    bool ok = true;
    FakeScm scm = run([](FakeScm& s) { s.states = {kStateStopPending}; },
                      [] { return restartServiceWith(kFakeApi); }, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(scm.queries, kRestartPolls);
    EXPECT_EQ(std::count(scm.calls.begin(), scm.calls.end(), "start"), 0);

    for (auto setup :
         {+[](FakeScm& s) { s.queryFails = true; }, +[](FakeScm& s) { s.serviceExists = false; },
          +[](FakeScm& s) {
              s.managerOpens = {true, false};
          },
          +[](FakeScm& s) { s.startSucceeds = false; }}) {
        ok = true;
        run(
            setup, [] { return restartServiceWith(kFakeApi); }, ok);
        EXPECT_FALSE(ok);
    }
}

TEST(ServiceCommands, AutoStartSwitchesBetweenAutomaticAndDemand) {
    bool ok = false;
    FakeScm scm = run(
        noSetup, [] { return setAutoStartWith(kFakeApi, true); }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(scm.changedStartType, kAutoStart);
    EXPECT_EQ(scm.serviceAccess, std::vector<std::uint32_t>{kServiceChangeConfig});
    scm = run(
        noSetup, [] { return setAutoStartWith(kFakeApi, false); }, ok);
    EXPECT_EQ(scm.changedStartType, kDemandStart) << "off is demand start, never disabled";

    for (auto setup : {+[](FakeScm& s) { s.changeSucceeds = false; },
                       +[](FakeScm& s) { s.serviceExists = false; },
                       +[](FakeScm& s) { s.managerOpens = {false}; }}) {
        ok = true;
        run(
            setup, [] { return setAutoStartWith(kFakeApi, true); }, ok);
        EXPECT_FALSE(ok);
    }
}

TEST(ServiceCommands, IsAutoStartOnlyForTheAutomaticStartType) {
    for (std::uint32_t type : {kBootStart, kSystemStart, kAutoStart, kDemandStart, kDisabled}) {
        bool ok = false;
        FakeScm scm = run([&](FakeScm& s) { s.startType = type; },
                          [] { return isAutoStartWith(kFakeApi); }, ok);
        EXPECT_EQ(ok, type == kAutoStart) << "start type " << type;
        EXPECT_EQ(scm.serviceAccess, std::vector<std::uint32_t>{kServiceQueryConfig});
    }
    for (auto setup : {+[](FakeScm& s) { s.queryConfigSucceeds = false; },
                       +[](FakeScm& s) { s.serviceExists = false; },
                       +[](FakeScm& s) { s.managerOpens = {false}; }}) {
        bool ok = true;
        run(
            setup, [] { return isAutoStartWith(kFakeApi); }, ok);
        EXPECT_FALSE(ok);
    }
}
