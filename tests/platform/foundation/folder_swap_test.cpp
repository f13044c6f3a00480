// What a writer records of what it copies and makes, and the marks items in flight carry,
// with extended attributes and links and on a file system that has neither.
#include "platform/foundation/files.hpp"
#include "platform/foundation/folder_swap.hpp"
#include "platform/foundation/root_handle.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;
namespace files = platform::foundation::files;
using gwtest::readFile;
using gwtest::writeFile;

struct stat statOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info;
}

using gwtest::namesIn;

class FolderSwap : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        files::setLinksRefusedForTesting(!GetParam());
        files::setExtendedAttributesRefusedForTesting(!GetParam());
    }
    void TearDown() override {
        files::setPruneLookHookForTesting(nullptr);
        files::setCopyLookHookForTesting(nullptr);
        files::setLinksRefusedForTesting(false);
        files::setExtendedAttributesRefusedForTesting(false);
    }
    gwtest::TempDir dir_;
};

TEST_P(FolderSwap, ACopiedTreeKnowsWhatItCarriedOverAndWhatItMade) {
    writeFile(dir_ / "set/Contents.json", "{}");
    writeFile(dir_ / "set/dark/notes.txt", "mine");
    writeFile(dir_ / "set/.set-aside/old.png", "old");
    fs::create_symlink("Contents.json", dir_ / "set/link");
    const files::RootHandle root(dir_.path());
    files::MadeItems made;
    files::TreeCopy copy;
    copy.made = &made;
    const auto aside = statOf(dir_ / "set/.set-aside");
    copy.skip = [&](const std::string&, const struct stat& item) { return item.st_ino == aside.st_ino; };
    int marked = 0;
    copy.madeFolder = [&](int folder) {
        ++marked;
        EXPECT_TRUE(files::setMark(folder, true, "test.mark", "made for set", &made));
    };
    files::copyTree(root.entry(dir_ / "set"), root.entry(dir_ / "staged"), dir_ / "set", copy);

    EXPECT_EQ(marked, 1);
    EXPECT_EQ(copy.skipped, std::vector<fs::path>{".set-aside"});
    EXPECT_FALSE(fs::exists(dir_ / "staged/.set-aside"));
    EXPECT_EQ(readFile(dir_ / "staged/dark/notes.txt"), "mine");
    EXPECT_EQ(fs::read_symlink(dir_ / "staged/link"), "Contents.json");
    const auto original = statOf(dir_ / "set/dark/notes.txt");
    const auto carried = statOf(dir_ / "staged/dark/notes.txt");
    // Linked, the same file; copied, a file the writer made from it, until it changes.
    EXPECT_EQ(carried.st_ino == original.st_ino, GetParam());
    EXPECT_EQ(made.isMade(carried), !GetParam());
    EXPECT_EQ(made.isCopyOf(carried, original), !GetParam());
    EXPECT_FALSE(made.isWritten(carried));
    EXPECT_TRUE(made.isMade(statOf(dir_ / "staged")));
    EXPECT_TRUE(made.isMade(statOf(dir_ / "staged/dark")));
    EXPECT_TRUE(made.isCopyOf(statOf(dir_ / "staged/dark"), statOf(dir_ / "set/dark")));
    EXPECT_FALSE(made.isMade(original));
    if (!GetParam()) {
        writeFile(dir_ / "set/dark/notes.txt", "mine, changed since");
        EXPECT_FALSE(made.isCopyOf(carried, statOf(dir_ / "set/dark/notes.txt")));
    }

    // Pruned of what the caller lets go: here what was made, and the old names of files that
    // stand on in the copy; a folder goes once emptied.
    const auto staged = root.entry(dir_ / "staged");
    const auto mayGo = [&](const files::PruneEntry& at) {
        const auto& item = at.item;
        const auto* counterpart = at.counterpart;
        if (made.isMade(item)) return true;
        if (!counterpart) return false;
        if (S_ISDIR(item.st_mode)) return made.isMade(*counterpart);
        return counterpart->st_ino == item.st_ino && counterpart->st_dev == item.st_dev;
    };
    writeFile(dir_ / "set/later.txt", "added after the copy");
    EXPECT_FALSE(files::pruneTree(root.entry(dir_ / "set"), &staged, mayGo, dir_ / "set"));
    std::set<std::string> left{".set-aside", "Contents.json", "dark", "later.txt", "link"};
    if (GetParam()) left = {".set-aside", "later.txt", "link"};
    EXPECT_EQ(namesIn(dir_ / "set"), left);
    // Without a counterpart only what was made goes: carried files stay, with their folders.
    EXPECT_EQ(files::pruneTree(root.entry(dir_ / "staged"), nullptr, mayGo, dir_ / "staged"), !GetParam());
    if (GetParam()) {
        EXPECT_EQ(namesIn(dir_ / "staged"), (std::set<std::string>{"Contents.json", "dark"}));
        EXPECT_EQ(namesIn(dir_ / "staged/dark"), std::set<std::string>{"notes.txt"});
    } else {
        EXPECT_FALSE(fs::exists(dir_ / "staged"));
    }
    EXPECT_TRUE(files::pruneTree(root.entry(dir_ / "gone"), nullptr, mayGo, dir_ / "gone"));
    // A tree asked to make way for itself (a mark naming its own name) stays whole: what
    // the run made in it too, since nothing took its place.
    fs::create_directories(dir_ / "itself");
    writeFile(dir_ / "itself/made.txt", "made by the run");
    made.made(statOf(dir_ / "itself/made.txt"));
    const auto itself = root.entry(dir_ / "itself");
    EXPECT_FALSE(files::pruneTree(itself, &itself, mayGo, dir_ / "itself"));
    EXPECT_TRUE(fs::exists(dir_ / "itself/made.txt"));
}

