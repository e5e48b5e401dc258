// The admin port's optional config.json keys: where it listens ("adminHost"), whether this
// machine must log in too ("adminLoginOnLoopback"), and the named accounts ("admins") with their
// role and password hash. Without them the admin port is what it always was: this machine only,
// no login.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tnlrelay {

/// What an account may do: a viewer reads, a moderator also kicks, bans and unbans.
enum class AdminRole { viewer, moderator };

/// "viewer" or "moderator".
const char* roleName(AdminRole role);
std::optional<AdminRole> roleNamed(std::string_view name);

struct AdminAccount {
    std::string name;
    AdminRole role = AdminRole::moderator;
    std::string passwordHash;
    bool operator==(const AdminAccount&) const = default;
};

/// An account name: 1 to 64 letters, digits, '.', '_', '-' or '@'.
bool accountNameUsable(std::string_view name);

struct AdminSettings {
    std::string host = "127.0.0.1"; ///< "adminHost", as the relay shows addresses
    bool loginOnLoopback = false;   ///< "adminLoginOnLoopback"
    std::vector<AdminAccount> accounts;
    /// One text per entry of "admins" (or value of "adminHost") that cannot be used, saying why
    /// and never holding a hash.
    std::vector<std::string> unusable;

    /// The account of that name, or null.
    const AdminAccount* find(std::string_view name) const;

    /// Reads the keys from the top-level object of config.json; wrong-typed values keep their
    /// default, unusable accounts are left out and listed in `unusable`.
    static AdminSettings read(const nlohmann::json& document);
};

/// Sets an account in config.json's top-level object: the entry of that name in "admins" is
/// replaced (its other members kept), or one is added; every other key stays as it is. A
/// document whose "admins" is not an array gets a new one.
void setAdminAccount(nlohmann::json& document, const AdminAccount& account);

} // namespace tnlrelay
