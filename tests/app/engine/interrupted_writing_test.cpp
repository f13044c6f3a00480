// What a later run makes of what a killed run left in flight in a catalog: folders set
// aside go back, everything else in flight goes to the Trash, and only items that carry a
// killed run's mark for themselves count: names that only look alike, items marked by a
// run that still runs or by another user, and catalogs the run does not write stay as they
// are. The same with marks kept in files, where a file system has no extended attributes.
#include "app/engine/interrupted_writing.hpp"

#include "app/shell/killed_run_support.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace {

namespace fs = std::filesystem;
namespace files = platform::foundation::files;
using gw::InFlightKind;
using gwtest::readFile;
using gwtest::writeFile;

using gwtest::endedRun;
using gwtest::leaveInFlight;
using gwtest::namesIn;

// The run of a process that is there (running, or ended and not reaped yet).
gw::RunIdentity runOf(pid_t process) {
    std::ifstream stat("/proc/" + std::to_string(process) + "/stat");
    std::string line;
    std::getline(stat, line);
    // "<pid> (<name>) <state> ... <start time, field 22> ..."
    std::istringstream fields(line.substr(line.rfind(')') + 1));
    std::string field;
    for (int number = 3; number <= 22 && fields >> field; ++number) {
    }
    auto run = gw::RunIdentity::current();
    run.process = static_cast<std::uint64_t>(process);
    run.started = std::stoull(field);
    return run;
}

// Where recovery may move what it finds: the home Trash in the test's own folder. Each
// case runs with extended attributes and with marks kept in files.
class InterruptedWriting : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { files::setExtendedAttributesRefusedForTesting(!GetParam()); }
    void TearDown() override { files::setExtendedAttributesRefusedForTesting(false); }
    // The items in the Trash, by name.
    std::set<std::string> trashed() const {
        return fs::exists(dir_ / "data/Trash/files") ? namesIn(dir_ / "data/Trash/files") : std::set<std::string>{};
    }
    gwtest::TempDir dir_;
    gwtest::ScopedEnv home_{"HOME", dir_.path().string()};
    gwtest::ScopedEnv data_{"XDG_DATA_HOME", (dir_ / "data").string()};
};

TEST(InFlightMarks, AMarkSaysWhoMadeWhatForWhichNameAndNothingElseReadsAsOne) {
    const gw::InFlightMark mark{endedRun(77), InFlightKind::replaced, {12, 345}, "App Icon & Top Shelf.brandassets"};
    const auto read = gw::InFlightMark::parse(mark.text());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->text(), mark.text());
    // What else tells the item after its numbers were given afresh comes back as it was given;
    // a mark of a later version that says more is still read.
    auto told = mark;
    told.born = platform::foundation::files::Moment{1796912801, 7};
    told.fileSystem = 0xfeedULL << 32;
    told.mount = "123@boot";
    const auto readTold = gw::InFlightMark::parse(told.text());
    ASSERT_TRUE(readTold);
    EXPECT_EQ(readTold->text(), told.text());
    EXPECT_EQ(readTold->born, told.born);
    EXPECT_EQ(readTold->fileSystem, told.fileSystem);
    EXPECT_EQ(readTold->mount, told.mount);
    auto later = told.text();
    later.insert(later.rfind('\n'), " colour=blue");
    EXPECT_TRUE(gw::InFlightMark::parse(later));
    for (const std::string fact : {" born=1.x", " born=12", " born=1.1000000000", " fs=-1", " mount=", " =1", " x"}) {
        auto wrong = mark.text();
        wrong.insert(wrong.rfind('\n'), fact);
        EXPECT_FALSE(gw::InFlightMark::parse(wrong)) << fact;
    }
    // The hidden name a run gives, and nothing else, reads as one.
    const auto named = gw::parseInFlightName(".App Icon.brandassets.replaced-77-3");
    ASSERT_TRUE(named);
    EXPECT_EQ(named->original, "App Icon.brandassets");
    EXPECT_EQ(named->kind, InFlightKind::replaced);
    EXPECT_EQ(named->process, 77u);
    for (const char* name : {".a.writing-1", ".a.writing-x-1", "a.writing-1-1", "..writing-1-1", ".a.moved-1-1",
                             ".a.writing-1-", ".a.replaced--1"}) {
        EXPECT_FALSE(gw::parseInFlightName(name)) << name;
    }
    for (const std::string& text : std::vector<std::string>{"", "glyphwright in-flight 1\n", mark.text().substr(1),
                                   "glyphwright in-flight 1\nrun b 1 2 3\nmoved 1 2\nx",
                                   "glyphwright in-flight 1\nrun b x 2 3\nwriting 1 2\nx",
                                   "glyphwright in-flight 1\nrun b 1 2 3\nwriting 1 2\n",
                                   "glyphwright in-flight 1\nrun b 1 2 3\nwriting 1 2\na/b"}) {
        EXPECT_FALSE(gw::InFlightMark::parse(text)) << text;
    }
    // Its name is a plain item name, or it is no mark: anything else leads out of its folder.
    for (const std::string& name : {std::string(".."), std::string("."), std::string("a\nb"), std::string("a\0b", 3)}) {
        auto named = mark;
        named.original = name;
        EXPECT_FALSE(gw::InFlightMark::parse(named.text())) << name;
        EXPECT_TRUE(gw::InFlightMark::looksLikeOne(named.text()));
    }

    // A fresh hidden name of each kind lies beside, within the room names leave for it.
    const gwtest::TempDir dir;
    std::set<fs::path> given;
    for (const auto kind : {InFlightKind::replaced, InFlightKind::writing, InFlightKind::replaced}) {
        const auto sibling = gw::inFlightSibling(dir / "pic.imageset", kind);
        EXPECT_EQ(sibling.parent_path(), dir.path());
        EXPECT_EQ(sibling.filename().string().front(), '.');
        EXPECT_LE(sibling.filename().string().size(), std::string("pic.imageset").size() + gw::kInFlightNameOverhead);
        EXPECT_TRUE(given.insert(sibling).second);
    }
}

