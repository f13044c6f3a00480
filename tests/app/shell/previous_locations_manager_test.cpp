// Recent output folders with real folders, real bookmarks and the settings file.
#include "app/shell/previous_locations_manager.hpp"
#include "platform/foundation/bookmark.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "platform/log/system_log.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace pa = platform::appkit;
namespace pf = platform::foundation;
namespace pl = platform::log;
using gw::PreviousLocationsManager;

struct RecordingDelegate : gw::PreviousLocationsManagerDelegate {
    void previousLocationsManagerDidChange(PreviousLocationsManager& manager, const pf::URL& url) override {
        EXPECT_EQ(manager.outputDirectory(), url);
        told.push_back(url);
    }
    std::vector<pf::URL> told;
};

class RecentFolders : public ::testing::Test {
protected:
    void SetUp() override { pf::UserDefaults::resetStandard(); }
    void TearDown() override { pf::UserDefaults::resetStandard(); }

    pf::URL folder(const std::string& name) const {
        fs::create_directories(dir_ / name);
        return pf::URL::fileURL(dir_ / name, true);
    }
    // A new process's view: settings read afresh.
    static pf::UserDefaults& freshDefaults() {
        pf::UserDefaults::resetStandard();
        return pf::UserDefaults::standard();
    }
    static std::vector<std::string> titles(const pa::MenuItemPtr& item) {
        std::vector<std::string> out;
        for (const auto& entry : item->submenu()->items()) out.push_back(entry->isSeparatorItem() ? "---" : entry->title());
        return out;
    }
    static std::string settingsBytes() { return gwtest::readFile(pf::UserDefaults::standard().storePath()); }

    gwtest::ScopedXdgHome xdg_;
    gwtest::TempDir dir_;
    std::vector<std::string> logged_;
    pl::ScopedLogSink sink_{[this](const pl::LogRecord& record) { logged_.push_back(record.message); }};
};

TEST_F(RecentFolders, ChoosingFoldersKeepsTheNewestTwentyAndTheSubmenuNewestFirst) {
    std::vector<pf::URL> chosen;
    for (int i = 0; i < 21; ++i) chosen.push_back(folder("out" + std::to_string(i)));
    {
        PreviousLocationsManager manager;
        EXPECT_FALSE(manager.outputDirectory());
        auto delegate = std::make_shared<RecordingDelegate>();
        manager.delegate = delegate;
        auto item = pa::MenuItem::make("Recent");
        manager.setRecentLocationsMenuItem(item);
        EXPECT_EQ(titles(item), (std::vector<std::string>{"---", "Clear Menu"}));

        for (const auto& url : chosen) manager.setOutputDirectory(url);
        EXPECT_EQ(delegate->told, chosen);
        ASSERT_EQ(manager.recentOutputDirectories().size(), 20u);
        EXPECT_EQ(manager.recentOutputDirectories().front(), chosen[1]);
        EXPECT_EQ(item->submenu()->numberOfItems(), 22u);
        const auto top = item->submenu()->itemAt(0);
        EXPECT_EQ(top->title(), chosen[20].path());
        EXPECT_EQ(top->imageName(), "RecentFolder");
        EXPECT_EQ(std::any_cast<pf::URL>(top->representedObject()), chosen[20]);
        EXPECT_EQ(pf::UserDefaults::standard().arrayForKey("recentCatalogPaths")->size(), 20u);

        // A listed folder moves to the top without a duplicate, chosen through its item.
        ASSERT_TRUE(item->submenu()->itemAt(5)->performAction());
        EXPECT_EQ(manager.outputDirectory(), chosen[15]);
        EXPECT_EQ(manager.recentOutputDirectories().back(), chosen[15]);
        EXPECT_EQ(manager.recentOutputDirectories().size(), 20u);
        EXPECT_EQ(item->submenu()->itemAt(0)->title(), chosen[15].path());
        EXPECT_EQ(item->submenu()->itemAt(1)->title(), chosen[20].path());
        EXPECT_EQ(delegate->told.back(), chosen[15]);

        // The current folder again: nothing saved, rebuilt or told.
        const auto before = settingsBytes();
        int rebuilt = 0;
        item->submenu()->addObserver([&](pa::Menu&) { ++rebuilt; });
        const auto toldBefore = delegate->told.size();
        manager.setOutputDirectory(chosen[15]);
        ASSERT_TRUE(item->submenu()->itemAt(0)->performAction());
        EXPECT_EQ(settingsBytes(), before);
        EXPECT_EQ(rebuilt, 0);
        EXPECT_EQ(delegate->told.size(), toldBefore);
    }
    {
        // A later launch starts on the newest folder, with the list in the same order.
        PreviousLocationsManager later(freshDefaults());
        EXPECT_EQ(later.outputDirectory(), chosen[15]);
        EXPECT_EQ(later.recentOutputDirectories().size(), 20u);
        EXPECT_EQ(later.recentOutputDirectories().front(), chosen[1]);

        auto item = pa::MenuItem::make("Recent");
        later.setRecentLocationsMenuItem(item);
        const auto clear = item->submenu()->itemAt(21);
        ASSERT_EQ(clear->title(), "Clear Menu");
        ASSERT_TRUE(clear->performAction());
        EXPECT_TRUE(pf::UserDefaults::standard().objectForKey("recentCatalogPaths").isNull());
        EXPECT_EQ(titles(item), (std::vector<std::string>{"---", "Clear Menu"}));
        EXPECT_TRUE(later.recentOutputDirectories().empty());
        EXPECT_EQ(later.outputDirectory(), chosen[15]);  // the folder in use stays
    }
    EXPECT_TRUE(pf::UserDefaults::standard().objectForKey("recentCatalogPaths").isNull());
    PreviousLocationsManager afterClear(freshDefaults());
    EXPECT_FALSE(afterClear.outputDirectory());
    EXPECT_TRUE(logged_.empty()) << logged_.front();
}

