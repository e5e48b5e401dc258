// The service host: the reports the service manager receives for start, stop, a second stop,
// interrogate and a failed start, the order of the core's destruction and the last report, and
// controls racing the service thread.

#include "windows/ServiceHost.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace tnlrelay::service;

namespace {

struct FakeConfig {
    int gamePort = 0;
    int adminPort = 0;
};

/// What happened, in order: core events as words, reports as "report:<state>".
struct Journal {
    std::mutex lock;
    std::vector<std::string> events;
    std::vector<ServiceStatus> reports;

    void add(const std::string& event) {
        std::lock_guard<std::mutex> guard(lock);
        events.push_back(event);
    }
};

Journal* g_journal = nullptr;
ServiceHost* g_host = nullptr;
bool g_startSucceeds = true;
/// Called from inside start() and runLoop(), on the service thread, to play the manager's part.
void (*g_duringStart)() = nullptr;
void (*g_duringLoop)() = nullptr;

void recordStatus(void* context, const ServiceStatus& status) {
    auto* journal = static_cast<Journal*>(context);
    std::lock_guard<std::mutex> guard(journal->lock);
    journal->reports.push_back(status);
    journal->events.push_back("report:" + std::to_string(status.currentState));
}

FakeConfig loadFakeConfig() {
    g_journal->add("load");
    return FakeConfig{49200, 49201};
}

void recordEvent(void* context, ServiceEvent event, const std::string& text) {
    static const char* const names[] = {"started", "stopped", "startFailed", "folderRefused"};
    static_cast<Journal*>(context)->add(std::string("event:") + names[static_cast<int>(event)] +
                                        ":" + text);
}

std::string g_refusal;
std::string fakePrepare() {
    g_journal->add("prepare");
    return g_refusal;
}

class FakeCore {
public:
    explicit FakeCore(FakeConfig config) {
        g_journal->add("construct:" + std::to_string(config.gamePort));
    }
    ~FakeCore() { g_journal->add("destroy"); }
    bool start() {
        g_journal->add("start");
        if (g_duringStart) g_duringStart();
        return g_startSucceeds;
    }
    void runLoop() {
        g_journal->add("loop");
        if (g_duringLoop) g_duringLoop();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!stopRequested && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        g_journal->add(stopRequested ? "loop-end" : "loop-timeout");
    }
    std::atomic<bool> stopRequested{false};
};

ServiceStatus expected(std::uint32_t state, std::uint32_t controls, std::uint32_t exitCode,
                       std::uint32_t checkPoint, std::uint32_t waitHint) {
    return ServiceStatus{
        kServiceWin32OwnProcess, state, controls, exitCode, 0, checkPoint, waitHint};
}

class ServiceHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_journal = &journal;
        g_host = &host;
        g_startSucceeds = true;
        g_duringStart = nullptr;
        g_duringLoop = nullptr;
    }
    void TearDown() override {
        g_journal = nullptr;
        g_host = nullptr;
    }
    Journal journal;
    ServiceHost host{recordStatus, &journal};
};

} // namespace

TEST_F(ServiceHostTest, StartStopAndSecondStopReportInOrderAndDestroyBeforeStopped) {
    g_duringLoop = [] {
        g_host->handleControl(kControlInterrogate);
        g_host->handleControl(kControlStop);
        g_host->handleControl(kControlStop);
    };
    host.serve<FakeCore, FakeConfig>(loadFakeConfig);

    std::vector<ServiceStatus> want = {
        expected(kStateStartPending, 0, 0, 1, 3000),
        expected(kStateRunning, 5, 0, 0, 0),
        expected(kStateRunning, 5, 0, 0, 0), // interrogate
        expected(kStateStopPending, 5, 0, 1, 5000),
        expected(kStateStopPending, 5, 0, 2, 5000), // the second stop
        expected(kStateStopped, 5, 0, 0, 0),
    };
    EXPECT_EQ(journal.reports, want);
    std::vector<std::string> order = {"report:2", "load",     "construct:49200", "start",
                                      "report:4", "loop",     "report:4",        "report:3",
                                      "report:3", "loop-end", "destroy",         "report:1"};
    EXPECT_EQ(journal.events, order) << "the core must be gone before STOPPED is reported";
}

TEST_F(ServiceHostTest, ShutdownStopsLikeStop) {
    g_duringLoop = [] { g_host->handleControl(kControlShutdown); };
    host.serve<FakeCore, FakeConfig>(loadFakeConfig);
    ASSERT_EQ(journal.reports.size(), 4u);
    EXPECT_EQ(journal.reports[2], expected(kStateStopPending, 5, 0, 1, 5000));
    EXPECT_EQ(journal.reports[3], expected(kStateStopped, 5, 0, 0, 0));
    EXPECT_EQ(journal.events[journal.events.size() - 3], "loop-end");
}

TEST_F(ServiceHostTest, FailedStartDestroysTheCoreThenReportsStoppedWith1066) {
    g_startSucceeds = false;
    host.serve<FakeCore, FakeConfig>(loadFakeConfig);
    std::vector<ServiceStatus> want = {
        expected(kStateStartPending, 0, 0, 1, 3000),
        expected(kStateStopped, 5, kErrorServiceSpecific, 0, 0),
    };
    EXPECT_EQ(journal.reports, want);
    std::vector<std::string> order = {"report:2", "load",    "construct:49200",
                                      "start",    "destroy", "report:1"};
    EXPECT_EQ(journal.events, order) << "the loop never runs after a failed start";
}

