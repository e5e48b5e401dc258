// The service commands against a fake service manager: the result for each answer it gives,
// the rights asked for, the polls and pauses, and every handle closed on every path.

#include "ServiceCommands.hpp"

#include <gtest/gtest.h>

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

    // What happened.
    std::vector<std::string> calls;
    std::vector<std::uint32_t> managerAccess, serviceAccess;
    std::wstring createdCommand;
    std::set<void*> open;
    int opened = 0, closedUnknown = 0, managerCalls = 0, queries = 0, sleeps = 0;
    std::uint32_t changedStartType = 0;
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
void closeHandle(ScHandle handle) {
    if (g_scm->open.erase(handle) == 0) ++g_scm->closedUnknown;
}
void sleepFor(std::uint32_t ms) {
    EXPECT_EQ(ms, kPollIntervalMs);
    ++g_scm->sleeps;
    g_scm->calls.push_back("sleep");
}

const ScmApi kFakeApi = {openManager,     createService,  setDescription, openService,
                         startService,    controlStop,    queryState,     deleteService,
                         changeStartType, queryStartType, closeHandle,    sleepFor};

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
    EXPECT_EQ(scm.calls, (std::vector<std::string>{"create", "describe", "start"}));

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
    EXPECT_EQ(scm.calls, (std::vector<std::string>{"create", "start"}));
    EXPECT_EQ(scm.serviceAccess, std::vector<std::uint32_t>{kServiceAllAccess});

    scm = run([](FakeScm& s) { s.serviceAccessAllowed = false; },
              [&] { return installWith(kFakeApi, L"C:\\r.exe"); }, ok);
    EXPECT_FALSE(ok) << "neither created nor openable";
    scm = run([](FakeScm& s) { s.managerOpens = {false}; },
              [&] { return installWith(kFakeApi, L"C:\\r.exe"); }, ok);
    EXPECT_FALSE(ok) << "not elevated";
    EXPECT_TRUE(scm.calls.empty());
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
                                                   "query", "delete"}));

    scm = run([](FakeScm& s) { s.serviceExists = false; }, [] { return uninstallWith(kFakeApi); },
              ok);
    EXPECT_TRUE(ok) << "nothing installed counts as removed";
    scm = run([](FakeScm& s) { s.serviceAccessAllowed = false; },
              [] { return uninstallWith(kFakeApi); }, ok);
    EXPECT_FALSE(ok) << "access refused is a failure, not a removal";
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
    EXPECT_EQ(scm.calls.back(), "delete");

    scm = run(
        [](FakeScm& s) {
            s.queryFails = true;
            s.stopAccepted = false;
        },
        [] { return uninstallWith(kFakeApi); }, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(scm.calls, (std::vector<std::string>{"stop", "query", "delete"}));
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
