// Password checks off the loop thread: one worker thread takes login attempts from a small queue
// and verifies each against its stored hash (tens of milliseconds and 32 MiB each), so that a
// flood of logins costs the relay one thread's time and a bounded amount of memory, never its
// loop. Beyond the queue, attempts are refused at once. Results wait until the loop takes them;
// the worker wakes the loop for that.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tnlrelay {

class PasswordChecker {
public:
    /// Attempts in hand at most: queued, being checked, or checked and not taken yet.
    static constexpr std::size_t kCapacity = 4;

    struct Job {
        std::uint64_t id = 0;
        std::string password;
        std::string passwordHash;
    };
    struct Result {
        std::uint64_t id = 0;
        bool match = false;
    };

    /// `wake` is called on the worker thread after each result; `verify` checks one password
    /// against its hash (tests pass their own).
    explicit PasswordChecker(std::function<void()> wake,
                             bool (*verify)(std::string_view, std::string_view) = nullptr);
    /// Stops the worker after the job it is on; jobs not started are dropped.
    ~PasswordChecker();
    PasswordChecker(const PasswordChecker&) = delete;
    PasswordChecker& operator=(const PasswordChecker&) = delete;

    /// Queues a check; false when `kCapacity` attempts are in hand or no thread can be had.
    /// The worker starts with the first job.
    bool submit(Job job);
    /// The checks finished since the last call, in the order they finished.
    std::vector<Result> takeResults();

private:
    void work();

    std::function<void()> wake_;
    bool (*verify_)(std::string_view, std::string_view);
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Job> queue_;
    std::vector<Result> results_;
    std::size_t inHand_ = 0;
    bool stopping_ = false;
    std::thread worker_;
};

} // namespace tnlrelay
