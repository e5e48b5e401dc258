// Reading the admin port's keys and accounts from config.json, and writing one account back.
#include "AdminAccounts.hpp"

#include "PasswordHash.hpp"
#include "net/Address.hpp"
#include "text/Text.hpp"

#include <nlohmann/json.hpp>

namespace tnlrelay {

const char* roleName(AdminRole role) {
    return role == AdminRole::viewer ? "viewer" : "moderator";
}

std::optional<AdminRole> roleNamed(std::string_view name) {
    if (name == "viewer") return AdminRole::viewer;
    if (name == "moderator") return AdminRole::moderator;
    return std::nullopt;
}

bool accountNameUsable(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    for (char ch : name) {
        const bool letterOrDigit =
            (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
        if (!letterOrDigit && ch != '.' && ch != '_' && ch != '-' && ch != '@') return false;
    }
    return true;
}

const AdminAccount* AdminSettings::find(std::string_view name) const {
    for (const AdminAccount& a : accounts)
        if (a.name == name) return &a;
    return nullptr;
}

namespace {

using nlohmann::json;

std::string stringOr(const json& object, const char* key, std::string fallback) {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : fallback;
}

/// One entry of "admins", or the reason it cannot be used.
std::optional<AdminAccount> readAccount(const json& entry, std::size_t index,
                                        std::vector<std::string>& unusable) {
    const std::string where = "admins[" + std::to_string(index) + "]";
    if (!entry.is_object()) {
        unusable.push_back(where + " is not an object");
        return std::nullopt;
    }
    AdminAccount a;
    a.name = stringOr(entry, "name", "");
    const std::string named = where + " " + detail::logValue(a.name);
    if (!accountNameUsable(a.name)) {
        unusable.push_back(where + ": the name must be 1 to 64 letters, digits, '.', '_', '-' "
                                   "or '@'");
        return std::nullopt;
    }
    const std::optional<AdminRole> role = roleNamed(stringOr(entry, "role", "moderator"));
    if (!role) {
        unusable.push_back(named + ": the role must be \"moderator\" or \"viewer\"");
        return std::nullopt;
    }
    a.role = *role;
    a.passwordHash = stringOr(entry, "passwordHash", "");
    if (!passwordHashUsable(a.passwordHash)) {
        unusable.push_back(named + ": passwordHash is not a hash this relay made (set it with "
                                   "--set-admin-password)");
        return std::nullopt;
    }
    return a;
}

} // namespace

AdminSettings AdminSettings::read(const json& document) {
    AdminSettings s;
    if (!document.is_object()) return s;
    if (auto host = document.find("adminHost"); host != document.end()) {
        const auto ip =
            host->is_string() ? net::parseIp(host->get_ref<const std::string&>()) : std::nullopt;
        if (ip)
            s.host = net::formatIp(*ip);
        else
            s.unusable.push_back("adminHost " + detail::logValue(host->dump()) +
                                 " is not an IPv4 or IPv6 address; the admin port stays on "
                                 "127.0.0.1");
    }
    if (auto login = document.find("adminLoginOnLoopback");
        login != document.end() && login->is_boolean())
        s.loginOnLoopback = login->get<bool>();
    auto list = document.find("admins");
    if (list == document.end() || !list->is_array()) return s;
    for (std::size_t i = 0; i < list->size(); ++i) {
        std::optional<AdminAccount> a = readAccount((*list)[i], i, s.unusable);
        if (!a) continue;
        if (s.find(a->name)) {
            s.unusable.push_back("admins[" + std::to_string(i) + "] " + detail::logValue(a->name) +
                                 ": a second account of that name; the first one counts");
            continue;
        }
        s.accounts.push_back(std::move(*a));
    }
    return s;
}

void setAdminAccount(json& document, const AdminAccount& account) {
    json& list = document["admins"];
    if (!list.is_array()) list = json::array();
    for (json& entry : list) {
        if (entry.is_object() && stringOr(entry, "name", "") == account.name) {
            entry["role"] = roleName(account.role);
            entry["passwordHash"] = account.passwordHash;
            return;
        }
    }
    list.push_back({{"name", account.name},
                    {"passwordHash", account.passwordHash},
                    {"role", roleName(account.role)}});
}

} // namespace tnlrelay