TEST_P(InterruptedWriting, ALaterRunPutsBackWhatWasSetAsideAndTrashesWhatElseWasInFlight) {
    const auto output = dir_ / "out";
    const auto catalog = output / "Assets.xcassets";
    // Replaced by a killed run that had already written a new one.
    writeFile(catalog / "a.imageset/Contents.json", "new a");
    writeFile(catalog / ".a.imageset.replaced-4194305-0/Contents.json", "old a");
    leaveInFlight(catalog / ".a.imageset.replaced-4194305-0", InFlightKind::replaced, "a.imageset");
    // Set aside, nothing written yet; deeper down, in a group folder, too.
    writeFile(catalog / ".b.imageset.replaced-4194305-1/Contents.json", "old b");
    leaveInFlight(catalog / ".b.imageset.replaced-4194305-1", InFlightKind::replaced, "b.imageset");
    writeFile(catalog / "group/.c.imageset.replaced-4194305-2/Contents.json", "old c");
    leaveInFlight(catalog / "group/.c.imageset.replaced-4194305-2", InFlightKind::replaced, "c.imageset");
    // A new set half written, and a catalog's Contents.json being written.
    writeFile(catalog / "group/.d.imageset.writing-4194305-3/half.png", "half");
    leaveInFlight(catalog / "group/.d.imageset.writing-4194305-3", InFlightKind::writing, "d.imageset");
    writeFile(catalog / ".Contents.json.a1B2c3", "{");
    leaveInFlight(catalog / ".Contents.json.a1B2c3", InFlightKind::temporary, "Contents.json");
    // The user's own hidden files, whatever they look like, stay.
    writeFile(catalog / ".keep", "mine");
    writeFile(catalog / ".notes.txt.a1B2c3", "mine too");
    writeFile(catalog / ".Logo.png.backup", "mine as well");
    writeFile(catalog / ".Contents.json.orig01", "and mine");
    writeFile(catalog / ".Sketches.writing-2024-1/sketch.txt", "a sketch");
    writeFile(catalog / ".e.imageset.replaced-4194305-4/Contents.json", "a copy a sync tool made");
    // A mark copied with its folder is not the copy's.
    writeFile(catalog / ".f.imageset.writing-4194305-5/f.png", "f");
    leaveInFlight(catalog / ".f.imageset.writing-4194305-5", InFlightKind::writing, "f.imageset");
    fs::copy(catalog / ".f.imageset.writing-4194305-5", catalog / ".f.imageset.writing-4194305-6");
    fs::remove_all(catalog / ".f.imageset.writing-4194305-5");
    if (GetParam()) {
        // (with extended attributes, a copy that keeps them)
        ASSERT_EQ(std::system(("cp -a '" + (catalog / ".f.imageset.writing-4194305-6").string() + "' '" +
                               (catalog / ".f.imageset.writing-4194305-7").string() + "'")
                                  .c_str()),
                  0);
    }

    const auto told = gw::recoverInterruptedWriting(output);

    std::set<std::string> expected{".keep", ".notes.txt.a1B2c3", ".Logo.png.backup", ".Contents.json.orig01",
                                   ".Sketches.writing-2024-1", ".e.imageset.replaced-4194305-4",
                                   ".f.imageset.writing-4194305-6", "a.imageset", "b.imageset", "group"};
    if (GetParam()) expected.insert(".f.imageset.writing-4194305-7");
    // Where no attribute can be kept, a file carries no mark: it is left as it is.
    if (!GetParam()) expected.insert(".Contents.json.a1B2c3");
    EXPECT_EQ(namesIn(catalog), expected);
    EXPECT_EQ(readFile(catalog / "a.imageset/Contents.json"), "old a");
    EXPECT_EQ(readFile(catalog / "b.imageset/Contents.json"), "old b");
    EXPECT_EQ(namesIn(catalog / "a.imageset"), std::set<std::string>{"Contents.json"}) << "its mark went with it";
    EXPECT_EQ(namesIn(catalog / "group"), (std::set<std::string>{"c.imageset"}));
    EXPECT_EQ(readFile(catalog / "group/c.imageset/Contents.json"), "old c");
    // What else was in flight, and what made way, is in the Trash, each told.
    const std::size_t keptCount = GetParam() ? 3 : 2;
    EXPECT_EQ(trashed().size(), keptCount);
    ASSERT_EQ(told.size(), keptCount);
    for (const auto& item : told) {
        EXPECT_TRUE(item.inTrash) << item.description();
        EXPECT_TRUE(item.isFromAnInterruptedRun());
        EXPECT_TRUE(fs::exists(item.keptAt)) << item.description();
    }
    const auto madeWay = std::find_if(told.begin(), told.end(), [&](const auto& item) { return !item.restoredFrom.empty(); });
    ASSERT_NE(madeWay, told.end());
    EXPECT_EQ(madeWay->original.fsPath(), catalog / "a.imageset");
    EXPECT_EQ(readFile(madeWay->keptAt / "Contents.json"), "new a");
    const auto half = std::find_if(told.begin(), told.end(), [&](const auto& item) {
        return item.left && item.original.fsPath() == catalog / "group/d.imageset";
    });
    ASSERT_NE(half, told.end());
    EXPECT_EQ(readFile(half->keptAt / "half.png"), "half");
}

