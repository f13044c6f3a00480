// The root-folder grant that switches the command line on: stored, resolved by every new
// controller, announced to observers, and refused or ignored when it cannot be used; the
// folder a run works in is the one whose grant was checked.
#include "app/shell/command_line_controller.hpp"
#include "app/shell/command_line_enabled_controller.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "platform/log/system_log.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
namespace pl = platform::log;
using gw::CommandLineEnabledController;

class CommandLineEnablement : public ::testing::Test {
protected:
    void SetUp() override {
        pf::UserDefaults::resetStandard();
        fs::create_directories(root_);
    }
    void TearDown() override { pf::UserDefaults::resetStandard(); }

    static bool hasStoredGrant() {
        return pf::UserDefaults::standard().dataForKey(CommandLineEnabledController::rootBookmarkKey).has_value();
    }

    gwtest::ScopedXdgHome xdg_;
    gwtest::TempDir dir_;
    fs::path root_ = dir_ / "root";
    std::vector<std::string> logged_;
    pl::ScopedLogSink sink_{[this](const pl::LogRecord& record) { logged_.push_back(record.message); }};
};

TEST_F(CommandLineEnablement, AGrantIsAnnouncedStoredAndFoundByEveryLaterController) {
    {
        CommandLineEnabledController controller;
        EXPECT_FALSE(controller.isCommandLineInterfaceEnabled());
        std::vector<std::pair<bool, bool>> notices;  // (prior, enabled at the time)
        controller.addObserver(
            std::string(CommandLineEnabledController::isCommandLineInterfaceEnabledKey),
            [&](const gw::PropertyChange& change) {
                notices.emplace_back(change.isPrior, controller.isCommandLineInterfaceEnabled());
            },
            true);
        ASSERT_TRUE(controller.saveRootBookmark(pf::URL::fileURL(root_, true)));
        EXPECT_TRUE(controller.isCommandLineInterfaceEnabled());
        EXPECT_EQ(notices, (std::vector<std::pair<bool, bool>>{{true, false}, {false, true}}));
    }
    EXPECT_TRUE(hasStoredGrant());
    EXPECT_TRUE(logged_.empty());

    // Another process: a fresh read of the settings.
    pf::UserDefaults::resetStandard();
    CommandLineEnabledController later;
    ASSERT_TRUE(later.isCommandLineInterfaceEnabled());
    EXPECT_EQ(later.rootBookmarkURL()->fsPath(), root_);

    later.disableCommandLineInterface();
    EXPECT_FALSE(later.isCommandLineInterfaceEnabled());
    EXPECT_FALSE(hasStoredGrant());
    pf::UserDefaults::resetStandard();
    EXPECT_FALSE(CommandLineEnabledController().isCommandLineInterfaceEnabled());
    EXPECT_TRUE(logged_.empty());
}

TEST_F(CommandLineEnablement, AGrantThatCanNoLongerBeUsedLeavesTheCommandLineOffAndIsKept) {
    ASSERT_TRUE(CommandLineEnabledController().saveRootBookmark(pf::URL::fileURL(root_, true)));

    // The same path now names another folder (made while the first still exists, so
    // that it cannot get the same inode): stale.
    fs::create_directories(dir_ / "other");
    fs::remove(root_);
    fs::rename(dir_ / "other", root_);
    EXPECT_FALSE(CommandLineEnabledController().isCommandLineInterfaceEnabled());
    EXPECT_EQ(logged_, (std::vector<std::string>{"No bookmark data. Is stale: true"}));
    EXPECT_TRUE(hasStoredGrant());

    // Gone altogether: the resolution fails.
    logged_.clear();
    fs::remove(root_);
    EXPECT_FALSE(CommandLineEnabledController().isCommandLineInterfaceEnabled());
    ASSERT_EQ(logged_.size(), 1u);
    EXPECT_EQ(logged_[0].rfind("Error accessing saved bookmark data: ", 0), 0u) << logged_[0];
    EXPECT_TRUE(hasStoredGrant());
}

// The granted folder is moved away and a link to another folder put at its path in the
// moment after a command-line run checked the grant: the run reads and writes in the
// folder that was granted, wherever it now is, and nothing in the other.
TEST_F(CommandLineEnablement, ARootSwappedForALinkAfterItsCheckIsNeverLeftFor) {
    GTEST_FLAG_SET(death_test_style, "fast");  // forked where it stands, with the hook set
    const fs::path outside = dir_ / "outside";
    const fs::path moved = dir_ / "granted, moved";
    const std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"64\" height=\"64\"><rect "
                            "width=\"64\" height=\"64\" fill=\"#2080d0\"/></svg>\n";
    gwtest::writeFile(root_ / "icon.svg", svg);
    gwtest::writeFile(outside / "icon.svg", svg);
    ASSERT_TRUE(CommandLineEnabledController().saveRootBookmark(pf::URL::fileURL(root_, true)));
    pf::UserDefaults::resetStandard();

    CommandLineEnabledController::setRootCheckedHookForTesting([&](const fs::path& root) {
        fs::rename(root, moved);
        fs::create_directory_symlink(outside, root);
    });
    EXPECT_EXIT(gw::CommandLineController::make({"glyphwright", "-inputPath", (root_ / "icon.svg").string(),
                                                 "-outputPath", (root_ / "out").string(), "-assetType", "asset"})
                    ->run(),
                ::testing::ExitedWithCode(0), "Conversion Complete");
    CommandLineEnabledController::setRootCheckedHookForTesting(nullptr);

    EXPECT_TRUE(fs::is_symlink(root_));
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(outside), {}), 1);
    EXPECT_EQ(gwtest::readFile(outside / "icon.svg"), svg);
    EXPECT_TRUE(fs::is_regular_file(moved / "out/Assets.xcassets/icon.imageset/Contents.json"));
}

TEST_F(CommandLineEnablement, AFolderThatCannotBeBookmarkedIsPresentedAndChangesNothing) {
    CommandLineEnabledController controller;
    std::vector<std::string> presented;
    controller.setErrorPresenter([&](const std::exception& error) { presented.push_back(error.what()); });
    EXPECT_FALSE(controller.saveRootBookmark(pf::URL::fileURL(dir_ / "missing", true)));
    EXPECT_EQ(presented.size(), 1u);
    ASSERT_EQ(logged_.size(), 1u);
    EXPECT_EQ(logged_[0].rfind("Error saving bookmark data: ", 0), 0u) << logged_[0];
    EXPECT_FALSE(controller.isCommandLineInterfaceEnabled());
    EXPECT_FALSE(hasStoredGrant());
}

}  // namespace
