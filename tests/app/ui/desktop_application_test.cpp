// The window application as `glyphwright-desktop` assembles it, on the offscreen platform:
// its menus in the places Linux desktops keep them, the Preferences window as a user meets
// it (its controls, its size, over the main window, toggled by a second request), a grant
// that cannot be saved shown in an alert, and start-up's transformers.
#include "app/ui/desktop_application.hpp"

#include "app/ui/preference_panel.hpp"
#include "platform/appkit/qt/application.hpp"
#include "platform/appkit/qt/menu_bar.hpp"
#include "platform/appkit/value_transformer.hpp"
#include "platform/foundation/files.hpp"
#include "support/gui/gui_harness.hpp"
#include "support/temp_dir.hpp"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
namespace pa = platform::appkit;
namespace qt = platform::appkit::qt;
using gwtest::gui::waitFor;

class DesktopApplicationTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        app_ = gw::ui::DesktopApplication::make().release();
        app_->window->show();
        app_->delegate->applicationWillFinishLaunching();
        app_->delegate->applicationDidFinishLaunching();
    }

    // "File" and so on, left to right.
    static std::vector<std::string> titles(const pa::MenuPtr& menu) {
        std::vector<std::string> result;
        for (const auto& item : menu->items()) {
            result.push_back(item->isSeparatorItem() ? "---" : item->title() + (item->keyEquivalent().empty() ? "" : " ^" + item->keyEquivalent()));
        }
        return result;
    }
    static pa::MenuPtr submenu(const std::string& title) {
        const auto item = app_->mainMenu->itemWithTitle(title);
        return item ? item->submenu() : nullptr;
    }

    static QWidget* preferences() { return app_->delegate->preferencesPanel(); }

    static gw::ui::DesktopApplication* app_;
};

gw::ui::DesktopApplication* DesktopApplicationTest::app_ = nullptr;

TEST_F(DesktopApplicationTest, MenusKeepEveryItemInThePlacesLinuxDesktopsKeepThem) {
    EXPECT_EQ(titles(app_->mainMenu), (std::vector<std::string>{"File", "Edit", "Output Type", "View", "Support", "Help"}));
    EXPECT_EQ(titles(submenu("File")),
              (std::vector<std::string>{"Open… ^o", "Choose Output Folder…", "Recent Output Folders", "---",
                                        "Create Asset Catalog ^b", "---", "Quit Glyphwright ^q"}));
    EXPECT_EQ(titles(submenu("Edit")), std::vector<std::string>{"Preferences… ^,"});
    EXPECT_EQ(titles(submenu("Help")), (std::vector<std::string>{"Glyphwright Help", "---", "About Glyphwright"}));
    // What the menu bar shows is the same, in the same order.
    auto* bar = qt::Application::shared()->menuBar();
    bar->flush();
    QStringList shown;
    for (QAction* action : bar->menuBar()->actions()) shown << action->text();
    // Each with its own letter for Alt.
    EXPECT_EQ(shown.join(',').toStdString(), "&File,&Edit,&Output Type,&View,&Support,&Help");

    // Window titles and untitled dialogs carry the application's name, not the program's.
    EXPECT_EQ(QGuiApplication::applicationDisplayName().toStdString(), "Glyphwright");
    EXPECT_EQ(app_->window->windowTitle().toStdString(), "Glyphwright");

    // The recent-folders submenu is the manager's: empty, it holds only its Clear item.
    EXPECT_EQ(app_->previousLocations->recentLocationsMenuItem(), submenu("File")->itemAt(2));
    EXPECT_EQ(titles(submenu("File")->itemAt(2)->submenu()), (std::vector<std::string>{"---", "Clear Menu"}));

    // Help: the instructions panel; About: the name and version over the main window.
    submenu("Help")->itemAt(0)->performAction();
    EXPECT_TRUE(app_->mainViewController->helpPanel()->isVisible());
    submenu("Help")->itemAt(0)->performAction();
    EXPECT_FALSE(app_->mainViewController->helpPanel()->isVisible());
    auto about = gwtest::gui::answerNextModal([](QWidget& modal) {
        auto* box = qobject_cast<QMessageBox*>(&modal);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text().toStdString(), "Glyphwright");
        EXPECT_EQ(box->informativeText().toStdString(), "Version 1.0 (1)");
        EXPECT_EQ(box->parentWidget(), app_->window.get());
        box->buttons().front()->click();
    });
    submenu("Help")->itemAt(2)->performAction();
    EXPECT_TRUE(about->answered());

    // Start-up registered the transformers the interface names.
    for (const char* name : {"NonEmptyArrayTransformer", "BoolToBlackAndWhiteTransformer",
                             "OLVFloatToPercentageStringTransformer"}) {
        EXPECT_NE(pa::ValueTransformer::valueTransformerForName(name), nullptr) << name;
    }
}

