#include "platform/foundation/url.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

namespace pf = platform::foundation;
using pf::URL;

TEST(Url, FileUrlsEncodeAndDecodePaths) {
    URL u = URL::fileURL("/tmp/My Icons/icon 1024.png", false);
    EXPECT_TRUE(u.isFileURL());
    EXPECT_EQ(u.absoluteString(), "file:///tmp/My%20Icons/icon%201024.png");
    EXPECT_EQ(u.path(), "/tmp/My Icons/icon 1024.png");
    EXPECT_EQ(u.lastPathComponent(), "icon 1024.png");
    EXPECT_EQ(u.pathExtension(), "png");
    EXPECT_EQ(u.deletingPathExtension().lastPathComponent(), "icon 1024");
    EXPECT_EQ(u.deletingLastPathComponent().absoluteString(), "file:///tmp/My%20Icons/");
    auto parsed = URL::fromString(u.absoluteString());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, u);
    EXPECT_EQ(parsed->path(), "/tmp/My Icons/icon 1024.png");
}

TEST(Url, DirectoryUrlsKeepTrailingSlashOutOfPath) {
    gwtest::TempDir dir;
    URL d = URL::fileURL(dir.path());  // exists: a directory URL
    EXPECT_TRUE(d.hasDirectoryPath());
    EXPECT_EQ(d.path(), dir.path().string());
    URL catalog = d.appendingPathComponent("Assets").appendingPathExtension("xcassets");
    EXPECT_EQ(catalog.lastPathComponent(), "Assets.xcassets");
    EXPECT_FALSE(catalog.hasDirectoryPath());
    EXPECT_TRUE(d.appendingPathComponent("sub", true).hasDirectoryPath());
    EXPECT_EQ(d.appendingPathComponent("/a/b/").path(), dir.path().string() + "/a/b");
    EXPECT_EQ(URL::fileURL("/").deletingLastPathComponent().path(), "/");
}

TEST(Url, NetworkUrlsSplitIntoParts) {
    auto u = URL::fromString("HTTPS://user@Example.com:8443/a%2Fb/c.json?x=1&y=2#frag");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->scheme(), "https");
    EXPECT_EQ(u->host(), "example.com");
    EXPECT_EQ(u->port(), 8443);
    EXPECT_EQ(*u->query(), "x=1&y=2");
    EXPECT_EQ(u->lastPathComponent(), "c.json");
    EXPECT_EQ(URL::fromString("http://127.0.0.1:5000/logs")->appendingPathComponent("more").absoluteString(),
              "http://127.0.0.1:5000/logs/more");
    EXPECT_FALSE(URL::fromString("no scheme here"));
    EXPECT_FALSE(URL::fromString("relative/path"));
    EXPECT_FALSE(URL::fromString("http://host:99999/"));
    EXPECT_FALSE(URL::fromString("1http://x"));
}

TEST(Url, ExtensionsOfDotFilesAndHashing) {
    EXPECT_EQ(URL::fileURL("/a/.hidden", false).pathExtension(), "");
    EXPECT_EQ(URL::fileURL("/a/archive.tar.gz", false).pathExtension(), "gz");
    std::unordered_set<URL> set{URL::fileURL("/a/b", false), URL::fileURL("/a/./b", false)};
    EXPECT_EQ(set.size(), 1u);
}
