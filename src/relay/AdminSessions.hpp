// Logged-in admin sessions and the back-off on failed logins. A session is named by a cookie
// token of a public selector and a 256-bit secret compared in constant time; it ends after 30
// idle minutes, 12 hours in all, a logout, or a change of its account. Failed logins slow down
// the next attempt from the same address and for the same name, exponentially up to a cap.
// Time is passed in, so that tests drive the clock.
#pragma once

#include "AdminAccounts.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tnlrelay {

struct AdminSession {
    std::string name;
    AdminRole role = AdminRole::viewer;
    std::string passwordHash; ///< the account's hash at login: a new one ends the session
    std::string csrf;         ///< the anti-forgery token every state-changing request carries
    std::chrono::steady_clock::time_point started, lastUsed;
};

class AdminSessions {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kIdle = std::chrono::minutes(30);
    static constexpr auto kLifetime = std::chrono::hours(12);
    /// Sessions kept at most; a new one beyond it ends the one used least recently.
    static constexpr std::size_t kMaxSessions = 256;
    /// The cookie that carries the token.
    static constexpr std::string_view kCookie = "tnlrelay_session";

    /// A new session of the account; its cookie token, or empty when no random bytes could be
    /// had. `session`, when given, points at the new session.
    std::string open(const AdminAccount& account, Clock::time_point now,
                     const AdminSession** session = nullptr);
    /// The live session a token names, its idle time restarted; null for an unknown, wrong or
    /// expired token (an expired session ends here).
    const AdminSession* find(std::string_view token, Clock::time_point now);
    /// Ends the session a token names, if any.
    void close(std::string_view token);
    /// Ends the sessions whose account is gone or has a new password hash, and gives the others
    /// their account's current role. Returns how many ended.
    std::size_t reconcile(const std::vector<AdminAccount>& accounts);
    /// Ends expired sessions.
    void sweep(Clock::time_point now);
    std::size_t size() const { return sessions_.size(); }

    /// The token in a Cookie header, or empty.
    static std::string_view tokenOf(const std::string_view* cookieHeader);

private:
    struct Entry {
        std::string secret; ///< hex of 32 random bytes
        AdminSession session;
    };
    bool expired(const AdminSession& s, Clock::time_point now) const;
    std::unordered_map<std::string, Entry> sessions_; ///< by selector
};

/// Exponential back-off on failed logins, per address and per account name.
class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;
    /// Failures in a row before one: none after the first, then 2 s, 4 s, ... up to the cap.
    static constexpr auto kCap = std::chrono::seconds(60);
    /// Entries kept at most; beyond, the oldest is forgotten.
    static constexpr std::size_t kMaxEntries = 4096;
    /// A quiet entry is forgotten after this long.
    static constexpr auto kForget = std::chrono::minutes(15);

    /// How long an attempt from `address` for `name` must still wait; zero when it may go on.
    Clock::duration wait(std::string_view address, std::string_view name,
                         Clock::time_point now) const;
    void failed(std::string_view address, std::string_view name, Clock::time_point now);
    /// A good login clears both.
    void succeeded(std::string_view address, std::string_view name);
    void sweep(Clock::time_point now);

    /// The pause after `failures` failures in a row.
    static Clock::duration pauseAfter(std::uint32_t failures);

private:
    struct Entry {
        std::uint32_t failures = 0;
        Clock::time_point last;
    };
    using Table = std::unordered_map<std::string, Entry>;
    static Clock::duration waitIn(const Table& t, std::string_view key, Clock::time_point now);
    static void fail(Table& t, std::string_view key, Clock::time_point now);
    Table addresses_, names_;
};

} // namespace tnlrelay
