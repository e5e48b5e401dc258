// Logging in and out of the admin endpoint: the login form's POST checked off the loop (with the
// back-off before it and a generic answer after it), the session cookie, the anti-forgery token
// of state-changing requests, and the sessions that end when config.json changes an account.
#include "AdminEndpoint.hpp"

#include "AdminRequest.hpp"
#include "net/Secrets.hpp"
#include "text/JsonText.hpp"
#include "text/Text.hpp"

#include <algorithm>

namespace tnlrelay {

namespace {

/// Answers about sessions are never kept by a cache.
constexpr std::string_view kSessionJsonHeaders =
    "Content-Type: application/json\r\nAccess-Control-Allow-Origin: *\r\nCache-Control: "
    "no-store\r\n";
/// The header that carries a session's anti-forgery token; a form on another site cannot set
/// it, and another site's script cannot read the token.
constexpr std::string_view kTokenHeader = "X-Admin-Token";
/// The cookie's flags: never sent over plain HTTP, never read by scripts, never sent with a
/// request another site starts.
constexpr std::string_view kCookieFlags = "; HttpOnly; Secure; SameSite=Strict; Path=/";
/// The longest name and password a login reads.
constexpr std::size_t kMaxPassword = 1024;

/// Checked for a name that is no account, so that such a login takes as long as any other.
constexpr std::string_view kStandInHash =
    "scrypt$32768$8$1$AAAAAAAAAAAAAAAAAAAAAA==$AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";

void replyJson(net::Conn* c, int status, const nlohmann::json& body,
               std::string_view extraHeaders = {}) {
    std::string headers(kSessionJsonHeaders);
    headers += extraHeaders;
    net::reply(c, status, headers, detail::jsonText(body));
}

void replyError(net::Conn* c, int status, const std::string& reason,
                std::string_view extraHeaders = {}) {
    replyJson(c, status, {{"error", reason}, {"ok", false}}, extraHeaders);
}

std::string cookie(std::string_view value, std::string_view maxAge) {
    return "Set-Cookie: " + std::string(AdminSessions::kCookie) + "=" + std::string(value) +
           std::string(kCookieFlags) + "; Max-Age=" + std::string(maxAge) + "\r\n";
}

nlohmann::json sessionJson(const AdminSession& s) {
    return {{"csrf", s.csrf},
            {"login", true},
            {"name", s.name},
            {"ok", true},
            {"role", roleName(s.role)}};
}

} // namespace

void AdminEndpoint::configure(AdminSettings settings, RelayLog& log) {
    for (const std::string& why : settings.unusable)
        log.error("config.json: " + why);
    settings_ = std::move(settings);
    if (const std::size_t ended = sessions_.reconcile(settings_.accounts)) {
        counts_.sessionsEnded += ended;
        log.info("ADMIN sessions ended: " + std::to_string(ended) +
                 " (account removed or password changed in config.json)");
    }
    if (loginsInUse() && settings_.accounts.empty())
        log.error("admin: no usable account in admins, so nobody can log in; add one with "
                  "tnlrelay --set-admin-password NAME");
}

void AdminEndpoint::answerSession(net::Conn* c, const Access& access) const {
    if (!access.loginNeeded)
        replyJson(c, 200, {{"login", false}, {"ok", true}});
    else if (access.session)
        replyJson(c, 200, sessionJson(*access.session));
    else
        replyError(c, 401, "log in first");
}

bool AdminEndpoint::mayChange(net::Conn* c, const net::HttpMessage& hm, const AdminSession& s,
                              bool moderation) const {
    if (moderation && s.role != AdminRole::moderator) {
        replyError(c, 403, "this account may only view (role viewer)");
        return false;
    }
    const std::string_view* token = hm.header(kTokenHeader);
    if (token == nullptr || !net::secretsEqual(*token, s.csrf)) {
        replyError(c, 403, "the anti-forgery token is missing or wrong: reload the page");
        return false;
    }
    return true;
}

void AdminEndpoint::login(net::Conn* c, const net::HttpMessage& hm) {
    const nlohmann::json body = detail::parseBody(hm.body);
    const auto name = detail::stringMember(body, "name");
    const auto password = detail::stringMember(body, "password");
    if (!body.is_object() || !name || !password) {
        replyError(c, 400, "the body must be a JSON object with the strings name and password");
        return;
    }
    if (name->size() > 64 || password->size() > kMaxPassword) {
        replyError(c, 400, "name or password too long");
        return;
    }
    const std::string address(net::peerAddress(c));
    const auto now = Clock::now();
    if (const auto wait = throttle_.wait(address, *name, now); wait > Clock::duration::zero()) {
        ++counts_.refusedBackoff;
        const auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
        replyError(c, 429, "too many failed logins: try again in " + std::to_string(seconds) + " s",
                   "Retry-After: " + std::to_string(seconds) + "\r\n");
        return;
    }
    const AdminAccount* account = settings_.find(*name);
    PendingLogin p;
    p.job = ++nextJob_;
    p.conn = c;
    p.name = *name;
    p.address = address;
    p.known = account != nullptr;
    p.passwordHash = account ? account->passwordHash : std::string(kStandInHash);
    if (checker_ == nullptr || !checker_->submit({p.job, *password, p.passwordHash})) {
        ++counts_.refusedBusy;
        replyError(c, 503, "too many logins at once: try again in a moment", "Retry-After: 1\r\n");
        return;
    }
    pending_.push_back(std::move(p));
    net::deferReply(c);
}

void AdminEndpoint::onClose(net::Conn* c) {
    for (PendingLogin& p : pending_)
        if (p.conn == c) p.conn = nullptr;
}

void AdminEndpoint::finishLogins(RelayLog& log, Clock::time_point now) {
    if (checker_ == nullptr || pending_.empty()) return;
    for (const PasswordChecker::Result& r : checker_->takeResults()) {
        auto it = std::find_if(pending_.begin(), pending_.end(),
                               [&](const PendingLogin& p) { return p.job == r.id; });
        if (it == pending_.end()) continue;
        const PendingLogin p = std::move(*it);
        pending_.erase(it);
        // The account as it is now: removed or given a new password meanwhile, it fails.
        const AdminAccount* account = settings_.find(p.name);
        const bool ok = r.match && p.known && account && account->passwordHash == p.passwordHash;
        const std::string from = " ip=" + detail::logValue(p.address);
        if (!ok) {
            throttle_.failed(p.address, p.name, now);
            ++counts_.loginsWrong;
            // A name that is no account is not written: it may be a password typed in the
            // wrong field.
            log.info(std::string("ADMIN LOGIN FAILED ") +
                     (p.known ? "account=" + detail::logValue(p.name) : "unknown name") + from);
            if (p.conn) replyError(p.conn, 401, "name or password wrong");
            continue;
        }
        const AdminSession* session = nullptr;
        const std::string token = sessions_.open(*account, now, &session);
        if (token.empty()) {
            if (p.conn) replyError(p.conn, 503, "no random bytes for a session now: try again");
            continue;
        }
        throttle_.succeeded(p.address, p.name);
        ++counts_.loginsOk;
        log.info("ADMIN LOGIN account=" + detail::logValue(p.name) +
                 " role=" + roleName(account->role) + from);
        const auto lifetime =
            std::chrono::duration_cast<std::chrono::seconds>(AdminSessions::kLifetime).count();
        if (p.conn)
            replyJson(p.conn, 200, sessionJson(*session), cookie(token, std::to_string(lifetime)));
    }
}

void AdminEndpoint::logout(RelayLog& log, net::Conn* c, const net::HttpMessage& hm,
                           const Access& access) {
    if (access.session) {
        if (!mayChange(c, hm, *access.session, false)) return;
        log.info("ADMIN LOGOUT account=" + detail::logValue(access.session->name));
        sessions_.close(access.token);
    }
    replyJson(c, 200, {{"ok", true}}, cookie("", "0"));
}

void AdminEndpoint::sweep(Clock::time_point now) {
    sessions_.sweep(now);
    throttle_.sweep(now);
}

} // namespace tnlrelay