TEST_P(FolderSwap, MarksAndAnnouncementsAreReadBackAndOnlyTheirOwnFileGoes) {
    fs::create_directories(dir_ / "folder");
    fs::create_directories(dir_ / "other");
    writeFile(dir_ / "file", "x");
    files::UniqueFd folder(::open((dir_ / "folder").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    files::UniqueFd file(::open((dir_ / "file").c_str(), O_RDONLY | O_CLOEXEC));
    files::MadeItems made;

    const auto marks = [&] { return files::readMarks(folder.get(), true, "test.mark"); };
    using Marks = std::vector<std::string>;
    EXPECT_TRUE(files::setMark(folder.get(), true, "test.mark", "first line\nfolder", &made));
    EXPECT_EQ(marks(), Marks{"first line\nfolder"});
    // Another mark takes the attribute's place; in a file, it takes a name of its own, and the
    // file there (a mark copied in with the folder, say) stays.
    EXPECT_TRUE(files::setMark(folder.get(), true, "test.mark", "first line\nagain", &made));
    EXPECT_EQ(marks(), GetParam() ? Marks{"first line\nagain"} : (Marks{"first line\nfolder", "first line\nagain"}));
    EXPECT_EQ(fs::exists(dir_ / "folder/.test.mark"), !GetParam());
    if (!GetParam()) {
        EXPECT_TRUE(made.isMade(statOf(dir_ / "folder/.test.mark-2")));
    }
    files::removeMark(folder.get(), true, "test.mark", "first line\nagain");
    EXPECT_EQ(marks(), GetParam() ? Marks{} : Marks{"first line\nfolder"});
    files::removeMark(folder.get(), true, "test.mark", "first line\nfolder");
    EXPECT_TRUE(marks().empty());
    EXPECT_TRUE(fs::is_empty(dir_ / "folder"));

    // A file can carry a mark only as an attribute.
    EXPECT_EQ(files::setMark(file.get(), false, "test.mark", "file", &made), GetParam());
    EXPECT_EQ(files::readMarks(file.get(), false, "test.mark").size(), GetParam() ? 1u : 0u);

    // Files of the mark's names that hold something else are the user's, and stay; the mark
    // takes a name free there and in the folder given (one about to be copied into it), and
    // with none free it cannot be set.
    writeFile(dir_ / "folder/.test.mark", "the user's own");
    writeFile(dir_ / "other/.test.mark-2", "the user's own too");
    files::UniqueFd other(::open((dir_ / "other").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!GetParam()) {
        EXPECT_TRUE(files::setMark(folder.get(), true, "test.mark", "first line\nmark", &made, other.get()));
        EXPECT_EQ(readFile(dir_ / "folder/.test.mark-3"), "first line\nmark");
        EXPECT_EQ(marks(), (Marks{"the user's own", "first line\nmark"}));
        files::removeMark(folder.get(), true, "test.mark", "first line\nmark");
        EXPECT_EQ(namesIn(dir_ / "folder"), std::set<std::string>{".test.mark"});
        EXPECT_EQ(readFile(dir_ / "folder/.test.mark"), "the user's own");
        for (int n = 2; n <= 8; ++n) writeFile(dir_ / ("folder/.test.mark-" + std::to_string(n)), "taken");
        EXPECT_THROW(files::setMark(folder.get(), true, "test.mark", "first line\nmark", &made), std::exception);
        EXPECT_EQ(namesIn(dir_ / "folder").size(), 8u);
    }

    // Announcements, by key.
    EXPECT_EQ(files::announce(folder.get(), "test.mark", "1-2", "about to make .x"), GetParam());
    EXPECT_EQ(files::announce(folder.get(), "test.mark", "1-3", "about to make .y"), GetParam());
    const auto announced = files::announcements(folder.get(), "test.mark");
    if (GetParam()) {
        EXPECT_EQ(announced, (std::map<std::string, std::string>{{"1-2", "about to make .x"}, {"1-3", "about to make .y"}}));
    } else {
        EXPECT_TRUE(announced.empty());
    }
    files::withdraw(folder.get(), "test.mark", "1-2");
    EXPECT_EQ(files::announcements(folder.get(), "test.mark").size(), GetParam() ? 1u : 0u);
}

TEST_P(FolderSwap, AFileWrittenForARunNeverKeepsTheMarkOfItsTemporaryName) {
    fs::create_directories(dir_ / "set");
    const files::RootHandle root(dir_.path());
    const files::TemporaryMark mark{"test.mark", [](int, const struct stat& file) { return std::to_string(file.st_ino); }};
    for (const std::string text : {"new", "replaced"}) {
        const auto entry = root.entry(dir_ / "set/Contents.json");
        const auto written =
            files::writeAtomicallyAt(entry.folder.get(), entry.name, text, dir_ / "set/Contents.json", 0640, mark);
        EXPECT_EQ(readFile(dir_ / "set/Contents.json"), text);
        EXPECT_EQ(written.st_ino, statOf(dir_ / "set/Contents.json").st_ino);
        EXPECT_EQ(statOf(dir_ / "set/Contents.json").st_mode & 07777, 0640u);
        EXPECT_EQ(namesIn(dir_ / "set"), std::set<std::string>{"Contents.json"});
        char buffer[64];
        EXPECT_LT(::getxattr((dir_ / "set/Contents.json").c_str(), "user.test.mark", buffer, sizeof buffer), 0);
    }
}

// Pruning acts only on what it looked at: a file, or a folder with the user's files in it,
// swapped in at a name after it was looked at stays, whatever the name's counterpart says.
// A copy never writes through a link planted where it makes a file: it refuses to.
TEST_P(FolderSwap, AnItemSwappedInAtANameIsNeverWhatPruningOrACopyActsOn) {
    const files::RootHandle root(dir_.path());
    files::MadeItems made;
    const auto wrote = [&](const fs::path& file, const std::string& text) {
        writeFile(file, text);
        made.made(statOf(file));
    };
    // Everything of the run's goes, and the old names of what the run wrote anew in the
    // folder that took the tree's place.
    const files::MayGo mayGo = [&](const files::PruneEntry& at) {
        return made.isMade(at.item) || (at.counterpart != nullptr && made.isMade(*at.counterpart));
    };
    std::string swapAt;
    std::function<void()> swap;
    files::setPruneLookHookForTesting([&](int, const std::string& name) {
        if (name != swapAt || !swap) return;
        swap();
        swap = nullptr;
    });

    // A file the run made, with the user's file put at its name once it was looked at.
    fs::create_directories(dir_ / "staged");
    made.made(statOf(dir_ / "staged"));
    wrote(dir_ / "staged/notes.txt", "the run's");
    writeFile(dir_ / "mine.txt", "the user's notes");
    swapAt = "notes.txt";
    swap = [&] { fs::rename(dir_ / "mine.txt", dir_ / "staged/notes.txt"); };
    EXPECT_FALSE(files::pruneTree(root.entry(dir_ / "staged"), nullptr, mayGo, dir_ / "staged"));
    ASSERT_TRUE(fs::exists(dir_ / "staged/notes.txt")) << "the user's file was removed";
    EXPECT_EQ(readFile(dir_ / "staged/notes.txt"), "the user's notes");

    // An old folder whose list the run wrote anew in its counterpart, with a folder of the
    // user's put at its name once it was looked at: the user's list stays.
    writeFile(dir_ / "old/Contents.json", "the old list");
    fs::create_directories(dir_ / "new");
    made.made(statOf(dir_ / "new"));
    wrote(dir_ / "new/Contents.json", "the new list");
    writeFile(dir_ / "users/Contents.json", "the user's own list");
    swapAt = "old";
    swap = [&] {
        fs::rename(dir_ / "old", dir_ / "old-as-looked-at");
        fs::rename(dir_ / "users", dir_ / "old");
    };
    const auto counterpart = root.entry(dir_ / "new");
    EXPECT_FALSE(files::pruneTree(root.entry(dir_ / "old"), &counterpart, mayGo, dir_ / "old"));
    ASSERT_TRUE(fs::exists(dir_ / "old/Contents.json")) << "the user's file was removed";
    EXPECT_EQ(readFile(dir_ / "old/Contents.json"), "the user's own list");
    files::setPruneLookHookForTesting(nullptr);

    // A link to a file elsewhere put in the copy where it is about to make a file.
    writeFile(dir_ / "set/notes.txt", "the set's notes");
    writeFile(dir_ / "elsewhere.txt", "not the copy's to write");
    files::TreeCopy copy;
    copy.made = &made;
    copy.madeFolder = [&](int folder) { ASSERT_EQ(::symlinkat((dir_ / "elsewhere.txt").c_str(), folder, "notes.txt"), 0); };
    EXPECT_THROW(files::copyTree(root.entry(dir_ / "set"), root.entry(dir_ / "copy"), dir_ / "set", copy), std::exception);
    EXPECT_EQ(readFile(dir_ / "elsewhere.txt"), "not the copy's to write");
}

// A file saved anew in place after a prune's answer let it go, before it went (at its size,
// its time of modification kept, as a save within the same second on exFAT leaves it), is
// not what was let go: it stays with what was saved, and the rest of the tree goes.
TEST_P(FolderSwap, AFileSavedWhileAPruneDecidesAboutItStays) {
    const files::RootHandle root(dir_.path());
    files::MadeItems made;
    fs::create_directories(dir_ / "staged");
    made.made(statOf(dir_ / "staged"));
    for (const auto* name : {"Contents.json", "notes.txt"}) {
        writeFile(dir_ / "staged" / name, "the run's own");
        made.made(statOf(dir_ / "staged" / name));
    }
    const files::MayGo savedMeanwhile = [&](const files::PruneEntry& at) {
        if (at.name == "notes.txt") {
            const int fd = ::openat(at.folder, at.name.c_str(), O_WRONLY | O_CLOEXEC);
            EXPECT_GE(fd, 0);
            const std::string saved = "saved by you!";
            EXPECT_EQ(::pwrite(fd, saved.data(), saved.size(), 0), static_cast<ssize_t>(saved.size()));
            const struct timespec times[2] = {at.item.st_atim, at.item.st_mtim};
            ::futimens(fd, times);
            ::close(fd);
        }
        return made.isMade(at.item);
    };
    EXPECT_FALSE(files::pruneTree(root.entry(dir_ / "staged"), nullptr, savedMeanwhile, dir_ / "staged"));
    EXPECT_EQ(namesIn(dir_ / "staged"), std::set<std::string>{"notes.txt"});
    EXPECT_EQ(readFile(dir_ / "staged/notes.txt"), "saved by you!");
}

// A file the user removes, or saves over itself, while its folder is copied is taken as it
// is when the copy reaches it, whether the file system links files or they are copied: one
// gone meanwhile is passed over, one saved anew is carried with its new bytes.
TEST_P(FolderSwap, FilesRemovedOrSavedAnewWhileTheirFolderIsCopiedAreTakenAsTheyAre) {
    writeFile(dir_ / "set/Contents.json", "{}");
    writeFile(dir_ / "set/sketch.psd.tmp", "an editor's temporary file");
    writeFile(dir_ / "set/notes.txt", "the old notes");
    const files::RootHandle root(dir_.path());
    files::MadeItems made;
    files::TreeCopy copy;
    copy.made = &made;
    files::setCopyLookHookForTesting([&](int, const std::string& name) {
        if (name == "sketch.psd.tmp") fs::remove(dir_ / "set/sketch.psd.tmp");
        if (name == "notes.txt") {
            writeFile(dir_ / "set/.notes.txt.swp", "the new notes");
            fs::rename(dir_ / "set/.notes.txt.swp", dir_ / "set/notes.txt");
        }
    });
    EXPECT_NO_THROW(files::copyTree(root.entry(dir_ / "set"), root.entry(dir_ / "staged"), dir_ / "set", copy));
    files::setCopyLookHookForTesting(nullptr);
    EXPECT_EQ(namesIn(dir_ / "staged"), (std::set<std::string>{"Contents.json", "notes.txt"}));
    EXPECT_EQ(readFile(dir_ / "staged/notes.txt"), "the new notes");
}

INSTANTIATE_TEST_SUITE_P(FileSystems, FolderSwap, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "WithLinksAndAttributes" : "WithNeither"; });

}  // namespace
