// What a later run makes of the hidden names a killed run left in a catalog: folders set
// aside go back, everything else in flight goes, and names that only look alike stay.
// Whatever stands at a set-aside folder's name may be the user's own, so it goes to the
// Trash, never away; a leftover whose process still runs, or that is no folder, stays.
#include "app/engine/interrupted_writing.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>

namespace {

namespace fs = std::filesystem;
using gw::InFlightKind;
using gwtest::readFile;
using gwtest::writeFile;

// No process has a number above the kernel's limit on them (2^22).
const std::string kGone = "4194305";

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    if (!fs::is_directory(folder)) return names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

// A file's text; none when it is missing.
std::string textOf(const fs::path& file) { return fs::exists(file) ? readFile(file) : "(missing)"; }

// The names in `folder` that say `name` was replaced ("logo (replaced <date> <time>).imageset").
std::vector<fs::path> replacedIn(const fs::path& folder, const std::string& name) {
    const auto dot = name.rfind('.');
    const std::regex pattern(std::regex_replace(name.substr(0, dot), std::regex(R"([.()])"), R"(\$&)") +
                             R"( \(replaced \d{4}-\d\d-\d\d \d\d\.\d\d\.\d\d( \d+)?\))" + "\\" + name.substr(dot));
    std::vector<fs::path> found;
    for (const auto& entry : namesIn(folder)) {
        if (std::regex_match(entry, pattern)) found.push_back(folder / entry);
    }
    return found;
}

// The home Trash in the test's own folder, on the file system of what goes to it.
class InterruptedWriting : public ::testing::Test {
protected:
    gwtest::TempDir dir_;
    gwtest::ScopedEnv home_{"HOME", dir_.path().string()};
    gwtest::ScopedEnv data_{"XDG_DATA_HOME", (dir_ / "data").string()};
    fs::path trash_ = dir_ / "data/Trash/files";
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
    const auto gone = [](const std::string& name, int n) { return "." + name + "-" + kGone + "-" + std::to_string(n); };
    // Replaced by a killed run that had already written a new one.
    writeFile(catalog / "a.imageset/Contents.json", "new a");
    writeFile(catalog / gone("a.imageset.replaced", 0) / "Contents.json", "old a");
    // Set aside, nothing written yet.
    writeFile(catalog / gone("b.imageset.replaced", 1) / "Contents.json", "old b");
    // Deeper down, in a group folder.
    writeFile(catalog / "group" / gone("c.imageset.replaced", 2) / "Contents.json", "old c");
    writeFile(catalog / "group" / gone("d.imageset.writing", 3) / "half.png", "half");
    // In flight, and a catalog's Contents.json being written.
    writeFile(catalog / gone("e.imageset.writing", 4) / "Contents.json", "half e");
    writeFile(catalog / gone("f.imageset.discarded", 5) / "Contents.json", "going f");
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
    // What the killed run had written at a's name is not thrown away either.
    const auto trashed = replacedIn(trash_, "a.imageset");
    ASSERT_EQ(trashed.size(), 1u) << trash_;
    EXPECT_EQ(readFile(trashed.front() / "Contents.json"), "new a");
}

TEST_F(InterruptedWriting, AWholeCatalogSetAsideComesBackAndACatalogGivenAsTheOutputIsLookedInto) {
    const auto output = dir_ / "out";
    const auto aside = output / (".Assets.xcassets.replaced-" + kGone + "-0");
    writeFile(output / "Assets.xcassets/new.imageset/Contents.json", "new");
    writeFile(aside / "old.imageset/Contents.json", "old");
    writeFile(aside / (".x.imageset.writing-" + kGone + "-1") / "Contents.json", "half");
    // Not ours to touch: only catalogs are looked into.
    const std::string other = ".other.replaced-" + kGone + "-2";
    writeFile(output / other / "file", "other");
    gw::recoverInterruptedWriting(output);
    EXPECT_EQ(namesIn(output), (std::set<std::string>{other, "Assets.xcassets"}));
    EXPECT_EQ(namesIn(output / "Assets.xcassets"), (std::set<std::string>{"old.imageset"}));

    // The output chosen is the catalog itself.
    writeFile(output / "Assets.xcassets" / (".old.imageset.replaced-" + kGone + "-3") / "Contents.json", "older");
    gw::recoverInterruptedWriting(output / "Assets.xcassets");
    EXPECT_EQ(readFile(output / "Assets.xcassets/old.imageset/Contents.json"), "older");
    EXPECT_EQ(namesIn(output / "Assets.xcassets"), (std::set<std::string>{"old.imageset"}));
}

// A folder that merely carries a leftover's name (a stale one, or a copy a sync tool
// brought over) beside the user's current catalog or set: what the user made is found
// afterwards, in the Trash or, where there is none, beside under a name that says so.
// A leftover that is a link, or whose process still runs, changes nothing.
TEST_F(InterruptedWriting, WhatStandsAtALeftoversNameIsNeverDeleted) {
    writeFile(dir_ / "blocked", "a file where the data folder would be");
    // A run that ended, not yet reaped by its parent: it still has its number, but works
    // on nothing.
    const pid_t ended = ::fork();
    ASSERT_GE(ended, 0);
    if (ended == 0) ::_exit(0);
    siginfo_t exited{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(ended), &exited, WEXITED | WNOWAIT), 0);
    struct Case {
        std::string name;
        std::string folder;  // below the output folder, where the two stand
        std::string original;
        std::string pid;
        bool link = false;
        bool noTrash = false;
        bool putBack = true;
    };
    const std::vector<Case> cases{
        {"a catalog", "", "Assets.xcassets", kGone},
        {"a set in a catalog", "Assets.xcassets", "logo.imageset", kGone},
        {"a set in a group", "Assets.xcassets/group", "logo.imageset", kGone},
        {"a catalog, no Trash", "", "Assets.xcassets", kGone, false, true},
        {"a set, no Trash", "Assets.xcassets", "logo.imageset", kGone, false, true},
        {"a leftover of a run that ended, not yet reaped", "Assets.xcassets", "logo.imageset", std::to_string(ended)},
        {"a leftover of this running process", "Assets.xcassets", "logo.imageset", std::to_string(::getpid()), false,
         false, false},
        {"a leftover that is a link", "", "Assets.xcassets", kGone, true, false, false},
        {"a set's leftover that is a link", "Assets.xcassets", "logo.imageset", kGone, true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_ / "data");
        fs::remove_all(dir_ / "out");
        const auto output = dir_ / "out";
        const auto folder = output / c.folder;
        const auto place = folder / c.original;
        const auto leftover = folder / ("." + c.original + ".replaced-" + c.pid + "-7");
        writeFile(output / "Assets.xcassets/Contents.json", "{}");
        writeFile(place / "Contents.json", "current");
        writeFile(place / "notes.txt", "mine");
        if (c.link) {
            writeFile(dir_ / "out/elsewhere/Contents.json", "elsewhere");
            fs::create_directory_symlink(dir_ / "out/elsewhere", leftover);
        } else {
            writeFile(leftover / "Contents.json", "stale");
        }
        std::optional<gwtest::ScopedEnv> blocked;
        if (c.noTrash) blocked.emplace("XDG_DATA_HOME", (dir_ / "blocked/data").string());

        const auto told = gw::recoverInterruptedWriting(output);

        const auto trashed = replacedIn(trash_, c.original);
        const auto beside = replacedIn(folder, c.original);
        if (!c.putBack) {
            EXPECT_EQ(textOf(place / "notes.txt"), "mine");
            EXPECT_EQ(textOf(leftover / "Contents.json"), c.link ? "elsewhere" : "stale");
            EXPECT_EQ(c.link, fs::is_symlink(leftover));
            EXPECT_TRUE(trashed.empty());
            EXPECT_TRUE(beside.empty());
            EXPECT_TRUE(told.empty());
            continue;
        }
        EXPECT_FALSE(fs::exists(leftover));
        EXPECT_EQ(textOf(place / "Contents.json"), "stale");
        const auto& kept = c.noTrash ? beside : trashed;
        EXPECT_EQ(kept.size(), 1u);
        if (kept.size() != 1) continue;
        EXPECT_EQ(namesIn(kept.front()), (std::set<std::string>{"Contents.json", "notes.txt"}));
        EXPECT_EQ(textOf(kept.front() / "notes.txt"), "mine");
        EXPECT_EQ(c.noTrash ? trashed.size() : beside.size(), 0u);
        // The user is told what was put back and where their folder went.
        ASSERT_EQ(told.size(), 1u);
        EXPECT_EQ(told[0].restoredFrom, leftover);
        EXPECT_EQ(told[0].original.fsPath(), place);
        EXPECT_EQ(told[0].keptAt, kept.front());
        EXPECT_EQ(told[0].inTrash, !c.noTrash);
    }
    ::waitpid(ended, nullptr, 0);
}

}  // namespace
