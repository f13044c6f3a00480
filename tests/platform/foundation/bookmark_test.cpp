#include "platform/foundation/bookmark.hpp"
#include "platform/foundation/error.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

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

TEST(Bookmarks, RefuseMissingItemsAndForeignData) {
    gwtest::TempDir dir;
    EXPECT_THROW(pf::bookmarks::create(pf::URL::fileURL(dir / "absent", true)), pf::Error);
    EXPECT_THROW(pf::bookmarks::resolve(pf::dataFromString("garbage")), pf::Error);
    EXPECT_THROW(pf::bookmarks::resolve(pf::Data{}), pf::Error);
}
