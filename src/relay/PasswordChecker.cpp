// The password checking thread and its queue.
#include "PasswordChecker.hpp"

#include "PasswordHash.hpp"

#include <system_error>

namespace tnlrelay {

PasswordChecker::PasswordChecker(std::function<void()> wake,
                                 bool (*verify)(std::string_view, std::string_view))
    : wake_(std::move(wake)), verify_(verify ? verify : &verifyPassword) {}

PasswordChecker::~PasswordChecker() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    ready_.notify_all();
    if (worker_.joinable()) worker_.join();
}

bool PasswordChecker::submit(Job job) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (inHand_ >= kCapacity || stopping_) return false;
    if (!worker_.joinable()) {
        try {
            worker_ = std::thread([this] { work(); });
        } catch (const std::system_error&) {
            return false; // no thread for now: refused like a full queue, tried again next time
        }
    }
    ++inHand_;
    queue_.push_back(std::move(job));
    lock.unlock();
    ready_.notify_one();
    return true;
}

std::vector<PasswordChecker::Result> PasswordChecker::takeResults() {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Result> taken;
    taken.swap(results_);
    inHand_ -= taken.size();
    return taken;
}

void PasswordChecker::work() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        const bool match = verify_(job.password, job.passwordHash);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            results_.push_back({job.id, match});
        }
        wake_();
    }
}

} // namespace tnlrelay
