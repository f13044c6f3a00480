// Each step a run writes with resolves its folder beneath the granted root as it acts:
// a link out swapped in for that folder as the step begins, after every check (the moment
// set by the boundary's step hook, not left to chance), is refused, and nothing is made,
// written, moved or removed outside. With the kernel's resolution and with the walk of one
// part at a time.
#include "app/engine/writing_boundary.hpp"
#include "platform/foundation/date.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <stdio.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>

namespace {

namespace fs = std::filesystem;
using platform::foundation::files::RootHandle;

class WritingBoundaryRace : public ::testing::TestWithParam<bool> {
protected:
    gwtest::TempDir dir_;
    void SetUp() override { RootHandle::setKernelResolutionForTesting(GetParam()); }
    // The move to the Trash has a Trash of the test's own.
    gwtest::ScopedEnv home_{"HOME", dir_.path().string()};
    gwtest::ScopedEnv data_{"XDG_DATA_HOME", (dir_ / "data").string()};
    void TearDown() override {
        gw::WritingBoundary::setStepHookForTesting(nullptr);
        RootHandle::setKernelResolutionForTesting(true);
    }
};

TEST_P(WritingBoundaryRace, ALinkSwappedInAsAStepBeginsLeadsNothingOutside) {
    using Step = std::function<void(const gw::WritingBoundary&, const fs::path& catalog)>;
    const std::vector<std::pair<std::string, Step>> cases{
        {"a file written", [](const auto& b, const auto& catalog) { b.writeFile(catalog / "Contents.json", "{}"); }},
        {"a folder made", [](const auto& b, const auto& catalog) { b.createFolders(catalog / "Pic.imageset"); }},
        {"a staged folder moved to its name",
         [](const auto& b, const auto& catalog) { b.renameIfFree(catalog.parent_path() / "staged", catalog / "Pic.imageset"); }},
        {"a staged folder swapped in",
         [](const auto& b, const auto& catalog) {
             b.exchangeOrMove(catalog.parent_path() / "staged", catalog / "Old.imageset", catalog / ".aside");
         }},
        {"a folder removed", [](const auto& b, const auto& catalog) { b.dispose(catalog / "Old.imageset"); }},
        {"a folder removed as far as it was made",
         [](const auto& b, const auto& catalog) { b.removeIfMade(catalog / "Old.imageset"); }},
        {"a folder copied to be staged",
         [](const auto& b, const auto& catalog) { b.stage(catalog / "Old.imageset", catalog / ".Old.imageset.staged"); }},
        {"a folder set aside",
         [](const auto& b, const auto& catalog) { b.setAside(catalog / "Old.imageset", catalog / ".Old.imageset.aside"); }},
        {"a folder moved to the Trash", [](const auto& b, const auto& catalog) { b.moveToTrash(catalog / "Old.imageset"); }},
    };
    for (const auto& [name, step] : cases) {
        SCOPED_TRACE(name);
        fs::remove_all(dir_ / "root");
        fs::remove_all(dir_ / "outside");
        fs::remove_all(dir_ / "data");
        gwtest::writeFile(dir_ / "outside/Old.imageset/old.png", "theirs");
        // Anything made there and removed again still leaves the folder changed.
        const auto untouched = fs::file_time_type::clock::now() - std::chrono::hours(24);
        fs::last_write_time(dir_ / "outside", untouched);
        fs::last_write_time(dir_ / "outside/Old.imageset", untouched);
        const fs::path catalog = dir_ / "root/o/Assets.xcassets";
        gwtest::writeFile(catalog / "Old.imageset/old.png", "mine");
        fs::create_directories(dir_ / "root/o/staged");
        const gw::WritingBoundary boundary(dir_ / "root");
        int swaps = 0;
        gw::WritingBoundary::setStepHookForTesting([&](const fs::path& path) {
            if (path.parent_path() != catalog || swaps > 0) return;
            ++swaps;
            const fs::path link = catalog.parent_path() / ".link-out";
            fs::create_directory_symlink(dir_ / "outside", link);
            ASSERT_EQ(::renameat2(AT_FDCWD, catalog.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE), 0);
        });
        EXPECT_THROW(step(boundary, catalog), gw::OutsideWritingBoundaryError);
        gw::WritingBoundary::setStepHookForTesting(nullptr);

        EXPECT_EQ(swaps, 1);
        EXPECT_EQ(gwtest::readFile(dir_ / "outside/Old.imageset/old.png"), "theirs");
        EXPECT_EQ(fs::last_write_time(dir_ / "outside"), untouched) << "something was made or removed outside";
        EXPECT_EQ(fs::last_write_time(dir_ / "outside/Old.imageset"), untouched) << "something was made or removed outside";
        EXPECT_FALSE(fs::exists(dir_ / "data/Trash/files/Old.imageset")) << "what is outside went to the Trash";
    }
}

INSTANTIATE_TEST_SUITE_P(Resolution, WritingBoundaryRace, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Kernel" : "Walk"; });

}  // namespace

namespace {

// The gate through which anything leaves its place: what the run made goes; an old folder
// that a staged copy replaced goes as far as the copy holds it (the same files, or copies
// of them as they are, or files the run wrote in their place); anything else is kept in the
// Trash under its place's "replaced" name, and said. With links, and where files are copied.
class WritingGate : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { platform::foundation::files::setLinksRefusedForTesting(!GetParam()); }
    void TearDown() override { platform::foundation::files::setLinksRefusedForTesting(false); }
    gwtest::TempDir dir_;
    gwtest::ScopedEnv home_{"HOME", dir_.path().string()};
    gwtest::ScopedEnv data_{"XDG_DATA_HOME", (dir_ / "data").string()};
};

TEST_P(WritingGate, OnlyWhatTheRunMadeIsUnlinkedAndTheRestIsKeptAndSaid) {
    const auto catalog = dir_ / "root/Assets.xcassets";
    const auto set = catalog / "Logo.imageset";
    gwtest::writeFile(set / "Contents.json", "old list");
    gwtest::writeFile(set / "Logo.png", "old picture");
    gwtest::writeFile(set / "dark/Logo.png", "the user's dark variant");
    const auto run = gw::WritingBoundary(dir_ / "root").forRun();

    // A folder the run made, with what it wrote: gone, nothing kept.
    run->createFolders(catalog / "New.imageset");
    run->writeFile(catalog / "New.imageset/Contents.json", "{}");
    EXPECT_TRUE(run->dispose(catalog / "New.imageset").empty());
    EXPECT_FALSE(fs::exists(catalog / "New.imageset"));

    // The set staged, rewritten and swapped in; the user adds a note to the old one meanwhile,
    // and saves their dark variant anew, the same size in the same second (where files are
    // copied, the copy no longer holds what the user saved).
    const auto staging = catalog / ".Logo.imageset.staging";
    EXPECT_TRUE(run->stage(set, staging).empty());
    run->writeFile(staging / "Contents.json", "new list");
    run->writeFile(staging / "Logo.png", "new picture");
    gwtest::writeFile(set / "notes.txt", "written while the run ran");
    {
        const auto dark = set / "dark/Logo.png";
        struct stat before {};
        ASSERT_EQ(::stat(dark.c_str(), &before), 0);
        const int fd = ::open(dark.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "DARK", 4, 11), 4);
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::futimens(fd, times), 0);
        ::close(fd);
    }
    ASSERT_TRUE(run->exchangeOrMove(staging, set, catalog / ".aside"));
    run->unmark(set);
    const auto kept = run->dispose(staging, set, set);
    EXPECT_FALSE(fs::exists(staging));
    EXPECT_EQ(gwtest::readFile(set / "Contents.json"), "new list");
    EXPECT_EQ(gwtest::readFile(set / "dark/Logo.png"), GetParam() ? "the user's DARK variant" : "the user's dark variant");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_TRUE(kept[0].inTrash);
    EXPECT_EQ(kept[0].original.fsPath(), set);
    EXPECT_EQ(kept[0].keptAt.filename().string().rfind("Logo (replaced ", 0), 0u) << kept[0].keptAt;
    std::set<std::string> inTrash;
    for (const auto& entry : fs::recursive_directory_iterator(kept[0].keptAt)) {
        if (entry.is_regular_file()) inTrash.insert(entry.path().lexically_relative(kept[0].keptAt).string());
    }
    const std::set<std::string> expected{"notes.txt"}, withTheSave{"dark/Logo.png", "notes.txt"};
    EXPECT_EQ(inTrash, GetParam() ? expected : withTheSave);
    if (!GetParam()) {
        EXPECT_EQ(gwtest::readFile(kept[0].keptAt / "dark/Logo.png"), "the user's DARK variant");
    }
    EXPECT_NE(kept[0].description().find(kept[0].keptAt.string()), std::string::npos);

    // Only as far as the run made it: the rest stays where it is, and nothing is kept.
    gwtest::writeFile(catalog / "Other.imageset/Contents.json", "the user's");
    EXPECT_FALSE(run->removeIfMade(catalog / "Other.imageset"));
    EXPECT_EQ(gwtest::readFile(catalog / "Other.imageset/Contents.json"), "the user's");
    // A boundary of another run has made nothing of this one's.
    EXPECT_FALSE(gw::WritingBoundary(dir_ / "root").forRun()->removeIfMade(set));
    EXPECT_TRUE(fs::exists(set / "Contents.json"));
}

