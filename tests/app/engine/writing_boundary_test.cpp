// Each step a run writes with resolves its folder beneath the granted root as it acts:
// a link out swapped in for that folder as the step begins, after every check (the moment
// set by the boundary's step hook, not left to chance), is refused, and nothing is made,
// written, moved or removed outside. With the kernel's resolution and with the walk of one
// part at a time.
#include "app/engine/writing_boundary.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>

#include <chrono>
#include <filesystem>
#include <functional>

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
            if (path.parent_path() != catalog || swaps++ > 0) return;
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
