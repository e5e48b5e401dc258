// The data folder check: which folders are made, opened, refused and re-permissioned, and what the
// refusal says. The LocalSystem service deletes and renames files in the data directory, so a
// folder someone else controls (or a link that leads elsewhere) must stop it before any write.

#include "ServiceFolders.hpp"

#include "platform/Platform.hpp"

namespace tnlrelay::service {

namespace {

std::string quoted(const std::filesystem::path& dir) {
    std::string text(1, '"');
    text += platform::pathUtf8(dir);
    text += '"';
    return text;
}

/// Why an open folder cannot be used, or nothing.
std::string verdict(const std::filesystem::path& dir, const FolderFacts& facts) {
    if (!facts.read) return "cannot read the attributes of the folder " + quoted(dir) + ".";
    if (facts.reparsePoint)
        return quoted(dir) +
               " is a link (junction or other reparse point), not a folder; remove it and start "
               "the service again.";
    if (!facts.directory) return quoted(dir) + " is not a folder; remove it.";
    if (facts.owner == FolderOwner::unknown)
        return "cannot read the owner of the folder " + quoted(dir) + ".";
    if (facts.owner != FolderOwner::trusted)
        return "the folder " + quoted(dir) +
               " belongs to an account other than SYSTEM or Administrators; remove it (or make "
               "Administrators its owner) and start the service again.";
    return {};
}

} // namespace

PreparedFolders prepareDataFolders(const FolderApi& api, const std::filesystem::path& base) {
    PreparedFolders result;
    const std::filesystem::path product = base / "Tarnelle";
    const std::filesystem::path data = product / "RelayServer";
    for (const std::filesystem::path& dir : {product, data}) {
        const bool created = api.createRestricted(dir);
        // An administrator's own rights on the product folder stay; the data directory always
        // gets the service's.
        const bool toRestrict = dir == data || created;
        FolderHandle folder = api.open(dir, toRestrict);
        if (!folder) {
            result.refusal = "cannot open the folder " + quoted(dir) + ".";
            break;
        }
        // Held from here on: the checked folder cannot be swapped while the service runs.
        result.held.push_back(folder);
        result.refusal = verdict(dir, api.inspect(folder));
        if (!result.refusal.empty()) break;
        if (toRestrict && !api.restrict(folder)) {
            result.refusal = "cannot set the access rights of the folder " + quoted(dir) + ".";
            break;
        }
    }
    if (!result.refusal.empty()) releaseDataFolders(api, result);
    return result;
}

void releaseDataFolders(const FolderApi& api, PreparedFolders& folders) {
    for (FolderHandle folder : folders.held)
        api.close(folder);
    folders.held.clear();
}

} // namespace tnlrelay::service