// Leftovers beside the catalog count only when they are the catalog's own; other catalogs
// of the output folder are not the run's to look into.
TEST_P(InterruptedWriting, OnlyTheCatalogTheRunWritesIsLookedInto) {
    const auto output = dir_ / "out";
    writeFile(output / "Assets.xcassets/new.imageset/Contents.json", "new");
    writeFile(output / ".Assets.xcassets.replaced-4194305-0/old.imageset/Contents.json", "old");
    leaveInFlight(output / ".Assets.xcassets.replaced-4194305-0", InFlightKind::replaced, "Assets.xcassets");
    writeFile(output / ".other.replaced-4194305-2/file", "other");
    leaveInFlight(output / ".other.replaced-4194305-2", InFlightKind::replaced, "other");
    writeFile(output / "Other.xcassets/.x.imageset.replaced-4194305-3/Contents.json", "x");
    leaveInFlight(output / "Other.xcassets/.x.imageset.replaced-4194305-3", InFlightKind::replaced, "x.imageset");
    gw::recoverInterruptedWriting(output);
    EXPECT_EQ(namesIn(output), (std::set<std::string>{".other.replaced-4194305-2", "Assets.xcassets", "Other.xcassets"}));
    EXPECT_EQ(namesIn(output / "Assets.xcassets"), std::set<std::string>{"old.imageset"});
    EXPECT_EQ(namesIn(output / "Other.xcassets"), std::set<std::string>{".x.imageset.replaced-4194305-3"});

    // The output chosen is the catalog itself, or a folder in it.
    writeFile(output / "Assets.xcassets/.old.imageset.replaced-4194305-3/Contents.json", "older");
    leaveInFlight(output / "Assets.xcassets/.old.imageset.replaced-4194305-3", InFlightKind::replaced, "old.imageset");
    fs::create_directories(output / "Assets.xcassets/group");
    gw::recoverInterruptedWriting(output / "Assets.xcassets/group");
    EXPECT_EQ(readFile(output / "Assets.xcassets/old.imageset/Contents.json"), "older");
    EXPECT_EQ(namesIn(output / "Assets.xcassets"), (std::set<std::string>{"group", "old.imageset"}));
}

