// The service's data folder check against a fake file system: which folders are made, which are
// refused and why, whose rights are set, and which handles stay open.

#include "windows/ServiceFolders.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace tnlrelay::service;

namespace {

struct FakeFolder {
    bool exists = false;
    FolderFacts facts{true, true, false, FolderOwner::trusted};
    bool opens = true;
    bool restrictable = true;
};

/// Folders by name ("Tarnelle", "RelayServer"); handles are addresses inside `slots`.
struct FakeDisk {
    std::map<std::string, FakeFolder> folders;
    std::vector<std::string> created, restricted, openedToRestrict;
    std::map<void*, std::string> open;
    int closedUnknown = 0;
    char slots[8] = {};
    int handles = 0;
};

FakeDisk* g_disk = nullptr;

std::string nameOf(const std::filesystem::path& dir) {
    return dir.filename().string();
}

const FolderApi kFakeFolders = {
    [](const std::filesystem::path& dir) {
        FakeFolder& folder = g_disk->folders[nameOf(dir)];
        if (folder.exists) return false;
        folder.exists = true;
        g_disk->created.push_back(nameOf(dir));
        return true;
    },
    [](const std::filesystem::path& dir, bool toRestrict) -> FolderHandle {
        FakeFolder& folder = g_disk->folders[nameOf(dir)];
        if (!folder.exists || !folder.opens) return nullptr;
        if (toRestrict) g_disk->openedToRestrict.push_back(nameOf(dir));
        void* handle = &g_disk->slots[g_disk->handles++ % 8];
        g_disk->open[handle] = nameOf(dir);
        return handle;
    },
    [](FolderHandle handle) { return g_disk->folders[g_disk->open.at(handle)].facts; },
    [](FolderHandle handle) {
        const std::string& name = g_disk->open.at(handle);
        EXPECT_NE(std::find(g_disk->openedToRestrict.begin(), g_disk->openedToRestrict.end(), name),
                  g_disk->openedToRestrict.end())
            << name << " was opened without the right to change its access list";
        g_disk->restricted.push_back(name);
        return g_disk->folders[name].restrictable;
    },
    [](FolderHandle handle) {
        if (g_disk->open.erase(handle) == 0) ++g_disk->closedUnknown;
    },
};

const std::filesystem::path kBase = "/ProgramData";

/// Runs the check on a disk, releases what it kept, and checks every handle was closed once.
PreparedFolders prepare(FakeDisk& disk, std::vector<std::string>* heldNames = nullptr) {
    g_disk = &disk;
    PreparedFolders result = prepareDataFolders(kFakeFolders, kBase);
    if (heldNames) {
        for (FolderHandle handle : result.held)
            heldNames->push_back(disk.open.at(handle));
    }
    if (!result.refusal.empty()) {
        EXPECT_TRUE(disk.open.empty()) << "a refusal keeps no handle";
    }
    std::vector<FolderHandle> kept = result.held;
    releaseDataFolders(kFakeFolders, result);
    EXPECT_TRUE(disk.open.empty()) << "released handles are all closed";
    EXPECT_EQ(disk.closedUnknown, 0);
    g_disk = nullptr;
    result.held = kept;
    return result;
}

} // namespace

TEST(ServiceFolders, FreshInstallMakesBothFoldersAndHoldsThemWhileRunning) {
    FakeDisk disk;
    std::vector<std::string> held;
    PreparedFolders result = prepare(disk, &held);
    EXPECT_EQ(result.refusal, "");
    EXPECT_EQ(disk.created, (std::vector<std::string>{"Tarnelle", "RelayServer"}));
    EXPECT_EQ(disk.restricted, (std::vector<std::string>{"Tarnelle", "RelayServer"}))
        << "folders the service made get its rights";
    EXPECT_EQ(held, (std::vector<std::string>{"Tarnelle", "RelayServer"}))
        << "neither can be swapped while the service runs";
}

TEST(ServiceFolders, AnAdministratorsProductFolderKeepsItsRightsTheDataFolderNever) {
    FakeDisk disk;
    disk.folders["Tarnelle"].exists = true;
    disk.folders["RelayServer"].exists = true;
    EXPECT_EQ(prepare(disk).refusal, "");
    EXPECT_TRUE(disk.created.empty());
    EXPECT_EQ(disk.restricted, std::vector<std::string>{"RelayServer"})
        << "only the data directory is re-permissioned on every start";
    EXPECT_EQ(disk.openedToRestrict, std::vector<std::string>{"RelayServer"})
        << "no more rights are asked on the product folder than reading it needs";
}

TEST(ServiceFolders, LinksForeignOwnersAndUnreadableFoldersAreRefusedBeforeAnyRightsChange) {
    struct Case {
        const char* folder;
        void (*plant)(FakeFolder&);
        const char* says;
    };
    const Case cases[] = {
        {"RelayServer", [](FakeFolder& f) { f.facts.reparsePoint = true; }, "is a link"},
        {"Tarnelle", [](FakeFolder& f) { f.facts.reparsePoint = true; }, "is a link"},
        {"RelayServer", [](FakeFolder& f) { f.facts.owner = FolderOwner::other; },
         "belongs to an account other than SYSTEM or Administrators"},
        {"Tarnelle", [](FakeFolder& f) { f.facts.owner = FolderOwner::other; },
         "belongs to an account other than SYSTEM or Administrators"},
        {"RelayServer", [](FakeFolder& f) { f.facts.owner = FolderOwner::unknown; },
         "cannot read the owner"},
        {"RelayServer", [](FakeFolder& f) { f.facts.directory = false; }, "is not a folder"},
        {"RelayServer", [](FakeFolder& f) { f.facts.read = false; }, "cannot read the attributes"},
        {"RelayServer", [](FakeFolder& f) { f.opens = false; }, "cannot open the folder"},
        {"RelayServer", [](FakeFolder& f) { f.restrictable = false; },
         "cannot set the access rights"},
    };
    for (const Case& c : cases) {
        FakeDisk disk;
        disk.folders["Tarnelle"].exists = true;
        FakeFolder& planted = disk.folders[c.folder];
        planted.exists = true;
        c.plant(planted);
        PreparedFolders result = prepare(disk);
        SCOPED_TRACE(std::string(c.folder) + ": " + c.says);
        EXPECT_NE(result.refusal.find(c.says), std::string::npos) << result.refusal;
        EXPECT_NE(result.refusal.find(c.folder), std::string::npos)
            << "the reason names the folder: " << result.refusal;
        if (std::string(c.says) != "cannot set the access rights") {
            EXPECT_TRUE(disk.restricted.empty()) << "a refused folder's rights are never touched";
        }
        if (std::string(c.folder) == "Tarnelle") {
            EXPECT_FALSE(disk.folders["RelayServer"].exists) << "nothing is made inside it";
        }
    }
}