// What took an item's place is never the item itself: the gate then touches nothing. And an
// old folder goes only where the folder that took its place is one the run made: an empty
// folder of the user's whose counterpart is the user's own stays, and is kept.
TEST_P(WritingGate, AnOldFolderGoesOnlyWhereTheRunMadeWhatTookItsPlace) {
    const auto catalog = dir_ / "root/Assets.xcassets";
    gwtest::writeFile(catalog / "Logo.imageset/notes.txt", "the user's");
    const auto run = gw::WritingBoundary(dir_ / "root").forRun();
    EXPECT_TRUE(run->dispose(catalog / "Logo.imageset", catalog / "Logo.imageset").empty());
    EXPECT_TRUE(run->dispose(catalog / "Logo.imageset", catalog / "Logo.imageset/../Logo.imageset").empty());
    ASSERT_TRUE(fs::exists(catalog / "Logo.imageset/notes.txt")) << "the user's file left its place";
    EXPECT_FALSE(fs::exists(dir_ / "data/Trash/files"));

    fs::create_directories(catalog / "Old.imageset/dark");
    fs::create_directories(catalog / "Theirs.imageset/dark");
    const auto kept = run->dispose(catalog / "Old.imageset", catalog / "Theirs.imageset");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_TRUE(fs::is_directory(kept[0].keptAt / "dark")) << kept[0].keptAt;
    EXPECT_TRUE(fs::is_directory(catalog / "Theirs.imageset/dark"));
}

