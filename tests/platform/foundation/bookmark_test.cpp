#include "platform/foundation/bookmark.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/plist.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

namespace pf = platform::foundation;
namespace fs = std::filesystem;

TEST(Bookmarks, ResolveToTheSameFolder) {
    gwtest::TempDir dir;
    fs::create_directory(dir / "Output Folder");
    pf::URL url = pf::URL::fileURL(dir / "Output Folder");
    auto resolved = pf::bookmarks::resolve(pf::bookmarks::create(url));
    EXPECT_EQ(resolved.url, url);
    EXPECT_TRUE(resolved.url.hasDirectoryPath());
    EXPECT_FALSE(resolved.isStale);
    EXPECT_TRUE(pf::bookmarks::startAccessingSecurityScopedResource(resolved.url));
}

TEST(Bookmarks, ReplacedItemIsStaleAndRemovedItemFails) {
    gwtest::TempDir dir;
    fs::create_directory(dir / "a");
    pf::Data data = pf::bookmarks::create(pf::URL::fileURL(dir / "a"));
    // Keep the original alive elsewhere so its inode cannot be reused by the new folder.
    fs::rename(dir / "a", dir / "moved");
    // A bookmark never follows its item to where it was moved (a Trash, say): gone from
    // its place, it no longer resolves; with another item in its place, it names the place.
    EXPECT_THROW(pf::bookmarks::resolve(data), pf::Error);
    fs::create_directory(dir / "a");
    EXPECT_TRUE(pf::bookmarks::resolve(data).isStale);
    EXPECT_EQ(pf::bookmarks::resolve(data).url.fsPath(), dir / "a");
    fs::remove(dir / "a");
    EXPECT_THROW(pf::bookmarks::resolve(data), pf::Error);
    EXPECT_FALSE(pf::bookmarks::startAccessingSecurityScopedResource(pf::URL::fileURL(dir / "a", true)));
}

// A folder removed and made again at the same path is another folder, also when it got
// the inode number of the one bookmarked (as it usually does on ext4); a bookmark made
// before birth times were recorded still names its folder by device and inode.
TEST(Bookmarks, AFolderMadeAgainAtThePathIsNotTheOneBookmarked) {
    gwtest::TempDir dir;
    const auto folder = dir / "root";
    fs::create_directory(folder);
    const pf::Data data = pf::bookmarks::create(pf::URL::fileURL(folder, true));
    const auto record = pf::plist::parse(data);
    struct stat before {};
    ASSERT_EQ(::stat(folder.c_str(), &before), 0);
    ASSERT_TRUE(record["birthSeconds"].asInteger()) << "the test folder's file system keeps no birth times";
    fs::remove(folder);
    fs::create_directory(folder);
    struct stat after {};
    ASSERT_EQ(::stat(folder.c_str(), &after), 0);
    // Where the file system gave another inode, the bookmark is made to name it: the birth
    // time is then all that tells the two apart.
    auto sameInode = record;
    sameInode.member("device") = pf::Value(static_cast<std::int64_t>(after.st_dev));
    sameInode.member("inode") = pf::Value(static_cast<std::int64_t>(after.st_ino));
    const auto remade = pf::plist::serialize(sameInode, pf::plist::Format::binary);
    EXPECT_TRUE(pf::bookmarks::resolve(remade).isStale);
    EXPECT_EQ(pf::bookmarks::openFolder(remade).standing, pf::bookmarks::OpenedFolder::Standing::replaced);

    auto older = sameInode;
    older.asDictionary()->erase("birthSeconds");
    older.asDictionary()->erase("birthNanoseconds");
    const auto old = pf::plist::serialize(older, pf::plist::Format::binary);
    EXPECT_FALSE(pf::bookmarks::resolve(old).isStale);
    EXPECT_EQ(pf::bookmarks::openFolder(old).standing, pf::bookmarks::OpenedFolder::Standing::same);
    const auto fresh = pf::bookmarks::create(pf::URL::fileURL(folder, true));
    EXPECT_EQ(pf::bookmarks::openFolder(fresh).standing, pf::bookmarks::OpenedFolder::Standing::same);
}

TEST(Bookmarks, RefuseMissingItemsAndForeignData) {
    gwtest::TempDir dir;
    EXPECT_THROW(pf::bookmarks::create(pf::URL::fileURL(dir / "absent", true)), pf::Error);
    EXPECT_THROW(pf::bookmarks::resolve(pf::dataFromString("garbage")), pf::Error);
    EXPECT_THROW(pf::bookmarks::resolve(pf::Data{}), pf::Error);
}
