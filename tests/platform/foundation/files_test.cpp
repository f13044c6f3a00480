#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

namespace pf = platform::foundation;
namespace fs = std::filesystem;

namespace {
std::size_t entriesIn(const fs::path& dir) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}
}  // namespace

TEST(Files, AtomicWriteReplacesWholeFileAndLeavesNoTemporaries) {
    gwtest::TempDir dir;
    fs::path file = dir / "Contents.json";
    pf::files::writeAtomically(file, std::string_view("first version, rather long"));
    pf::files::writeAtomically(file, std::string_view("second"));
    EXPECT_EQ(gwtest::readFile(file), "second");
    EXPECT_EQ(pf::files::readString(file), "second");
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(Files, AtomicWriteKeepsPermissionsOfExistingFileAndUsesModeForNewOnes) {
    gwtest::TempDir dir;
    fs::path secret = dir / "secret";
    pf::files::writeAtomically(secret, std::string_view("a"), 0600);
    struct stat st {};
    ASSERT_EQ(::stat(secret.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ::chmod(secret.c_str(), 0640);
    pf::files::writeAtomically(secret, std::string_view("b"), 0600);
    ASSERT_EQ(::stat(secret.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(Files, FailedWriteLeavesOldContentsAndReportsError) {
    gwtest::TempDir dir;
    EXPECT_THROW(pf::files::writeAtomically(dir / "missing-folder" / "f", std::string_view("x")), pf::Error);
    // A folder where the file should be: rename fails, the temporary file is cleaned up.
    fs::create_directory(dir / "taken");
    gwtest::writeFile(dir / "taken" / "inside", "keep");
    EXPECT_THROW(pf::files::writeAtomically(dir / "taken", std::string_view("x")), pf::Error);
    EXPECT_EQ(gwtest::readFile(dir / "taken" / "inside"), "keep");
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(Files, ReadingMissingFileIsFileNotFound) {
    gwtest::TempDir dir;
    try {
        pf::files::readData(dir / "nope.plist");
        FAIL();
    } catch (const pf::Error& e) {
        EXPECT_EQ(e.code(), static_cast<int>(pf::FoundationErrorCode::fileNotFound));
    }
}

TEST(Files, CreateDirectoriesMakesParentsAndRefusesFiles) {
    gwtest::TempDir dir;
    pf::files::createDirectories(dir / "a" / "b" / "c");
    EXPECT_TRUE(pf::files::directoryExists(dir / "a" / "b" / "c"));
    pf::files::createDirectories(dir / "a");  // existing: fine
    gwtest::writeFile(dir / "file", "x");
    EXPECT_THROW(pf::files::createDirectories(dir / "file"), pf::Error);
}

TEST(Files, XdgFoldersFollowEnvironmentWithHomeFallbacks) {
    gwtest::ScopedXdgHome xdg;
    EXPECT_EQ(pf::files::preferencesDirectory("com.example.app"), fs::path(std::getenv("XDG_CONFIG_HOME")) / "com.example.app");
    EXPECT_EQ(pf::files::applicationSupportDirectory("id"), fs::path(std::getenv("XDG_DATA_HOME")) / "id");
    EXPECT_EQ(pf::files::cachesDirectory("id"), fs::path(std::getenv("XDG_CACHE_HOME")) / "id");

    gwtest::TempDir home;
    gwtest::ScopedEnv homeEnv("HOME", home.path().string());
    gwtest::ScopedEnv relative("XDG_CONFIG_HOME", "relative/path");  // not absolute: ignored
    gwtest::ScopedEnv unset("XDG_DATA_HOME", std::nullopt);
    EXPECT_EQ(pf::files::xdgConfigHome(), home.path() / ".config");
    EXPECT_EQ(pf::files::xdgDataHome(), home.path() / ".local/share");
}

TEST(Files, TemporaryDirectoryEndsWithSlash) {
    gwtest::TempDir dir;
    gwtest::ScopedEnv tmp("TMPDIR", dir.path().string());
    EXPECT_EQ(pf::files::temporaryDirectory(), dir.path().string() + "/");
    gwtest::ScopedEnv none("TMPDIR", std::nullopt);
    EXPECT_EQ(pf::files::temporaryDirectory(), "/tmp/");
}

// Only regular files are read, and only up to the limit: a FIFO with no writer, a
// device, a folder or an oversized file is refused at once, through links too.
TEST(Files, ReadsOnlyRegularFilesWithinTheLimit) {
    gwtest::TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir / "zero");
    fs::create_symlink(dir / "fifo", dir / "link-to-fifo");
    fs::create_directory(dir / "folder");
    gwtest::writeFile(dir / "big", std::string(4097, 'x'));
    gwtest::writeFile(dir / "small", std::string(4096, 'y'));
    fs::create_symlink(dir / "small", dir / "link-to-small");
    for (const char* name : {"fifo", "zero", "link-to-fifo", "folder", "big"}) {
        SCOPED_TRACE(name);
        try {
            pf::files::readData(dir / name, 4096);
            ADD_FAILURE() << "read";
        } catch (const pf::Error& e) {
            EXPECT_EQ(e.code(), static_cast<int>(pf::FoundationErrorCode::fileReadCorrupt)) << e.what();
        }
    }
    EXPECT_EQ(pf::files::readString(dir / "link-to-small", 4096), std::string(4096, 'y'));
    EXPECT_EQ(pf::files::readString(dir / "big").size(), 4097u);
}

// Where a path leads: each link followed as the kernel would, ".." after a link taken
// from its target, dangling links followed into what does not exist yet.
TEST(Files, ResolvedPathsFollowEveryLinkOnTheWay) {
    gwtest::TempDir dir;
    const fs::path d = fs::canonical(dir.path());
    fs::create_directories(d / "real");
    fs::create_directories(d / "a");
    fs::create_directories(d / "other");
    fs::create_directory_symlink("real", d / "link");
    fs::create_directory_symlink(d / "other", d / "a/b");
    fs::create_symlink(d / "outside/missing", d / "dangling");
    fs::create_symlink("loop2", d / "loop1");
    fs::create_symlink("loop1", d / "loop2");
    struct Case {
        fs::path path;
        fs::path leadsTo;
    };
    const std::vector<Case> cases = {
        {d / "real/x", d / "real/x"},
        {d / "link/x/y", d / "real/x/y"},
        {d / "a/b/../c", d / "c"},
        {d / "a/./b/file", d / "other/file"},
        {d / "dangling/more", d / "outside/missing/more"},
        {d / "a/b/", d / "other"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.string());
        EXPECT_EQ(pf::files::resolvedPath(c.path), c.leadsTo);
    }
    EXPECT_THROW(pf::files::resolvedPath(d / "loop1/x"), pf::Error);

    struct Inside {
        fs::path path, folder;
        bool inside;
    };
    for (const auto& c : std::vector<Inside>{{"/a/b", "/a", true},
                                             {"/a", "/a/", true},
                                             {"/a/", "/a", true},
                                             {"/ab", "/a", false},
                                             {"/a", "/a/b", false},
                                             {"/x", "/", true}}) {
        SCOPED_TRACE(c.path.string() + " in " + c.folder.string());
        EXPECT_EQ(pf::files::isAtOrBelow(c.path, c.folder), c.inside);
    }
}