// The name a kept folder takes is free in the Trash too: the Trash's own numbering (before
// the extension) would cut into the time it was replaced at.
TEST_P(WritingGate, AKeptFoldersNameIsOneTheTrashDoesNotHoldYet) {
    const auto catalog = dir_ / "root/Assets.xcassets";
    gwtest::writeFile(catalog / "Logo.imageset/notes.txt", "the user's");
    // The names of the moments the test may take, in the Trash already.
    const auto now = std::time(nullptr);
    for (std::time_t moment = now - 1; moment <= now + 30; ++moment) {
        const auto stamp = platform::foundation::Date::fromTimeIntervalSince1970(static_cast<double>(moment)).localFileNameStamp();
        fs::create_directories(dir_ / "data/Trash/files" / ("Logo (replaced " + stamp + ").imageset"));
    }
    const auto run = gw::WritingBoundary(dir_ / "root").forRun();
    const auto kept = run->dispose(catalog / "Logo.imageset");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_TRUE(kept[0].inTrash) << kept[0].trashFailure;
    EXPECT_TRUE(std::regex_match(kept[0].keptAt.filename().string(), std::regex(R"(Logo \(replaced [^)]+ 2\)\.imageset)")))
        << kept[0].keptAt;
}

INSTANTIATE_TEST_SUITE_P(Files, WritingGate, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Linked" : "Copied"; });

}  // namespace