TEST_F(ServiceHostTest, InterrogateWhileStartingCountsTheCheckpointAndAcceptsNothing) {
    g_duringStart = [] { g_host->handleControl(kControlInterrogate); };
    g_duringLoop = [] { g_host->handleControl(kControlStop); };
    host.serve<FakeCore, FakeConfig>(loadFakeConfig);
    ASSERT_GE(journal.reports.size(), 2u);
    EXPECT_EQ(journal.reports[1], expected(kStateStartPending, 0, 0, 2, 0));
}

TEST_F(ServiceHostTest, ControlsOtherThanStopShutdownAndInterrogateChangeNothing) {
    host.reportStatus(kStateRunning, 0, 0);
    std::atomic<bool> flag{false};
    host.attach(&flag);
    for (std::uint32_t control :
         {0u, 2u, 3u, 6u, 7u, 8u, 9u, 10u, 11u, 15u, 16u, 0x20u, 0x40u, 0x80u, 0xFFFFFFFFu})
        host.handleControl(control);
    EXPECT_EQ(journal.reports.size(), 1u) << "no control but 1, 4 and 5 may report";
    EXPECT_FALSE(flag.load());
    host.attach(nullptr);
}

TEST_F(ServiceHostTest, NothingIsReportedOrTouchedAfterStopped) {
    g_duringLoop = [] { g_host->handleControl(kControlStop); };
    host.serve<FakeCore, FakeConfig>(loadFakeConfig);
    std::size_t count = journal.reports.size();
    host.handleControl(kControlStop);
    host.handleControl(kControlInterrogate);
    host.reportStatus(kStateRunning, 0, 0);
    EXPECT_EQ(journal.reports.size(), count);
    EXPECT_EQ(host.status().currentState, kStateStopped);
}

TEST_F(ServiceHostTest, ControlsRacingTheServiceThreadKeepEveryReportWhole) {
    // A dispatcher thread sends controls from the first report to the end of the run; every
    // report must be one consistent record, and after STOPPED there must be none.
    static std::atomic<bool> running;
    static std::thread dispatcher;
    running = true;
    g_duringStart = [] {
        dispatcher = std::thread([] {
            while (running) {
                g_host->handleControl(kControlInterrogate);
                g_host->handleControl(kControlStop);
            }
        });
    };
    host.serve<FakeCore, FakeConfig>(loadFakeConfig);
    running = false;
    dispatcher.join();

    std::lock_guard<std::mutex> guard(journal.lock);
    ASSERT_FALSE(journal.reports.empty());
    EXPECT_EQ(journal.reports.back().currentState, kStateStopped);
    for (std::size_t i = 0; i + 1 < journal.reports.size(); ++i) {
        const ServiceStatus& r = journal.reports[i];
        ASSERT_NE(r.currentState, kStateStopped) << "a report followed STOPPED at " << i;
        EXPECT_EQ(r.controlsAccepted, r.currentState == kStateStartPending ? 0u : 5u) << i;
        EXPECT_EQ(r.serviceType, kServiceWin32OwnProcess) << i;
    }
    auto destroyed = std::find(journal.events.begin(), journal.events.end(), "destroy");
    auto stopped = std::find(journal.events.begin(), journal.events.end(), "report:1");
    EXPECT_LT(destroyed, stopped);
}

TEST_F(ServiceHostTest, StartPendingComesBeforeTheFolderCheckAndARefusalStopsWithItsReason) {
    ServiceHost logging(recordStatus, &journal, recordEvent);
    g_host = &logging;
    g_refusal = "\"C:\\ProgramData\\Tarnelle\\RelayServer\" is a link";
    logging.serve<FakeCore, FakeConfig>(loadFakeConfig, fakePrepare);
    g_refusal.clear();
    std::vector<std::string> order = {
        "report:2", "prepare",
        "event:folderRefused:Relay service not started: \"C:\\ProgramData\\Tarnelle\\RelayServer\" "
        "is a link",
        "report:1"};
    EXPECT_EQ(journal.events, order)
        << "no configuration read and no core made in a refused folder";
    ASSERT_EQ(journal.reports.size(), 2u);
    EXPECT_EQ(journal.reports[1], (ServiceStatus{kServiceWin32OwnProcess, kStateStopped, 5,
                                                 kErrorServiceSpecific, kExitFolderRefused, 0, 0}));
}

TEST_F(ServiceHostTest, EventLogHearsStartStopAndAFailedStartWithThePorts) {
    ServiceHost logging(recordStatus, &journal, recordEvent);
    g_host = &logging;
    g_duringLoop = [] { g_host->handleControl(kControlStop); };
    logging.serve<FakeCore, FakeConfig>(loadFakeConfig, fakePrepare);
    std::vector<std::string> order = {
        "report:2", "prepare",
        "load",     "construct:49200",
        "start",    "event:started:Relay service started (game port 49200, admin port 49201).",
        "report:4", "loop",
        "report:3", "loop-end",
        "destroy",  "event:stopped:Relay service stopped.",
        "report:1"};
    EXPECT_EQ(journal.events, order);

    Journal failed;
    g_journal = &failed;
    ServiceHost second(recordStatus, &failed, recordEvent);
    g_startSucceeds = false;
    second.serve<FakeCore, FakeConfig>(loadFakeConfig, fakePrepare);
    ASSERT_GE(failed.events.size(), 3u);
    const std::string& entry = failed.events[failed.events.size() - 3];
    EXPECT_EQ(entry.rfind("event:startFailed:", 0), 0u) << entry;
    EXPECT_NE(entry.find("game port 49200, admin port 49201"), std::string::npos)
        << "the entry names the ports";
    EXPECT_EQ(std::count_if(failed.events.begin(), failed.events.end(),
                            [](const std::string& e) { return e.rfind("event:", 0) == 0; }),
              1)
        << "a failed start is not also reported as started or stopped";
}
