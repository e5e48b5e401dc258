// The service's check of its data folders before it writes anything there: the product folder
// and the data directory must be real folders (no link, junction or other reparse point) owned by
// a trusted account, and the data directory gets the service's access list through the handle
// that was checked, never by path. Kept free of Win32 so that the decision is tested everywhere.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tnlrelay::service {

/// An open folder handle; null when an open failed.
using FolderHandle = void*;

/// Who owns a folder, as far as the service is concerned.
enum class FolderOwner {
    trusted, ///< SYSTEM, Administrators or the account the service runs as
    other,   ///< any other account: it could swap the folder's contents or the folder itself
    unknown, ///< the owner could not be read
};

/// What the service learns about an open folder.
struct FolderFacts {
    bool read = false; ///< false when the attributes could not be read
    bool directory = false;
    bool reparsePoint = false;
    FolderOwner owner = FolderOwner::unknown;
};

/// The platform calls the check makes.
struct FolderApi {
    /// Creates the folder with the data directory's access list; true when this call made it.
    bool (*createRestricted)(const std::filesystem::path& dir);
    /// Opens the folder itself, never what a reparse point there points to, so that it can be
    /// neither renamed nor deleted while the handle is open; with the right to change its access
    /// list only when `toRestrict`.
    FolderHandle (*open)(const std::filesystem::path& dir, bool toRestrict);
    FolderFacts (*inspect)(FolderHandle folder);
    /// Gives the open folder the data directory's access list; false when that failed.
    bool (*restrict)(FolderHandle folder);
    void (*close)(FolderHandle folder);
};

/// The folders as the service left them: either the reason they were refused (a sentence that
/// names the folder and what to do), or the handles it holds open while it runs.
struct PreparedFolders {
    std::string refusal;
    std::vector<FolderHandle> held;
};

/// Makes or checks `base`\Tarnelle and `base`\Tarnelle\RelayServer. The product folder's access
/// list is left as it is unless this call created it; the data directory always gets the
/// service's. On a refusal every handle opened is closed again.
PreparedFolders prepareDataFolders(const FolderApi& api, const std::filesystem::path& base);

/// Closes the handles `prepareDataFolders` kept.
void releaseDataFolders(const FolderApi& api, PreparedFolders& folders);

} // namespace tnlrelay::service
