// The service commands: which handles they open with which rights, how long they wait, and what
// counts as success. Every handle opened is closed on every path, by the Scoped holder below.

#include "ServiceCommands.hpp"

namespace tnlrelay::service {

namespace {

/// Closes the handle it holds when it goes out of scope.
class Scoped {
public:
    Scoped(const ScmApi& api, ScHandle handle) : api_(api), handle_(handle) {}
    ~Scoped() {
        if (handle_) api_.closeHandle(handle_);
    }
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;

    ScHandle get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    const ScmApi& api_;
    ScHandle handle_;
};

ScHandle openManager(const ScmApi& api, std::uint32_t access) {
    std::uint32_t error = 0;
    return api.openManager(access, &error);
}

ScHandle openService(const ScmApi& api, ScHandle manager, std::uint32_t access,
                     std::uint32_t* error = nullptr) {
    std::uint32_t ignored = 0;
    return api.openService(manager, access, error ? error : &ignored);
}

} // namespace

std::wstring serviceCommandLine(const std::wstring& exe, const wchar_t* argument) {
    return L"\"" + exe + L"\" " + argument;
}

/// What install does around a service that exists: the event source first, so that the firewall
/// outcome can be reported under it, then the rule, then the start.
void completeInstall(const ScmApi& api, ScHandle service, const std::wstring& exe) {
    api.registerEventSource(exe);
    std::string reason;
    if (!api.addFirewallRule(exe, &reason))
        api.reportEvent(kEventWarning,
                        "The inbound firewall rule for the relay could not be added (" + reason +
                            "); players on other machines may not be able to connect. Allow "
                            "the program through the firewall by hand.");
    api.startService(service);
}

bool installWith(const ScmApi& api, const std::wstring& exe) {
    Scoped manager(api, openManager(api, kScManagerCreateService));
    if (!manager) return false;
    std::uint32_t error = 0;
    Scoped created(api,
                   api.createService(manager.get(), serviceCommandLine(exe, L"--service"), &error));
    if (created) {
        api.setDescription(created.get());
        api.setRecovery(created.get(), kRecoveryPolicy);
        completeInstall(api, created.get(), exe);
        return true;
    }
    // Already there (or not creatable): an existing service keeps its settings and is started.
    Scoped existing(api, openService(api, manager.get(), kServiceAllAccess));
    if (!existing) return false;
    completeInstall(api, existing.get(), exe);
    return true;
}

bool uninstallWith(const ScmApi& api) {
    Scoped manager(api, openManager(api, kScManagerConnect));
    if (!manager) return false;
    std::uint32_t error = 0;
    Scoped service(
        api, openService(api, manager.get(), kDelete | kServiceStop | kServiceQueryStatus, &error));
    bool gone = false;
    if (!service) {
        gone = error == kErrorServiceDoesNotExist;
    } else {
        api.controlStop(service.get());
        for (int remaining = kUninstallPolls; remaining > 0; --remaining) {
            std::uint32_t state = 0;
            if (!api.queryState(service.get(), &state) || state == kStateStopped) break;
            api.sleep(kPollIntervalMs);
        }
        std::uint32_t deleteError = 0;
        gone = api.deleteService(service.get(), &deleteError) ||
               deleteError == kErrorServiceMarkedForDelete;
    }
    // A service that stays keeps its rule and its event source.
    if (gone) {
        api.removeFirewallRule();
        api.removeEventSource();
    }
    return gone;
}

bool startServiceWith(const ScmApi& api) {
    Scoped manager(api, openManager(api, kScManagerConnect));
    if (!manager) return false;
    Scoped service(api, openService(api, manager.get(), kServiceStart | kServiceQueryStatus));
    if (!service) return false;
    return api.startService(service.get());
}

bool stopServiceWith(const ScmApi& api) {
    Scoped manager(api, openManager(api, kScManagerConnect));
    if (!manager) return false;
    Scoped service(api, openService(api, manager.get(), kServiceStop | kServiceQueryStatus));
    if (!service) return false;
    return api.controlStop(service.get());
}

bool restartServiceWith(const ScmApi& api) {
    {
        // The stop request: every failure here is ignored, the start below decides.
        Scoped manager(api, openManager(api, kScManagerConnect));
        if (manager) {
            Scoped service(api,
                           openService(api, manager.get(), kServiceStop | kServiceQueryStatus));
            if (service) api.controlStop(service.get());
        }
    }
    Scoped manager(api, openManager(api, kScManagerConnect));
    if (!manager) return false;
    Scoped service(api, openService(api, manager.get(), kServiceStart | kServiceQueryStatus));
    if (!service) return false;
    for (int remaining = kRestartPolls; remaining > 0; --remaining) {
        std::uint32_t state = 0;
        if (!api.queryState(service.get(), &state)) return false;
        if (state == kStateStopped) return api.startService(service.get());
        api.sleep(kPollIntervalMs);
    }
    return false;
}

bool setAutoStartWith(const ScmApi& api, bool on) {
    Scoped manager(api, openManager(api, kScManagerConnect));
    if (!manager) return false;
    Scoped service(api, openService(api, manager.get(), kServiceChangeConfig));
    if (!service) return false;
    return api.changeStartType(service.get(), on ? kAutoStart : kDemandStart);
}

ServiceProbe queryServiceWith(const ScmApi& api) {
    ServiceProbe probe;
    Scoped manager(api, openManager(api, kScManagerConnect));
    if (!manager) return probe;
    std::uint32_t error = 0;
    Scoped service(api, openService(api, manager.get(), kServiceQueryStatus, &error));
    if (!service) {
        // Only a service that does not exist is "not installed"; one we may not see is unknown.
        probe.result = error == kErrorServiceDoesNotExist ? ServiceProbe::Result::notInstalled
                                                          : ServiceProbe::Result::queryFailed;
        return probe;
    }
    probe.result = api.queryState(service.get(), &probe.state) ? ServiceProbe::Result::ok
                                                               : ServiceProbe::Result::queryFailed;
    return probe;
}

bool isAutoStartWith(const ScmApi& api) {
    Scoped manager(api, openManager(api, kScManagerConnect));
    if (!manager) return false;
    Scoped service(api, openService(api, manager.get(), kServiceQueryConfig));
    if (!service) return false;
    std::uint32_t startType = kDisabled;
    return api.queryStartType(service.get(), &startType) && startType == kAutoStart;
}

} // namespace tnlrelay::service
