// The folder held by the kernel: every open and every entry beneath it resolves there,
// links that stay inside are followed as the file system follows them, and links that
// lead out are refused, whether the kernel resolves (openat2) or the walk of one part at
// a time does, as on kernels without it.
#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/folder_swap.hpp"
#include "platform/foundation/root_handle.hpp"
#include "platform/foundation/trash.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace files = platform::foundation::files;
using gwtest::readFile;
using gwtest::writeFile;

std::string readThrough(const files::RootHandle& root, const fs::path& path) {
    const auto fd = root.open(path, O_RDONLY);
    const auto bytes = files::readOpenedFile(fd.get(), path);
    return std::string(bytes.begin(), bytes.end());
}

class RootHandleTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        files::RootHandle::setKernelResolutionForTesting(GetParam());
        root_ = dir_ / "root";
        outside_ = dir_ / "outside";
        writeFile(root_ / "real/inside.txt", "inside");
        writeFile(outside_ / "far.txt", "outside");
        fs::create_directories(outside_ / "folder");
        // Another way to the root, from outside it.
        fs::create_directory_symlink(root_, dir_ / "alias");
    }
    void TearDown() override { files::RootHandle::setKernelResolutionForTesting(true); }

    gwtest::TempDir dir_;
    fs::path root_;
    fs::path outside_;
};

