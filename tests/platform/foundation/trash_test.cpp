// The move to the Trash as file managers see it: each item has an info file that says
// where it stood, also when the Trash already holds one of the same name, and only the
// Trash folder that was found takes it, whatever is put at the Trash's name meanwhile.
#include "platform/foundation/root_handle.hpp"
#include "platform/foundation/trash.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

namespace {

namespace fs = std::filesystem;
namespace files = platform::foundation::files;
using gwtest::readFile;
using gwtest::writeFile;

std::map<std::string, std::string> filesBelow(const fs::path& folder) {
    std::map<std::string, std::string> found;
    if (!fs::exists(folder)) return found;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) found[entry.path().lexically_relative(folder).string()] = readFile(entry.path());
    }
    return found;
}

// The home Trash in the test's own folder, on the file system of what goes to it.
class Trash : public ::testing::Test {
protected:
    void TearDown() override { files::setTrashFoundHookForTesting(nullptr); }

    gwtest::TempDir dir_;
    gwtest::ScopedEnv home_{"HOME", dir_.path().string()};
    gwtest::ScopedEnv data_{"XDG_DATA_HOME", (dir_ / "data").string()};
    fs::path trash_ = dir_ / "data/Trash";
};

// Two catalogs of one name from two folders: the second is numbered, and each keeps the
// info file that leads back to where it stood, so the file manager can restore both.
TEST_F(Trash, TwoItemsOfOneNameEachKeepTheInfoThatRestoresThem) {
    const files::RootHandle root(dir_.path());
    std::map<std::string, fs::path> stoodAt;  // by content
    for (const std::string from : {"first", "second"}) {
        const fs::path item = dir_ / from / "Assets.xcassets";
        writeFile(item / "Contents.json", from);
        files::moveToTrash(root.entry(item), item);
        stoodAt[from] = item;
    }
    const auto info = filesBelow(trash_ / "info");
    ASSERT_EQ(info.size(), 2u);
    for (const auto& [infoName, text] : info) {
        SCOPED_TRACE(infoName);
        const std::string name = infoName.substr(0, infoName.size() - std::string(".trashinfo").size());
        const std::string content = readFile(trash_ / "files" / name / "Contents.json");
        EXPECT_EQ(text.rfind("[Trash Info]\nPath=" + stoodAt[content].string() + "\nDeletionDate=", 0), 0u) << text;
    }
}

// The Trash's own folders are opened without following a link, and once found, the
// Trash that takes the item is the folder that was found: a link at its name, there from
// the start or swapped in just before the move, never leads the item elsewhere.
TEST_F(Trash, ALinkAtTheTrashsNameNeverTakesTheItem) {
    const fs::path elsewhere = dir_ / "elsewhere";
    struct Case {
        std::string name;
        bool linkedBefore;
    };
    for (const auto& c : {Case{"a link there from the start", true}, Case{"swapped in once the Trash was found", false}}) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_ / "data");
        fs::remove_all(elsewhere);
        fs::create_directories(elsewhere / "files");
        fs::create_directories(elsewhere / "info");
        fs::create_directories(trash_ / "files");
        fs::create_directories(trash_ / "info");
        const auto swap = [&] {
            fs::rename(trash_, dir_ / "data/Trash.moved");
            fs::create_directory_symlink(elsewhere, trash_);
        };
        if (c.linkedBefore) {
            swap();
        } else {
            files::setTrashFoundHookForTesting(swap);
        }
        const fs::path item = dir_ / "work/Assets.xcassets";
        writeFile(item / "Contents.json", "mine");
        const files::RootHandle root(dir_.path());
        try {
            files::moveToTrash(root.entry(item), item);
        } catch (const std::exception&) {
        }
        files::setTrashFoundHookForTesting(nullptr);
        EXPECT_TRUE(fs::is_empty(elsewhere / "files"));
        EXPECT_TRUE(fs::is_empty(elsewhere / "info"));
        // Kept where it stood, or in the Trash that was found.
        const auto there = filesBelow(dir_ / "work");
        const auto inTrash = filesBelow(dir_ / "data/Trash.moved/files");
        EXPECT_EQ(there.size() + inTrash.size(), 1u);
        if (c.linkedBefore) {
            EXPECT_EQ(there, (std::map<std::string, std::string>{{"Assets.xcassets/Contents.json", "mine"}}));
        }
        fs::remove(trash_);
        fs::remove_all(dir_ / "data/Trash.moved");
    }
}

}  // namespace
