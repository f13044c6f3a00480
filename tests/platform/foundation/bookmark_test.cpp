#include "platform/foundation/bookmark.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/folder_swap.hpp"
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

// Where a file system numbers folders afresh at each mount (exFAT), a folder whose numbers
// changed is the one granted when its moment of birth says so, another when it says not,
// and, with no moment of birth to tell, one that cannot be recognised: never "replaced",
// which would be untrue of the same folder after a remount. Elsewhere, new numbers are
// another folder.
TEST(Bookmarks, NumbersThatDoNotLastAcrossAMountAreNotTakenForAnotherFolder) {
    using Standing = pf::bookmarks::OpenedFolder::Standing;
    gwtest::TempDir dir;
    const auto folder = dir / "root";
    fs::create_directory(folder);
    const auto record = pf::plist::parse(pf::bookmarks::create(pf::URL::fileURL(folder, true)));
    ASSERT_TRUE(record["birthSeconds"].asInteger()) << "the test folder's file system keeps no birth times";
    struct Case {
        const char* name;
        bool lasting;
        bool withBirth;
        std::int64_t birthShift;
        Standing expected;
    };
    const Case cases[] = {
        {"numbered afresh, the same birth", false, true, 0, Standing::same},
        {"numbered afresh, another birth", false, true, 1, Standing::replaced},
        {"numbered afresh, no birth recorded", false, false, 0, Standing::unrecognised},
        {"lasting numbers, the same birth", true, true, 0, Standing::replaced},
        {"lasting numbers, no birth recorded", true, false, 0, Standing::replaced},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto renumbered = record;
        renumbered.member("inode") = pf::Value(*record["inode"].asInteger() + 1000003);
        if (c.withBirth) {
            renumbered.member("birthSeconds") = pf::Value(*record["birthSeconds"].asInteger() + c.birthShift);
        } else {
            renumbered.asDictionary()->erase("birthSeconds");
            renumbered.asDictionary()->erase("birthNanoseconds");
        }
        pf::files::setIdentitiesLastingRefusedForTesting(!c.lasting);
        const auto data = pf::plist::serialize(renumbered, pf::plist::Format::binary);
        const auto opened = pf::bookmarks::openFolder(data);
        const bool stale = pf::bookmarks::resolve(data).isStale;
        pf::files::setIdentitiesLastingRefusedForTesting(false);
        EXPECT_EQ(opened.standing, c.expected);
        EXPECT_EQ(opened.folder.get() >= 0, c.expected == Standing::same);
        EXPECT_EQ(stale, c.expected != Standing::same);
    }
}

TEST(Bookmarks, RefuseMissingItemsAndForeignData) {
    gwtest::TempDir dir;
    EXPECT_THROW(pf::bookmarks::create(pf::URL::fileURL(dir / "absent", true)), pf::Error);
    EXPECT_THROW(pf::bookmarks::resolve(pf::dataFromString("garbage")), pf::Error);
    EXPECT_THROW(pf::bookmarks::resolve(pf::Data{}), pf::Error);
}
