// The delegate's dialogs driven in the real (non-native) file dialog as a user does:
// pictures added through the open sheet, and the output folder chosen with or without a
// search for catalogs below it.
#include "app/ui/app_delegate.hpp"

#include "platform/appkit/array_controller.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "support/gui/gui_harness.hpp"
#include "support/temp_dir.hpp"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
using gwtest::gui::waitFor;

std::string svg(int size) {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(size) + "\" height=\"" +
           std::to_string(size) + "\"><rect width=\"100%\" height=\"100%\" fill=\"#3a7bd5\"/></svg>";
}

QFileDialog* visibleFileDialog(QWidget& window) {
    for (auto* dialog : window.findChildren<QFileDialog*>()) {
        if (dialog->isVisible()) return dialog;
    }
    return nullptr;
}

QFileDialog* shownFileDialog(QWidget& window) {
    waitFor([&] { return visibleFileDialog(window) != nullptr; });
    return visibleFileDialog(window);
}

// Puts `text` into the name field and presses Return.
void chooseIn(QFileDialog& dialog, const fs::path& folder, const QString& text) {
    dialog.setDirectory(QString::fromStdString(folder.string()));
    auto* name = dialog.findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    // Set at once: typed keys would open the name completer, which takes some of them.
    name->setText(text);
    QTest::keyClick(name, Qt::Key_Return);
}

struct RecordingChooser : gw::MultipleCatalogsChoosing {
    std::vector<pf::URL> shown;
    Choice answer = Choice::cancelled;
    std::optional<pf::URL> catalog;
    void beginSheet(QWidget*, std::vector<pf::URL> urls, Completion completion) override {
        shown = std::move(urls);
        std::optional<pf::URL> picked;
        for (const auto& url : shown) {
            if (answer == Choice::selectedCatalog && url.lastPathComponent() == "B.xcassets") picked = url;
        }
        completion(answer, picked);
    }
};

class DelegateDialogs : public ::testing::Test {
protected:
    void SetUp() override {
        gw::AppDelegate::runningUnderTests = true;
        // No pictures of an earlier test's saved state.
        fs::remove(gw::Glyphwright::savedStatePath());
        delegate_ = gw::AppDelegate::make();
        engine_ = gw::Glyphwright::make();
        engine_->setCollectionViewArrayController(std::make_shared<platform::appkit::ArrayController>());
        delegate_->setWindow(&window_);
        delegate_->setGlyphwright(engine_);
        delegate_->finishRestoring();
        chooser_ = std::make_shared<RecordingChooser>();
        delegate_->setMultipleCatalogsPanel(chooser_);
        window_.show();
    }
    gwtest::TempDir dir_;
    QWidget window_;
    std::shared_ptr<gw::AppDelegate> delegate_;
    std::shared_ptr<gw::Glyphwright> engine_;
    std::shared_ptr<RecordingChooser> chooser_;
};

TEST_F(DelegateDialogs, TwoPicturesPickedInTheOpenSheetReachTheEngine) {
    gwtest::writeFile(dir_.path() / "first.svg", svg(512));
    gwtest::writeFile(dir_.path() / "second.svg", svg(256));
    delegate_->showOpenFileDialog();
    auto* dialog = shownFileDialog(window_);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    EXPECT_TRUE(dialog->testOption(QFileDialog::DontUseNativeDialog));
    chooseIn(*dialog, dir_.path(), "\"first.svg\" \"second.svg\"");
    ASSERT_TRUE(waitFor([&] { return engine_->imageInputs().size() == 2; }))
        << dialog->selectedFiles().join(',').toStdString();
    EXPECT_EQ(engine_->imageInputCollectionType(), gw::CollectionType::variants);
}

