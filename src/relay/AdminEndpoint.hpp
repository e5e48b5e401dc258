// The admin endpoint: the admin page, the state, summary, player and room pages, stats, health
// and metrics documents, the live log, and the moderation requests (kick, ban, unban). This
// machine uses it without a login unless told otherwise; other machines, when the port is opened
// to them, only over TLS and logged in to a named account.
#pragma once

#include "AdminAccess.hpp"
#include "AdminAccounts.hpp"
#include "AdminSessions.hpp"
#include "PasswordChecker.hpp"
#include "RelayLog.hpp"
#include "net/Net.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tnlrelay {

class RelayCore;

/// The admin page: AdminPage.html beside the executable, else in ../share/tnlrelay, else a
/// built-in fallback page.
std::string loadAdminHtml();

/// What the login path has counted.
struct AdminCounts {
    std::uint64_t loginsOk = 0;
    std::uint64_t loginsWrong = 0;    ///< a wrong name or password
    std::uint64_t refusedBackoff = 0; ///< refused unchecked: too soon after failures
    std::uint64_t refusedBusy = 0;    ///< refused unchecked: the checking queue was full
    std::uint64_t sessionsEnded = 0;  ///< by a change of their account
};

class AdminEndpoint {
public:
    using Clock = std::chrono::steady_clock;

    /// Reads the admin page once, for every request after.
    AdminEndpoint() : page_(loadAdminHtml()), peers_(LocalPeers::fromEnvironment()) {}

    /// Takes the admin keys of the running configuration, at start and after every reading of
    /// config.json: unusable entries are logged, and the sessions of accounts removed or given
    /// a new password end.
    void configure(AdminSettings settings, RelayLog& log);
    const AdminSettings& settings() const { return settings_; }
    /// Whether the listener is open to other machines (decided once, at start).
    void setRemote(bool on) { remote_ = on; }
    bool remote() const { return remote_; }
    /// Whether logins are in use at all: for other machines or for this one.
    bool loginsInUse() const { return remote_ || settings_.loginOnLoopback; }
    const LocalPeers& peers() const { return peers_; }
    /// The thread that checks passwords, owned by the core so that it ends before the loop.
    void setChecker(PasswordChecker* checker) { checker_ = checker; }

    /// Answers one request to the admin port from the core's documents and with its moderation.
    void onRequest(RelayCore& core, RelayLog& log, net::Conn* c, const net::HttpMessage& hm);
    /// A connection of the admin port closed: a login it waits for is answered to no one.
    void onClose(net::Conn* c);
    /// Answers the logins whose password check finished.
    void finishLogins(RelayLog& log, Clock::time_point now);
    /// Forgets expired sessions and quiet back-off entries.
    void sweep(Clock::time_point now);

    const AdminCounts& counts() const { return counts_; }
    std::size_t sessionCount() const { return sessions_.size(); }

private:
    /// How one request reached the endpoint.
    struct Access {
        bool local = true;        ///< from this machine
        bool tls = false;         ///< over TLS
        bool loginNeeded = false; ///< only a session may use the API
        std::string_view token;   ///< the session cookie's value
        const AdminSession* session = nullptr;
    };
    /// A login whose password is being checked.
    struct PendingLogin {
        std::uint64_t job = 0;
        net::Conn* conn = nullptr; ///< null once it closed
        std::string name, address, passwordHash;
        bool known = false; ///< the name is an account's
    };

    void route(RelayCore& core, RelayLog& log, net::Conn* c, const net::HttpMessage& hm,
               const Access& access);
    void login(net::Conn* c, const net::HttpMessage& hm);
    void logout(RelayLog& log, net::Conn* c, const net::HttpMessage& hm, const Access& access);
    void answerSession(net::Conn* c, const Access& access) const;
    /// A state-changing request of a session: the account may moderate and the request carries
    /// the session's anti-forgery token. False when it was refused (answered here).
    bool mayChange(net::Conn* c, const net::HttpMessage& hm, const AdminSession& s,
                   bool moderation) const;

    std::string page_;
    LocalPeers peers_;
    AdminSettings settings_;
    bool remote_ = false;
    AdminSessions sessions_;
    LoginThrottle throttle_;
    PasswordChecker* checker_ = nullptr;
    std::vector<PendingLogin> pending_;
    std::uint64_t nextJob_ = 0;
    AdminCounts counts_;
};

} // namespace tnlrelay