TEST_F(DesktopApplicationTest, PreferencesOpenOverTheWindowWithTheirControlsAndASecondRequestClosesThem) {
    const auto request = submenu("Edit")->itemAt(0);
    ASSERT_TRUE(request->performAction());
    ASSERT_NE(preferences(), nullptr);
    QWidget& window = *preferences();
    ASSERT_TRUE(waitFor([&] { return window.isVisible(); }));
    EXPECT_EQ(window.windowTitle().toStdString(), "Preferences");
    EXPECT_TRUE(window.isWindow());
    EXPECT_EQ(window.parentWidget(), app_->window.get());
    EXPECT_GE(window.width(), 420);
    EXPECT_GE(window.height(), 150);

    // Both effect controls with their three labelled segments, the switch and the hint,
    // each shown whole inside the window.
    auto* panel = window.findChild<gw::PreferencePanel*>();
    ASSERT_NE(panel, nullptr);
    for (auto* control : {panel->macOSIconEffectSegmentedControl(), panel->catalinaIconEffectSegmentedControl()}) {
        ASSERT_NE(control, nullptr);
        ASSERT_EQ(control->segmentCount(), 3);
        EXPECT_EQ(control->label(0) + "," + control->label(1) + "," + control->label(2), "Round Corners,Padding,Shadow");
        EXPECT_FALSE(control->accessibleName().isEmpty());
    }
    EXPECT_EQ(panel->macOSIconEffectSegmentedControl()->accessibleName().toStdString(), "macOS App Icons");
    EXPECT_NE(panel->commandLineLabel()->text().toStdString().find("To get started"), std::string::npos);
    for (QWidget* shown : std::initializer_list<QWidget*>{panel->macOSIconEffectSegmentedControl(),
                                                          panel->catalinaIconEffectSegmentedControl(),
                                                          panel->enableCommandLineInterfaceButton(),
                                                          panel->commandLineLabel()}) {
        EXPECT_TRUE(shown->isVisible());
        const QRect inWindow(shown->mapTo(&window, QPoint(0, 0)), shown->size());
        EXPECT_TRUE(window.rect().contains(inWindow)) << shown->metaObject()->className();
        EXPECT_GE(shown->height(), shown->minimumSizeHint().height());
    }
    // The keyboard starts on the first control.
    EXPECT_EQ(window.focusWidget(), panel->macOSIconEffectSegmentedControl()->segmentButton(0));

    // Centred on the main window.
    const QPoint offset = window.frameGeometry().center() - app_->window->frameGeometry().center();
    EXPECT_LE(offset.manhattanLength(), 4) << offset.x() << "," << offset.y();

    // A second request closes it, a third brings the same window back.
    ASSERT_TRUE(request->performAction());
    EXPECT_TRUE(waitFor([&] { return !window.isVisible(); }));
    ASSERT_TRUE(request->performAction());
    EXPECT_TRUE(waitFor([&] { return window.isVisible(); }));
    EXPECT_EQ(preferences(), &window);
    window.close();
}

TEST_F(DesktopApplicationTest, AGrantThatCannotBeSavedIsShownInAnAlertAndTheSwitchStaysOff) {
    // The settings folder is a file: nothing can be saved there.
    const fs::path settingsFolder = platform::foundation::files::xdgConfigHome() / "com.norvane.glyphwright";
    const fs::path aside = settingsFolder.string() + ".aside";
    if (fs::exists(settingsFolder)) fs::rename(settingsFolder, aside);
    gwtest::writeFile(settingsFolder, "not a folder");
    gwtest::TempDir root;

    if (!preferences() || !preferences()->isVisible()) submenu("Edit")->itemAt(0)->performAction();
    ASSERT_NE(preferences(), nullptr);
    auto* panel = preferences()->findChild<gw::PreferencePanel*>();
    ASSERT_NE(panel, nullptr);
    auto* button = panel->enableCommandLineInterfaceButton();
    ASSERT_FALSE(button->isChecked());
    button->click();
    QFileDialog* chooser = nullptr;
    ASSERT_TRUE(waitFor([&] {
        for (auto* widget : QApplication::topLevelWidgets()) {
            if (auto* dialog = qobject_cast<QFileDialog*>(widget); dialog && dialog->isVisible()) chooser = dialog;
        }
        return chooser != nullptr;
    }));
    auto alert = gwtest::gui::answerNextModal([](QWidget& modal) {
        auto* box = qobject_cast<QMessageBox*>(&modal);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text().toStdString(), "The command line could not be enabled.");
        EXPECT_NE(box->informativeText().toStdString().find("com.norvane.glyphwright"), std::string::npos)
            << box->informativeText().toStdString();
        box->buttons().front()->click();
    });
    chooser->setDirectory(QString::fromStdString(root.path().parent_path().string()));
    auto* name = chooser->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setText(QString::fromStdString(root.path().filename().string()));
    QTest::keyClick(name, Qt::Key_Return);
    EXPECT_TRUE(waitFor([&] { return alert->answered(); }));
    EXPECT_FALSE(button->isChecked());

    fs::remove(settingsFolder);
    if (fs::exists(aside)) fs::rename(aside, settingsFolder);
    preferences()->close();
}

}  // namespace
