// What a later run makes of the hidden names a killed run left in a catalog: folders set
// aside go back, everything else in flight goes, and names that only look alike stay.
// What stands at a set-aside folder's name may be the user's own: it goes to the Trash.
#include "app/engine/interrupted_writing.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <tuple>

namespace {

namespace fs = std::filesystem;
using gw::InFlightKind;
using gwtest::readFile;
using gwtest::writeFile;

// No process has a number above the kernel's limit on them (2^22): leftovers named with
// it are of a run that ended.
constexpr pid_t kGone = 4194305;

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

// Recovery may move what it finds to the Trash: the home Trash in the test's own folder.
class InterruptedWriting : public ::testing::Test {
protected:
    gwtest::TempDir dir_;
    gwtest::ScopedEnv home_{"HOME", dir_.path().string()};
    gwtest::ScopedEnv data_{"XDG_DATA_HOME", (dir_ / "data").string()};
};

TEST(InFlightNames, HiddenNamesSayWhatTheyStandFor) {
    struct Case {
        std::string name;
        std::optional<std::string> original;
        InFlightKind kind = InFlightKind::discarded;
    };
    const std::vector<Case> cases{
        {".logo.imageset.replaced-12-0", "logo.imageset", InFlightKind::replaced},
        {".a.b-c.writing-1-22", "a.b-c", InFlightKind::writing},
        {".Assets.xcassets.discarded-4194304-7", "Assets.xcassets", InFlightKind::discarded},
        {"logo.imageset.replaced-12-0", std::nullopt},
        {".logo.imageset.replaced-12", std::nullopt},
        {".logo.imageset.replaced-x-0", std::nullopt},
        {".logo.imageset.moved-12-0", std::nullopt},
        {"..replaced-1-2", std::nullopt},
        {".hidden", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto parsed = gw::parseInFlightName(c.name);
        ASSERT_EQ(parsed.has_value(), c.original.has_value()) << c.name;
        if (!parsed) continue;
        EXPECT_EQ(parsed->original, *c.original) << c.name;
        EXPECT_EQ(parsed->kind, c.kind) << c.name;
    }
    // A fresh name of each kind reads back as what it was made for.
    const gwtest::TempDir dir;
    for (const auto kind : {InFlightKind::replaced, InFlightKind::writing, InFlightKind::discarded}) {
        const auto sibling = gw::inFlightSibling(dir / "pic.imageset", kind);
        EXPECT_EQ(sibling.parent_path(), dir.path());
        const auto parsed = gw::parseInFlightName(sibling.filename().string());
        ASSERT_TRUE(parsed) << sibling;
        EXPECT_EQ(parsed->original, "pic.imageset");
        EXPECT_EQ(parsed->kind, kind);
        EXPECT_LE(sibling.filename().string().size(), std::string("pic.imageset").size() + gw::kInFlightNameOverhead);
    }
}

TEST_F(InterruptedWriting, ALaterRunPutsBackWhatWasSetAsideAndRemovesWhatWasInFlight) {
    const auto output = dir_ / "out";
    const auto catalog = output / "Assets.xcassets";
    // Replaced by a killed run that had already written a new one.
    writeFile(catalog / "a.imageset/Contents.json", "new a");
    writeFile(catalog / ".a.imageset.replaced-4194305-0/Contents.json", "old a");
    // Set aside, nothing written yet.
    writeFile(catalog / ".b.imageset.replaced-4194305-1/Contents.json", "old b");
    // Deeper down, in a group folder.
    writeFile(catalog / "group/.c.imageset.replaced-4194305-2/Contents.json", "old c");
    writeFile(catalog / "group/.d.imageset.writing-4194305-3/half.png", "half");
    // In flight, and a catalog's Contents.json being written.
    writeFile(catalog / ".e.imageset.writing-4194305-4/Contents.json", "half e");
    writeFile(catalog / ".f.imageset.discarded-4194305-5/Contents.json", "going f");
    writeFile(catalog / ".Contents.json.a1B2c3", "{");
    // The user's own hidden files stay.
    writeFile(catalog / ".keep", "mine");
    writeFile(catalog / ".notes.txt.a1B2c3", "mine too");

    gw::recoverInterruptedWriting(output);
    EXPECT_EQ(namesIn(catalog), (std::set<std::string>{".keep", ".notes.txt.a1B2c3", "a.imageset", "b.imageset", "group"}));
    EXPECT_EQ(readFile(catalog / "a.imageset/Contents.json"), "old a");
    EXPECT_EQ(readFile(catalog / "b.imageset/Contents.json"), "old b");
    EXPECT_EQ(namesIn(catalog / "group"), (std::set<std::string>{"c.imageset"}));
    EXPECT_EQ(readFile(catalog / "group/c.imageset/Contents.json"), "old c");
}

TEST_F(InterruptedWriting, AWholeCatalogSetAsideComesBackAndACatalogGivenAsTheOutputIsLookedInto) {
    const auto output = dir_ / "out";
    writeFile(output / "Assets.xcassets/new.imageset/Contents.json", "new");
    writeFile(output / ".Assets.xcassets.replaced-4194305-0/old.imageset/Contents.json", "old");
    writeFile(output / ".Assets.xcassets.replaced-4194305-0/.x.imageset.writing-4194305-1/Contents.json", "half");
    // Not ours to touch: only catalogs are looked into.
    writeFile(output / ".other.replaced-4194305-2/file", "other");
    gw::recoverInterruptedWriting(output);
    EXPECT_EQ(namesIn(output), (std::set<std::string>{".other.replaced-4194305-2", "Assets.xcassets"}));
    EXPECT_EQ(namesIn(output / "Assets.xcassets"), (std::set<std::string>{"old.imageset"}));

    // The output chosen is the catalog itself.
    writeFile(output / "Assets.xcassets/.old.imageset.replaced-4194305-3/Contents.json", "older");
    gw::recoverInterruptedWriting(output / "Assets.xcassets");
    EXPECT_EQ(readFile(output / "Assets.xcassets/old.imageset/Contents.json"), "older");
    EXPECT_EQ(namesIn(output / "Assets.xcassets"), (std::set<std::string>{"old.imageset"}));
}

// A leftover is left alone while its process may still be at work on it (another run, or
// this one); a run that ended but is not reaped yet (a zombie) works on nothing. Only a
// real folder goes back: a link would lead later runs wherever it points.
TEST_F(InterruptedWriting, OnlyAFolderOfARunThatEndedIsPutBack) {
    const pid_t ended = ::fork();
    ASSERT_GE(ended, 0);
    if (ended == 0) ::_exit(0);
    siginfo_t exited{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(ended), &exited, WEXITED | WNOWAIT), 0);
    using Type = fs::file_type;
    const std::vector<std::tuple<std::string, pid_t, Type>> cases{
        {"another run at work", ::getppid(), Type::directory},
        {"this run", ::getpid(), Type::directory},
        {"a link", kGone, Type::symlink},
        {"a file", kGone, Type::regular},
        {"a run that ended, not yet reaped", ended, Type::directory},
    };
    writeFile(dir_ / "stale/Contents.json", "stale");
    for (const auto& [name, process, type] : cases) {
        SCOPED_TRACE(name);
        const auto set = dir_ / "out/Assets.xcassets/logo.imageset";
        const auto leftover = set.parent_path() / (".logo.imageset.replaced-" + std::to_string(process) + "-7");
        fs::remove_all(dir_ / "out");
        writeFile(set / "notes.txt", "mine");
        if (type == Type::symlink) fs::create_directory_symlink(dir_ / "stale", leftover);
        if (type == Type::regular) writeFile(leftover, "stale");
        if (type == Type::directory) fs::copy(dir_ / "stale", leftover);

        const auto told = gw::recoverInterruptedWriting(dir_ / "out");

        if (process != ended) {
            EXPECT_EQ(fs::symlink_status(leftover).type(), type);
            EXPECT_EQ(namesIn(set), std::set<std::string>{"notes.txt"});
            EXPECT_TRUE(told.empty());
            continue;
        }
        EXPECT_FALSE(fs::exists(leftover));
        EXPECT_EQ(readFile(set / "Contents.json"), "stale");
        ASSERT_EQ(told.size(), 1u);
        EXPECT_EQ(told[0].restoredFrom, leftover);
        EXPECT_EQ(readFile(told[0].keptAt / "notes.txt"), "mine");
    }
    ::waitpid(ended, nullptr, 0);
}

}  // namespace
