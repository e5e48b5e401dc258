// The status report rule and the control handler of the service host, serialised by one lock.

#include "ServiceHost.hpp"

namespace tnlrelay::service {

void ServiceHost::reportStatus(std::uint32_t state, std::uint32_t win32ExitCode,
                               std::uint32_t waitHint, std::uint32_t specificExitCode) {
    std::lock_guard<std::mutex> guard(lock_);
    send(state, win32ExitCode, waitHint, specificExitCode);
}

void ServiceHost::send(std::uint32_t state, std::uint32_t win32ExitCode, std::uint32_t waitHint,
                       std::uint32_t specificExitCode) {
    if (finished_) return;
    status_.serviceType = kServiceWin32OwnProcess;
    status_.currentState = state;
    status_.win32ExitCode = win32ExitCode;
    status_.serviceSpecificExitCode = specificExitCode;
    status_.waitHint = waitHint;
    status_.controlsAccepted = state == kStateStartPending ? 0 : kAcceptStopAndShutdown;
    if (state == kStateRunning || state == kStateStopped)
        status_.checkPoint = 0;
    else
        ++status_.checkPoint;
    if (state == kStateStopped) finished_ = true;
    if (sender_) sender_(context_, status_);
}

void ServiceHost::handleControl(std::uint32_t control) {
    std::lock_guard<std::mutex> guard(lock_);
    switch (control) {
    case kControlInterrogate:
        send(status_.currentState, status_.win32ExitCode, 0, status_.serviceSpecificExitCode);
        break;
    case kControlStop:
    case kControlShutdown:
        send(kStateStopPending, 0, kStopWaitHintMs, 0);
        if (stopFlag_) stopFlag_->exchange(true);
        break;
    default:
        break;
    }
}

void ServiceHost::attach(std::atomic<bool>* stopFlag) {
    std::lock_guard<std::mutex> guard(lock_);
    stopFlag_ = stopFlag;
}

ServiceStatus ServiceHost::status() const {
    std::lock_guard<std::mutex> guard(lock_);
    return status_;
}

} // namespace tnlrelay::service