TEST_P(RootHandleTest, LinksThatStayInsideAreFollowedAndLinksThatLeadOutAreRefused) {
    fs::create_symlink(root_ / "real/inside.txt", root_ / "absolute.txt");
    fs::create_symlink("real/inside.txt", root_ / "relative.txt");
    fs::create_symlink("../real/inside.txt", root_ / "real/up.txt");
    fs::create_symlink(dir_ / "alias/real/inside.txt", root_ / "through-alias.txt");
    fs::create_directory_symlink(root_ / "real", root_ / "linked");
    fs::create_symlink(root_ / "absolute.txt", root_ / "chained.txt");
    fs::create_symlink(outside_ / "far.txt", root_ / "stolen.txt");
    fs::create_symlink("../outside/far.txt", root_ / "climbing.txt");
    fs::create_symlink(root_ / "stolen.txt", root_ / "hop.txt");
    fs::create_directory_symlink(outside_, root_ / "out");
    fs::create_directory_symlink("/proc/self/root", root_ / "magic");
    fs::create_symlink("loop", root_ / "loop");

    const files::RootHandle root(root_);
    for (const std::string name : {"absolute.txt", "relative.txt", "real/up.txt", "through-alias.txt", "linked/inside.txt",
                                   "chained.txt", "real/../real/inside.txt"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(readThrough(root, root_ / name), "inside");
        EXPECT_TRUE(root.contains(root_ / name));
    }
    // Reached through a link outside the root, it is the same file.
    EXPECT_EQ(readThrough(root, dir_ / "alias/relative.txt"), "inside");

    struct Out {
        std::string name;
        fs::path leadsTo;
    };
    for (const auto& out : std::vector<Out>{{"stolen.txt", outside_ / "far.txt"},
                                            {"climbing.txt", outside_ / "far.txt"},
                                            {"hop.txt", outside_ / "far.txt"},
                                            {"out/far.txt", outside_ / "far.txt"},
                                            {"out/new/deeper", outside_ / "new/deeper"},
                                            {"../outside/far.txt", outside_ / "far.txt"},
                                            {"magic/etc/hostname", "/etc/hostname"}}) {
        SCOPED_TRACE(out.name);
        EXPECT_FALSE(root.contains(root_ / out.name));
        try {
            root.open(root_ / out.name, O_RDONLY);
            ADD_FAILURE() << "opened";
        } catch (const files::OutsideRootError& refused) {
            EXPECT_EQ(refused.leadsTo(), out.leadsTo);
        }
        EXPECT_THROW(root.entry(root_ / out.name / "x"), files::OutsideRootError);
    }
    EXPECT_THROW(root.open(outside_ / "far.txt", O_RDONLY), files::OutsideRootError);
    try {
        root.open(root_ / "loop", O_RDONLY);
        ADD_FAILURE() << "opened a loop";
    } catch (const platform::foundation::Error& loop) {
        EXPECT_EQ(loop.code(), ELOOP);
    }
}

// What the steps act on is the entry itself: a link is renamed or removed, never what it
// leads to, and a removal below the root never follows a link out of it.
TEST_P(RootHandleTest, EntriesAreActedOnWithoutFollowingTheirLastPart) {
    fs::create_directory_symlink(outside_, root_ / "real/out");
    writeFile(root_ / "tree/a/b.txt", "b");
    fs::create_directory_symlink(outside_, root_ / "tree/a/out");
    const files::RootHandle root(root_);

    files::removeTree(root.entry(root_ / "tree"), root_ / "tree");
    EXPECT_FALSE(fs::exists(root_ / "tree"));
    EXPECT_EQ(readFile(outside_ / "far.txt"), "outside");

    files::TreeCopy copy;
    copy.skip = [](const std::string& name, const struct stat&) { return name == "skipped"; };
    files::copyTree(root.entry(root_ / "real"), root.entry(root_ / "copy"), root_ / "real", copy);
    EXPECT_EQ(readFile(root_ / "copy/inside.txt"), "inside");
    EXPECT_TRUE(fs::is_symlink(root_ / "copy/out"));

    writeFile(root_ / "a/file.txt", "a");
    writeFile(root_ / "b/file.txt", "b");
    EXPECT_TRUE(files::exchangeOrMove(root.entry(root_ / "a"), root.entry(root_ / "b"), root.entry(root_ / ".aside"),
                                      root_ / "a"));
    EXPECT_EQ(readFile(root_ / "b/file.txt"), "a");
    EXPECT_EQ(readFile(root_ / "a/file.txt"), "b");

    // Written by rename in its folder: a link at the name is replaced, not followed.
    fs::create_symlink(outside_ / "far.txt", root_ / "real/written.txt");
    const auto folder = root.entry(root_ / "real/written.txt");
    files::writeAtomicallyAt(folder.folder.get(), folder.name, "new", root_ / "real/written.txt");
    EXPECT_EQ(readFile(root_ / "real/written.txt"), "new");
    EXPECT_EQ(readFile(outside_ / "far.txt"), "outside");
}

// Made from a folder opened (and checked) before, the handle holds that folder: moved
// away and a link to another folder put at its old path, the old path's files are still
// the held folder's, its path is where it went, and nothing leads into the other.
TEST_P(RootHandleTest, AHandleOfAnOpenedFolderStaysWithThatFolder) {
    files::UniqueFd opened(::open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(opened);
    const files::RootHandle early(files::UniqueFd(::dup(opened.get())), root_);
    EXPECT_EQ(early.path(), root_);
    fs::rename(root_, dir_ / "moved");
    fs::create_directory_symlink(outside_, root_);
    const files::RootHandle late(std::move(opened), root_);
    EXPECT_EQ(late.path(), dir_ / "moved");

    writeFile(outside_ / "real/inside.txt", "the other folder's");
    EXPECT_EQ(readThrough(early, root_ / "real/inside.txt"), "inside");
    EXPECT_EQ(readThrough(late, dir_ / "moved/real/inside.txt"), "inside");
    EXPECT_THROW(late.open(root_ / "real/inside.txt", O_RDONLY), files::OutsideRootError);
    const auto made = early.entry(root_ / "real/new.txt");
    files::writeAtomicallyAt(made.folder.get(), made.name, "new", root_ / "real/new.txt");
    EXPECT_EQ(readFile(dir_ / "moved/real/new.txt"), "new");
    EXPECT_FALSE(fs::exists(outside_ / "real/new.txt"));

    EXPECT_THROW(files::RootHandle(files::UniqueFd(::open((dir_ / "moved/real/inside.txt").c_str(), O_PATH | O_CLOEXEC)),
                                   dir_ / "moved/real/inside.txt"),
                 platform::foundation::Error);
}

INSTANTIATE_TEST_SUITE_P(Resolution, RootHandleTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Kernel" : "Walk"; });

// The Trash takes the entry from the folder it was opened in, with an info file that
// names where it stood, escaped as a URL; a name the Trash holds is numbered before the
// extension.
TEST(RootHandleTrash, TheTrashTakesAnEntryAndSaysWhereItStood) {
    gwtest::TempDir dir;
    gwtest::ScopedEnv home("HOME", dir.path().string());
    gwtest::ScopedEnv data("XDG_DATA_HOME", (dir / "data").string());
    const fs::path item = dir / "work/Assets (old).xcassets";
    const files::RootHandle root(dir / "work/..");
    for (int round = 1; round <= 2; ++round) {
        writeFile(item / "Contents.json", "round " + std::to_string(round));
        const auto went = files::moveToTrash(root.entry(item), item);
        const std::string expected = round == 1 ? "Assets (old).xcassets" : "Assets (old) 2.xcassets";
        EXPECT_EQ(went, dir / "data/Trash/files" / expected);
        EXPECT_EQ(readFile(went / "Contents.json"), "round " + std::to_string(round));
        const auto info = readFile(dir / "data/Trash/info" / (expected + ".trashinfo"));
        EXPECT_EQ(info.rfind("[Trash Info]\nPath=" + (dir / "work/Assets%20%28old%29.xcassets").string() +
                                 "\nDeletionDate=",
                             0),
                  0u)
            << info;
    }
    EXPECT_FALSE(fs::exists(item));
}

}  // namespace