TEST_F(DelegateDialogs, TheChosenDestinationFollowsTheCatalogsFoundBelowIt) {
    const auto none = dir_.path() / "none";
    const auto one = dir_.path() / "one";
    const auto two = dir_.path() / "two";
    fs::create_directories(none / "art");
    fs::create_directories(one / "deep/App.xcassets");
    fs::create_directories(two / "a/A.xcassets");
    fs::create_directories(two / "b/B.xcassets");
    // What lies in a Trash is never offered: a home folder whose data folder holds the
    // Trash with a replaced catalog in it, and a file system's own Trash folder.
    const auto home = dir_.path() / "home";
    const gwtest::ScopedEnv dataHome("XDG_DATA_HOME", (home / ".local/share").string());
    fs::create_directories(home / ".local/share/Trash/files/Assets (replaced 2026-12-08 01.38.56).xcassets");
    const auto stick = dir_.path() / "stick";
    fs::create_directories(stick / "deep/App.xcassets");
    fs::create_directories(stick / ".Trash-1000/files/Old.xcassets");
    using Choice = gw::MultipleCatalogsChoosing::Choice;
    struct Case {
        const char* name;
        fs::path chosen;
        Choice answer;
        std::optional<fs::path> expected;  // none: unchanged
        std::size_t catalogsShown;
    };
    const std::vector<Case> cases = {
        {"no catalog below", none, Choice::cancelled, none, 0},
        {"one catalog below", one, Choice::cancelled, one / "deep/App.xcassets", 0},
        {"two, cancelled", two, Choice::cancelled, std::nullopt, 2},
        {"two, new catalog", two, Choice::newDirectory, two, 2},
        {"two, one chosen", two, Choice::selectedCatalog, two / "b/B.xcassets", 2},
        {"only a catalog in the home Trash below", home, Choice::cancelled, home, 0},
        {"one catalog below and one in a Trash", stick, Choice::cancelled, stick / "deep/App.xcassets", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        engine_->setOutputDirectory(std::nullopt);
        chooser_->shown.clear();
        chooser_->answer = c.answer;
        pf::UserDefaults::standard().setBool(true, "scanSubfoldersForAssetCatalogs");
        delegate_->showOutputDestinationDialog();
        auto* dialog = shownFileDialog(window_);
        ASSERT_NE(dialog, nullptr);
        auto* scan = dialog->findChild<QCheckBox*>("scanSubfoldersCheckbox");
        ASSERT_NE(scan, nullptr);
        EXPECT_TRUE(scan->isChecked());
        chooseIn(*dialog, c.chosen.parent_path(), QString::fromStdString(c.chosen.filename().string()));
        ASSERT_TRUE(waitFor([&] { return !visibleFileDialog(window_); }));
        ASSERT_TRUE(waitFor([&] { return !delegate_->isSearchingForCatalogs(); }));
        EXPECT_EQ(chooser_->shown.size(), c.catalogsShown);
        if (c.expected) {
            ASSERT_TRUE(engine_->outputDirectory().has_value());
            EXPECT_EQ(fs::path(engine_->outputDirectory()->path()).lexically_normal(),
                      c.expected->lexically_normal());
        } else {
            EXPECT_FALSE(engine_->outputDirectory().has_value());
        }
    }
}

// A folder inside a catalog, and anything in a Trash (the next catalog would be written
// among what was thrown away), is refused in an alert; the output stays as it was.
TEST_F(DelegateDialogs, AFolderInsideACatalogOrInTheTrashIsRefusedAndTheCheckboxIsNotStored) {
    const gwtest::ScopedEnv dataHome("XDG_DATA_HOME", (dir_.path() / "data").string());
    const struct {
        const char* name;
        fs::path chosen;
        const char* said;
    } cases[] = {
        {"inside a catalog", dir_.path() / "App.xcassets/AppIcon.appiconset", "inside an asset catalog"},
        {"a catalog in the home Trash", dir_.path() / "data/Trash/files/Assets (replaced 2026-12-08 01.38.56).xcassets",
         "lies in the Trash"},
        {"a folder in a file system's Trash", dir_.path() / ".Trash-1000/files/out", "lies in the Trash"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::create_directories(c.chosen);
        pf::UserDefaults::standard().setBool(false, "scanSubfoldersForAssetCatalogs");
        delegate_->showOutputDestinationDialog();
        auto* dialog = shownFileDialog(window_);
        ASSERT_NE(dialog, nullptr);
        auto* scan = dialog->findChild<QCheckBox*>("scanSubfoldersCheckbox");
        ASSERT_NE(scan, nullptr);
        EXPECT_TRUE(scan->isVisible());
        scan->click();
        EXPECT_TRUE(scan->isChecked());
        chooseIn(*dialog, c.chosen.parent_path(), QString::fromStdString(c.chosen.filename().string()));
        QMessageBox* shown = nullptr;
        ASSERT_TRUE(waitFor([&] {
            for (auto* box : window_.findChildren<QMessageBox*>()) {
                if (box->isVisible()) shown = box;
            }
            return shown != nullptr;
        }));
        EXPECT_NE(shown->text().toStdString().find(c.said), std::string::npos) << shown->text().toStdString();
        shown->close();
        ASSERT_TRUE(waitFor([&] { return !shown->isVisible(); }));
        EXPECT_FALSE(engine_->outputDirectory().has_value());
        EXPECT_FALSE(pf::UserDefaults::standard().boolForKey("scanSubfoldersForAssetCatalogs"));
    }
}

}  // namespace