TEST_F(RecentFolders, TheSubmenuShowsFoldersChosenBeforeItWasConnectedWithPathsDecodedOnce) {
    PreviousLocationsManager manager;
    const auto percent = folder("100%25");
    const auto spaced = folder("a b");
    manager.setOutputDirectory(percent);
    manager.setOutputDirectory(spaced);
    auto item = pa::MenuItem::make("Recent");
    item->setSubmenu(pa::Menu::make("Recent"));
    item->submenu()->addItem(pa::MenuItem::make("left from the interface file"));
    manager.setRecentLocationsMenuItem(item);
    EXPECT_EQ(titles(item), (std::vector<std::string>{(dir_ / "a b").string(), (dir_ / "100%25").string(), "---",
                                                      "Clear Menu"}));
    // Choosing none stops using the folder and forgets nothing.
    manager.setOutputDirectory(std::nullopt);
    EXPECT_FALSE(manager.outputDirectory());
    EXPECT_EQ(manager.recentOutputDirectories().size(), 2u);
    EXPECT_EQ(item->submenu()->numberOfItems(), 4u);
}

TEST_F(RecentFolders, StoredListsThatCannotBeReadAreDroppedWithALogLinePerEntry) {
    const auto kept1 = folder("kept1");
    const auto kept2 = folder("kept2");
    const auto gone = folder("gone");
    const auto replaced = folder("replaced");
    // Written by a version that let the output follow a replaced catalog into the Trash.
    const auto trashed = xdg_.root() / "data/Trash/files/Assets (replaced 2026-12-08 01.38.56).xcassets";
    fs::create_directories(trashed);
    const auto bookmark = [](const pf::URL& url) { return pf::Value(pf::bookmarks::create(url)); };
    const pf::Value goodFirst = bookmark(kept1), goodSecond = bookmark(kept2), goneMark = bookmark(gone),
                    replacedMark = bookmark(replaced), trashedMark = bookmark(pf::URL::fileURL(trashed, true));
    fs::remove(gone.fsPath());
    // Same path, another folder: the old one is kept elsewhere so its inode is not reused.
    fs::rename(replaced.fsPath(), dir_ / "replaced-old");
    fs::create_directories(replaced.fsPath());
    const pf::Value garbage(pf::dataFromString("not a bookmark"));

    const struct {
        const char* name;
        pf::Value stored;
        std::vector<pf::URL> loaded;
        std::vector<std::string> logPrefixes;
    } cases[] = {
        {"text", pf::Value("/some/folder"), {}, {}},
        {"an array of numbers", pf::Value::array({pf::Value(1), pf::Value(2)}), {}, {}},
        {"data mixed with a number", pf::Value::array({goodFirst, pf::Value(3)}), {}, {}},
        {"undecodable data among good entries", pf::Value::array({goodFirst, garbage, goodSecond}), {kept1, kept2},
         {"Error accessing saved bookmark data: Error Domain="}},
        {"a deleted folder", pf::Value::array({goneMark, goodSecond}), {kept2},
         {"Error accessing saved bookmark data: Error Domain="}},
        {"a folder replaced under the same path", pf::Value::array({goodFirst, replacedMark}), {kept1},
         {"No bookmark data. Is stale: true"}},
        {"a folder in the Trash", pf::Value::array({goodFirst, trashedMark}), {kept1},
         {"Recent output folder in the Trash dropped: "}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logged_.clear();
        pf::UserDefaults::standard().setObject(c.stored, "recentCatalogPaths");
        PreviousLocationsManager manager(freshDefaults());
        EXPECT_EQ(manager.recentOutputDirectories(), c.loaded);
        EXPECT_EQ(manager.outputDirectory(), c.loaded.empty() ? std::nullopt : std::optional(c.loaded.back()));
        ASSERT_EQ(logged_.size(), c.logPrefixes.size());
        for (std::size_t i = 0; i < logged_.size(); ++i) EXPECT_EQ(logged_[i].rfind(c.logPrefixes[i], 0), 0u) << logged_[i];
    }
}

TEST(RecentFoldersDeathTest, PressingAnItemWithoutAFolderIsAProgrammingError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    gwtest::ScopedXdgHome xdg;
    pf::UserDefaults::resetStandard();
    EXPECT_DEATH(
        {
            PreviousLocationsManager manager;
            auto item = pa::MenuItem::make("not a folder");
            item->setRepresentedObject(std::string("/tmp"));
            manager.recentLocationPressed(*item);
        },
        "Unexpected menu item press");
    pf::UserDefaults::resetStandard();
}

}  // namespace