// A leftover is left alone while its process may still be at work on it (another run, or
// this one), beside the catalog as inside it; a run that ended but is not reaped yet (a
// zombie) works on nothing. Only a real folder of this user goes back: a link would lead
// later runs wherever it points, and another user's folder would lock this one out.
TEST_P(InterruptedWriting, OnlyAFolderOfThisUsersRunThatEndedIsPutBack) {
    const pid_t ended = ::fork();
    ASSERT_GE(ended, 0);
    if (ended == 0) ::_exit(0);
    siginfo_t exited{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(ended), &exited, WEXITED | WNOWAIT), 0);
    const auto zombie = runOf(ended);
    const auto parent = runOf(::getppid());
    auto otherUser = endedRun(), reused = gw::RunIdentity::current(), earlierBoot = reused;
    otherUser.user += 1;
    reused.started += 1;
    earlierBoot.boot = "another-boot";

    using Type = fs::file_type;
    struct Case {
        std::string name;
        gw::RunIdentity run;
        Type type;
        bool besideTheCatalog = false;
        bool putBack = false;
    };
    const std::vector<Case> cases{
        {"another run at work", parent, Type::directory},
        {"this run", gw::RunIdentity::current(), Type::directory},
        {"another run at work, beside the catalog", parent, Type::directory, true},
        {"this run, beside the catalog", gw::RunIdentity::current(), Type::directory, true},
        {"a link", endedRun(), Type::symlink},
        {"a file", endedRun(), Type::regular},
        {"another user's run", otherUser, Type::directory},
        {"a run that ended, not yet reaped", zombie, Type::directory, false, true},
        {"a run that ended, beside the catalog", endedRun(), Type::directory, true, true},
        {"a run whose process number was given again", reused, Type::directory, false, true},
        {"a run of an earlier boot", earlierBoot, Type::directory, false, true},
    };
    writeFile(dir_ / "stale/Contents.json", "stale");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto catalog = dir_ / "out/Assets.xcassets";
        const auto place = c.besideTheCatalog ? catalog : catalog / "logo.imageset";
        const auto leftover = place.parent_path() / ("." + place.filename().string() + ".replaced-4194305-7");
        fs::remove_all(dir_ / "out");
        writeFile(catalog / "logo.imageset/notes.txt", "mine");
        if (c.type == Type::symlink) fs::create_directory_symlink(dir_ / "stale", leftover);
        if (c.type == Type::regular) writeFile(leftover, "stale");
        if (c.type == Type::directory) fs::copy(dir_ / "stale", leftover);
        if (c.type != Type::symlink) leaveInFlight(leftover, InFlightKind::replaced, place.filename().string(), c.run);

        const auto told = gw::recoverInterruptedWriting(dir_ / "out");

        if (!c.putBack) {
            EXPECT_EQ(fs::symlink_status(leftover).type(), c.type);
            EXPECT_EQ(namesIn(catalog / "logo.imageset"), std::set<std::string>{"notes.txt"});
            EXPECT_TRUE(told.empty());
            continue;
        }
        EXPECT_FALSE(fs::exists(leftover));
        EXPECT_EQ(readFile(place / "Contents.json"), "stale");
        ASSERT_EQ(told.size(), 1u);
        EXPECT_EQ(told[0].restoredFrom, leftover);
        const auto mine = c.besideTheCatalog ? told[0].keptAt / "logo.imageset/notes.txt" : told[0].keptAt / "notes.txt";
        EXPECT_EQ(readFile(mine), "mine");
    }
    ::waitpid(ended, nullptr, 0);
}

