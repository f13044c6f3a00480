// The move to the Trash as file managers see it: each item keeps the info file that says
// where it stood, and only the Trash folder that was found takes it.
#include "platform/foundation/root_handle.hpp"
#include "platform/foundation/trash.hpp"
#include "platform/foundation/scratch_mounts.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>
#include <sys/mount.h>

namespace {

namespace fs = std::filesystem;
namespace files = platform::foundation::files;
using gwtest::readFile;
using gwtest::writeFile;

// The home Trash in the test's own folder, on the file system of what goes to it.
class Trash : public ::testing::Test {
protected:
    void TearDown() override { files::setTrashFoundHookForTesting(nullptr); }
    // A catalog holding `text` in `folder`, moved to the Trash.
    void trashCatalog(const fs::path& folder, const std::string& text) const {
        writeFile(folder / "Assets.xcassets/Contents.json", text);
        files::moveToTrash(files::RootHandle(dir_.path()).entry(folder / "Assets.xcassets"), folder / "Assets.xcassets");
    }

    gwtest::TempDir dir_;
    gwtest::ScopedEnv home_{"HOME", dir_.path().string()};
    gwtest::ScopedEnv data_{"XDG_DATA_HOME", (dir_ / "data").string()};
    fs::path trash_ = dir_ / "data/Trash";
};

// Two catalogs of one name: the second is numbered, and the first one's info file, whose
// name the second tried first, is not lost; each leads back to where its item stood.
TEST_F(Trash, TwoItemsOfOneNameEachKeepTheInfoThatRestoresThem) {
    trashCatalog(dir_ / "first", "first");
    trashCatalog(dir_ / "second", "second");
    for (const std::string name : {"Assets.xcassets", "Assets 2.xcassets"}) {
        const auto from = readFile(trash_ / "files" / name / "Contents.json");
        const auto info = readFile(trash_ / "info" / (name + ".trashinfo"));
        EXPECT_EQ(info.rfind("[Trash Info]\nPath=" + (dir_ / from / "Assets.xcassets").string() + "\nDeletionDate=", 0),
                  0u)
            << info;
    }
}

// The Trash's own folders are opened without following a link, and the item goes into the
// folder that was found: a link at the Trash's name, there from the start or swapped in
// once the Trash was found, never leads it elsewhere.
TEST_F(Trash, ALinkAtTheTrashsNameNeverTakesTheItem) {
    const fs::path elsewhere = dir_ / "elsewhere";
    for (const bool fromTheStart : {true, false}) {
        SCOPED_TRACE(fromTheStart ? "there from the start" : "swapped in once the Trash was found");
        fs::remove_all(dir_ / "data");
        for (const auto& folder : {trash_ / "files", trash_ / "info", elsewhere / "files", elsewhere / "info"}) {
            fs::create_directories(folder);
        }
        const auto swap = [&] {
            fs::rename(trash_, dir_ / "data/found");
            fs::create_directory_symlink(elsewhere, trash_);
        };
        fromTheStart ? swap() : files::setTrashFoundHookForTesting(swap);
        try {
            trashCatalog(dir_ / "work", "mine");
        } catch (const std::exception&) {
        }
        files::setTrashFoundHookForTesting(nullptr);
        EXPECT_TRUE(fs::is_empty(elsewhere / "files"));
        EXPECT_TRUE(fs::is_empty(elsewhere / "info"));
        // Refused, it stays where it stood; else it is in the Trash that was found.
        EXPECT_EQ(readFile(dir_ / (fromTheStart ? "work" : "data/found/files") / "Assets.xcassets/Contents.json"), "mine");
    }
}

// The home Trash takes what lies on the data folder's file system, whichever file system
// holds the home folder: with the home folder on a file system of its own (and the other
// way round), an item beside the data folder still goes to $XDG_DATA_HOME/Trash.
TEST_F(Trash, TheDataFoldersTrashTakesWhatLiesOnItsFileSystemWhereverTheHomeFolderIs) {
    const fs::path mount = dir_ / "elsewhere";
    const gwtest::ScratchMount elsewhere(mount, "tmpfs", "size=1m");
    if (!elsewhere.mounted()) GTEST_SKIP() << "a home folder on another file system not tried: " << elsewhere.why();
    struct Case {
        const char* name;
        fs::path home;
        fs::path data;
        fs::path item;
    };
    const std::vector<Case> cases = {
        {"the home folder elsewhere", mount / "home", dir_ / "data", dir_ / "work"},
        {"the data folder elsewhere", dir_.path(), mount / "data", mount / "work"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::create_directories(c.home);
        const gwtest::ScopedEnv home("HOME", c.home.string());
        const gwtest::ScopedEnv data("XDG_DATA_HOME", c.data.string());
        EXPECT_NO_THROW(trashCatalog(c.item, c.name));
        EXPECT_EQ(readFile(c.data / "Trash/files/Assets.xcassets/Contents.json"), c.name);
        EXPECT_TRUE(fs::exists(c.data / "Trash/info/Assets.xcassets.trashinfo"));
    }
}

}  // namespace
