// The session table and the login back-off.
#include "AdminSessions.hpp"

#include "net/Secrets.hpp"
#include "text/Text.hpp"

#include <algorithm>
#include <array>

namespace tnlrelay {

namespace {

constexpr std::size_t kSelectorBytes = 8;
constexpr std::size_t kSecretBytes = 32;

std::string hex(const unsigned char* data, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 15];
    }
    return out;
}

/// Random bytes as hex, or empty.
std::string randomHex(std::size_t size) {
    std::array<unsigned char, 64> bytes{};
    if (size > bytes.size() || !net::randomBytes(bytes.data(), size)) return {};
    return hex(bytes.data(), size);
}

} // namespace

std::string AdminSessions::open(const AdminAccount& account, Clock::time_point now,
                                const AdminSession** session) {
    std::string selector = randomHex(kSelectorBytes);
    std::string secret = randomHex(kSecretBytes);
    std::string csrf = randomHex(kSecretBytes);
    if (selector.empty() || secret.empty() || csrf.empty() || sessions_.count(selector)) return {};
    sweep(now);
    if (sessions_.size() >= kMaxSessions) {
        auto oldest = std::min_element(sessions_.begin(), sessions_.end(), [](auto& a, auto& b) {
            return a.second.session.lastUsed < b.second.session.lastUsed;
        });
        sessions_.erase(oldest);
    }
    std::string token = selector + secret;
    Entry& e = sessions_[std::move(selector)];
    e.secret = std::move(secret);
    e.session = {account.name, account.role, account.passwordHash, std::move(csrf), now, now};
    if (session) *session = &e.session;
    return token;
}

bool AdminSessions::expired(const AdminSession& s, Clock::time_point now) const {
    return now - s.lastUsed >= kIdle || now - s.started >= kLifetime;
}

const AdminSession* AdminSessions::find(std::string_view token, Clock::time_point now) {
    if (token.size() != 2 * (kSelectorBytes + kSecretBytes)) return nullptr;
    auto it = sessions_.find(std::string(token.substr(0, 2 * kSelectorBytes)));
    if (it == sessions_.end()) return nullptr;
    // The selector only finds the entry; the secret is what proves the session.
    if (!net::secretsEqual(token.substr(2 * kSelectorBytes), it->second.secret)) return nullptr;
    if (expired(it->second.session, now)) {
        sessions_.erase(it);
        return nullptr;
    }
    it->second.session.lastUsed = now;
    return &it->second.session;
}

void AdminSessions::close(std::string_view token) {
    if (token.size() != 2 * (kSelectorBytes + kSecretBytes)) return;
    auto it = sessions_.find(std::string(token.substr(0, 2 * kSelectorBytes)));
    if (it != sessions_.end() &&
        net::secretsEqual(token.substr(2 * kSelectorBytes), it->second.secret))
        sessions_.erase(it);
}

std::size_t AdminSessions::reconcile(const std::vector<AdminAccount>& accounts) {
    std::size_t ended = 0;
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        AdminSession& s = it->second.session;
        auto account = std::find_if(accounts.begin(), accounts.end(),
                                    [&](const AdminAccount& a) { return a.name == s.name; });
        if (account == accounts.end() || account->passwordHash != s.passwordHash) {
            it = sessions_.erase(it);
            ++ended;
            continue;
        }
        s.role = account->role;
        ++it;
    }
    return ended;
}

void AdminSessions::sweep(Clock::time_point now) {
    std::erase_if(sessions_, [&](const auto& entry) { return expired(entry.second.session, now); });
}

std::string_view AdminSessions::tokenOf(const std::string_view* cookieHeader) {
    if (cookieHeader == nullptr) return {};
    std::string_view rest = *cookieHeader;
    while (!rest.empty()) {
        const auto semicolon = rest.find(';');
        const std::string_view pair = trimBlanks(rest.substr(0, semicolon));
        rest.remove_prefix(semicolon == std::string_view::npos ? rest.size() : semicolon + 1);
        const auto eq = pair.find('=');
        if (eq != std::string_view::npos && pair.substr(0, eq) == kCookie)
            return pair.substr(eq + 1);
    }
    return {};
}

LoginThrottle::Clock::duration LoginThrottle::pauseAfter(std::uint32_t failures) {
    if (failures < 2) return Clock::duration::zero();
    const std::uint32_t doublings = std::min<std::uint32_t>(failures - 1, 16);
    return std::min<Clock::duration>(std::chrono::seconds(1u << doublings), kCap);
}

LoginThrottle::Clock::duration LoginThrottle::waitIn(const Table& t, std::string_view key,
                                                     Clock::time_point now) {
    auto it = t.find(std::string(key));
    if (it == t.end()) return Clock::duration::zero();
    const auto until = it->second.last + pauseAfter(it->second.failures);
    return until > now ? until - now : Clock::duration::zero();
}

LoginThrottle::Clock::duration LoginThrottle::wait(std::string_view address, std::string_view name,
                                                   Clock::time_point now) const {
    return std::max(waitIn(addresses_, address, now), waitIn(names_, name, now));
}

void LoginThrottle::fail(Table& t, std::string_view key, Clock::time_point now) {
    auto it = t.find(std::string(key));
    if (it == t.end()) {
        if (t.size() >= kMaxEntries) {
            t.erase(std::min_element(t.begin(), t.end(), [](auto& a, auto& b) {
                return a.second.last < b.second.last;
            }));
        }
        it = t.emplace(std::string(key), Entry{}).first;
    }
    ++it->second.failures;
    it->second.last = now;
}

void LoginThrottle::failed(std::string_view address, std::string_view name, Clock::time_point now) {
    fail(addresses_, address, now);
    fail(names_, name, now);
}

void LoginThrottle::succeeded(std::string_view address, std::string_view name) {
    addresses_.erase(std::string(address));
    names_.erase(std::string(name));
}

void LoginThrottle::sweep(Clock::time_point now) {
    auto quiet = [&](const auto& entry) {
        return now - entry.second.last >= kForget + pauseAfter(entry.second.failures);
    };
    std::erase_if(addresses_, quiet);
    std::erase_if(names_, quiet);
}

} // namespace tnlrelay