// A mark that names the item's own present name (a hidden set marked just before it was set
// aside, or just after its new content took the name) only comes off: the item is no
// leftover, never its own counterpart. A mark whose name leads out of its folder (".." or
// ".") is no mark: its item stays as it is, and so does everything around it.
TEST_P(InterruptedWriting, AMarkForItsOwnNameOrLeadingOutMovesNothing) {
    const auto output = dir_ / "out";
    const auto catalog = output / "Assets.xcassets";
    writeFile(output / "notes.txt", "beside the catalog");
    writeFile(catalog / "notes.txt", "in the catalog");
    writeFile(catalog / ".logo.imageset/notes.txt", "in the hidden set");
    writeFile(catalog / ".logo.imageset/dark/.Contents.json.a1B2c3", "half");
    leaveInFlight(catalog / ".logo.imageset", InFlightKind::writing, ".logo.imageset");
    writeFile(catalog / ".shade.imageset/notes.txt", "in another hidden set");
    leaveInFlight(catalog / ".shade.imageset", InFlightKind::replaced, ".shade.imageset");
    for (const std::string name : {"..", "."}) {
        const auto leftover = catalog / (".AppIcon.appiconset.replaced-4194305-" + std::to_string(name.size()));
        writeFile(leftover / "Contents.json", "{}");
        leaveInFlight(leftover, InFlightKind::replaced, name);
    }
    // Leftovers of the hidden set's own are still found in it.
    leaveInFlight(catalog / ".logo.imageset/dark/.Contents.json.a1B2c3", InFlightKind::temporary, "Contents.json");

    const auto told = gw::recoverInterruptedWriting(output);

    EXPECT_EQ(readFile(output / "notes.txt"), "beside the catalog");
    EXPECT_EQ(readFile(catalog / "notes.txt"), "in the catalog");
    EXPECT_EQ(readFile(catalog / ".logo.imageset/notes.txt"), "in the hidden set");
    EXPECT_EQ(readFile(catalog / ".shade.imageset/notes.txt"), "in another hidden set");
    const auto boundary = gw::WritingBoundary::everything();
    EXPECT_FALSE(boundary->markOn(catalog / ".logo.imageset"));
    EXPECT_FALSE(boundary->markOn(catalog / ".shade.imageset"));
    EXPECT_TRUE(fs::exists(catalog / ".AppIcon.appiconset.replaced-4194305-1/Contents.json"));
    EXPECT_TRUE(fs::exists(catalog / ".AppIcon.appiconset.replaced-4194305-2/Contents.json"));
    // Where a file can carry a mark, the hidden set's half-written file went to the Trash, told.
    EXPECT_EQ(told.size(), GetParam() ? 1u : 0u);
    EXPECT_EQ(trashed().size(), told.size());
    EXPECT_EQ(fs::exists(catalog / ".logo.imageset/dark/.Contents.json.a1B2c3"), !GetParam());
}

