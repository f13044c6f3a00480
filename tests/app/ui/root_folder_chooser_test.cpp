// The command-line grant chosen in the real folder panel: OK grants the folder exactly as
// the grant tool does, Cancel changes nothing, and a controller gone meanwhile is left alone.
#include "app/shell/command_line_enabled_controller.hpp"
#include "app/ui/root_folder_chooser.hpp"

#include "platform/foundation/user_defaults.hpp"
#include "support/gui/gui_harness.hpp"
#include "support/temp_dir.hpp"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
using gwtest::gui::waitFor;

QFileDialog* visiblePanel() {
    for (auto* widget : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QFileDialog*>(widget);
        if (dialog && dialog->isVisible()) return dialog;
    }
    return nullptr;
}

void answer(QFileDialog& panel, const fs::path& folder, bool ok) {
    auto* name = panel.findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    if (!ok) {
        QTest::keyClick(name, Qt::Key_Escape);
        return;
    }
    panel.setDirectory(QString::fromStdString(folder.parent_path().string()));
    name->setText(QString::fromStdString(folder.filename().string()));
    QTest::keyClick(name, Qt::Key_Return);
}

TEST(RootFolderChooser, OKGrantsTheFolderCancelAndAGoneControllerChangeNothing) {
    gwtest::TempDir dir;
    const auto root = dir.path() / "root";
    fs::create_directories(root);
    gw::installRootFolderChooser();
    auto& defaults = pf::UserDefaults::standard();
    {
        gw::CommandLineEnabledController controller;
        controller.disableCommandLineInterface();
        controller.chooseRootFolder();
        ASSERT_TRUE(waitFor([] { return visiblePanel() != nullptr; }));
        auto* panel = visiblePanel();
        EXPECT_EQ(panel->windowModality(), Qt::NonModal);
        EXPECT_EQ(fs::path(panel->directory().absolutePath().toStdString()), fs::path(QDir::homePath().toStdString()));
        answer(*panel, root, false);
        ASSERT_TRUE(waitFor([] { return visiblePanel() == nullptr; }));
        EXPECT_FALSE(controller.isCommandLineInterfaceEnabled());
        EXPECT_FALSE(defaults.dataForKey(gw::CommandLineEnabledController::rootBookmarkKey).has_value());

        controller.chooseRootFolder();
        ASSERT_TRUE(waitFor([] { return visiblePanel() != nullptr; }));
        answer(*visiblePanel(), root, true);
        ASSERT_TRUE(waitFor([&] { return controller.isCommandLineInterfaceEnabled(); }));
        EXPECT_EQ(controller.rootBookmarkURL()->fsPath(), fs::canonical(root));
    }
    const auto granted = defaults.dataForKey(gw::CommandLineEnabledController::rootBookmarkKey);
    ASSERT_TRUE(granted.has_value());
    // The same bytes as the grant function writes for that folder.
    {
        gw::CommandLineEnabledController direct;
        direct.disableCommandLineInterface();
        ASSERT_TRUE(direct.saveRootBookmark(pf::URL::fileURL(fs::canonical(root))));
        EXPECT_EQ(defaults.dataForKey(gw::CommandLineEnabledController::rootBookmarkKey), granted);
        direct.disableCommandLineInterface();
    }
    // The controller goes before the panel is answered: nothing is granted.
    auto gone = std::make_unique<gw::CommandLineEnabledController>();
    gone->chooseRootFolder();
    ASSERT_TRUE(waitFor([] { return visiblePanel() != nullptr; }));
    auto* panel = visiblePanel();
    gone.reset();
    answer(*panel, root, true);
    ASSERT_TRUE(waitFor([] { return visiblePanel() == nullptr; }));
    EXPECT_FALSE(defaults.dataForKey(gw::CommandLineEnabledController::rootBookmarkKey).has_value());
}

}  // namespace