// A file system that numbers folders afresh at each mount (exFAT) gives a killed run's
// leftovers new numbers at a remount, so their marks name numbers they no longer have: there
// a leftover is known by the hidden name the run gave it for its mark, and goes back. A
// folder of any other name, and anywhere else a folder whose numbers are not its mark's (a
// copy), stays as it is; under the name the run gave it, the user is told of it.
TEST_P(InterruptedWriting, AfterARemountThatRenumberedThemLeftoversAreKnownByTheirNames) {
    const auto output = dir_ / "out";
    const auto catalog = output / "Assets.xcassets";
    const auto leave = [](const fs::path& item, const std::string& original, ino_t before) {
        files::UniqueFd fd(::open(item.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(fd);
        const gw::InFlightMark mark{endedRun(), InFlightKind::replaced, {1, before}, original};
        files::setMark(fd.get(), true, gw::kInFlightMarkName, mark.text(), nullptr);
    };
    for (const bool lasting : {true, false}) {
        SCOPED_TRACE(lasting ? "numbers that last" : "numbers given afresh");
        fs::remove_all(output);
        writeFile(output / ".Assets.xcassets.replaced-4194305-0/Contents.json", "the old catalog");
        leave(output / ".Assets.xcassets.replaced-4194305-0", "Assets.xcassets", 2);
        writeFile(output / ".Assets.xcassets.replaced-4194305-0/.a.imageset.replaced-4194305-1/Contents.json", "old a");
        leave(output / ".Assets.xcassets.replaced-4194305-0/.a.imageset.replaced-4194305-1", "a.imageset", 3);
        writeFile(output / ".Assets.xcassets.replaced-4194305-0/.Sketches/notes.txt", "the user's");
        leave(output / ".Assets.xcassets.replaced-4194305-0/.Sketches", "b.imageset", 4);

        files::setIdentitiesLastingRefusedForTesting(!lasting);
        const auto told = gw::recoverInterruptedWriting(output);
        files::setIdentitiesLastingRefusedForTesting(false);

        if (lasting) {
            // Left as it is, but not unsaid: it seems to be what the run set aside.
            EXPECT_EQ(namesIn(output), std::set<std::string>{".Assets.xcassets.replaced-4194305-0"});
            ASSERT_EQ(told.size(), 1u);
            EXPECT_TRUE(told[0].unrecognised);
            EXPECT_EQ(told[0].original.fsPath(), catalog);
            EXPECT_EQ(told[0].keptAt, output / ".Assets.xcassets.replaced-4194305-0");
            continue;
        }
        EXPECT_TRUE(told.empty());
        EXPECT_EQ(namesIn(output), std::set<std::string>{"Assets.xcassets"});
        EXPECT_EQ(readFile(catalog / "Contents.json"), "the old catalog");
        EXPECT_EQ(readFile(catalog / "a.imageset/Contents.json"), "old a");
        EXPECT_EQ(readFile(catalog / ".Sketches/notes.txt"), "the user's");
    }
}

// Where a run cannot announce the staging folder it is about to make (a file system without
// extended attributes), one it made but had not marked when it was killed is known by the
// name it gave it, for a process that no longer runs, while it holds nothing (or only the
// mark file it was making, still empty): it goes, unsaid, since nothing of anyone's is in it.
// One with anything in it, one of a process that may still run, and one of another name stay.
TEST_P(InterruptedWriting, AnEmptyStagingFolderOfAnEndedRunThatCouldNotBeMarkedGoes) {
    const auto output = dir_ / "out";
    const auto catalog = output / "Assets.xcassets";
    const std::string running = std::to_string(::getpid());
    fs::create_directories(catalog / ".a.imageset.writing-4194305-1");
    writeFile(catalog / ".b.imageset.writing-4194305-2/.glyphwright.in-flight", "");
    writeFile(catalog / ".c.imageset.writing-4194305-3/notes.txt", "the user's");
    writeFile(catalog / ".d.imageset.writing-4194305-4/.glyphwright.in-flight", "the user's, of the mark's name");
    fs::create_directories(catalog / (".e.imageset.writing-" + running + "-5"));
    fs::create_directories(catalog / ".f.imageset.writing-soon");
    fs::create_directories(output / ".Assets.xcassets.writing-4194305-6");
    fs::create_directories(output / ".Other.xcassets.writing-4194305-7");

    const auto told = gw::recoverInterruptedWriting(output);

    EXPECT_TRUE(told.empty());
    EXPECT_EQ(namesIn(catalog), (std::set<std::string>{".c.imageset.writing-4194305-3", ".d.imageset.writing-4194305-4",
                                                       ".e.imageset.writing-" + running + "-5", ".f.imageset.writing-soon"}));
    EXPECT_EQ(readFile(catalog / ".c.imageset.writing-4194305-3/notes.txt"), "the user's");
    // Only the catalog the run writes is looked into.
    EXPECT_EQ(namesIn(output), (std::set<std::string>{"Assets.xcassets", ".Other.xcassets.writing-4194305-7"}));
}

// A staging folder a killed run announced but had not marked yet counts only while it is
// empty: once anything is in it, it cannot be told from a folder of the user's, and stays.
TEST(InterruptedWritingAnnounced, AnAnnouncedFolderWithContentIsNoLeftover) {
    const gwtest::TempDir dir;
    const gwtest::ScopedEnv home{"HOME", dir.path().string()};
    const gwtest::ScopedEnv data{"XDG_DATA_HOME", (dir / "data").string()};
    const auto catalog = dir / "out/Assets.xcassets";
    fs::create_directories(catalog / ".a.imageset.writing-4194305-1");
    writeFile(catalog / ".b.imageset.writing-4194305-2/notes.txt", "the user's");
    files::UniqueFd folder(::open(catalog.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(folder);
    for (const std::string set : {"a", "b"}) {
        const auto staging = "." + set + ".imageset.writing-4194305-" + (set == "a" ? "1" : "2");
        const gw::InFlightMark mark{endedRun(), InFlightKind::writing, {}, set + ".imageset"};
        if (!files::announce(folder.get(), gw::kInFlightMarkName, "4194305-" + set, staging + "\n" + mark.text())) {
            GTEST_SKIP() << "the test folder's file system keeps no extended attributes";
        }
    }

    const auto told = gw::recoverInterruptedWriting(dir / "out");

    EXPECT_EQ(namesIn(catalog), std::set<std::string>{".b.imageset.writing-4194305-2"});
    EXPECT_EQ(readFile(catalog / ".b.imageset.writing-4194305-2/notes.txt"), "the user's");
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].original.fsPath(), catalog / "a.imageset");
    EXPECT_TRUE(files::announcements(folder.get(), gw::kInFlightMarkName).empty());
}

INSTANTIATE_TEST_SUITE_P(Marks, InterruptedWriting, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "InAttributes" : "InFiles"; });

}  // namespace
