// The menu bar rendered from the menu model, and key equivalents that work from every
// window of the application.
#include "platform/appkit/menu.hpp"
#include "platform/appkit/qt/application.hpp"
#include "platform/appkit/qt/menu_bar.hpp"
#include "platform/appkit/qt/window.hpp"
#include "support/gui/gui_harness.hpp"

#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

namespace {

namespace qt = platform::appkit::qt;
namespace pa = platform::appkit;
using pa::Menu;
using pa::MenuItem;

struct MainMenu {
    std::vector<std::string> fired;
    pa::MenuPtr menu = Menu::make("Main");
    pa::MenuItemPtr typesItem = MenuItem::make("Types");
    MainMenu() {
        auto types = Menu::make("Types");
        typesItem->setSubmenu(types);
        menu->addItem(typesItem);
        auto one = MenuItem::make("One", [this](MenuItem& s) { fired.push_back(s.title()); }, "1");
        auto five = MenuItem::make("Five", [this](MenuItem& s) { fired.push_back(s.title()); }, "5");
        five->setKeyEquivalentModifierMask(pa::modifierCommand | pa::modifierOption);
        five->setState(pa::ControlStateValue::on);
        five->setImageName("Empty Asset");
        auto off = MenuItem::make("Off", [this](MenuItem& s) { fired.push_back(s.title()); }, "2");
        off->setEnabled(false);
        types->addItem(one);
        types->addItem(MenuItem::separatorItem());
        types->addItem(five);
        types->addItem(off);
    }
};

TEST(MenuBar, RendersTheModelWithShortcutsChecksAndRerendersAfterChanges) {
    MainMenu main;
    qt::MenuBar bar(main.menu);
    auto menus = bar.menuBar()->actions();
    ASSERT_EQ(menus.size(), 1);
    EXPECT_EQ(menus[0]->text(), "&Types");
    auto items = menus[0]->menu()->actions();
    ASSERT_EQ(items.size(), 4);
    EXPECT_EQ(items[0]->text(), "&One\t" + QKeySequence(Qt::CTRL | Qt::Key_1).toString(QKeySequence::NativeText));
    EXPECT_TRUE(items[1]->isSeparator());
    EXPECT_TRUE(items[2]->isChecked());
    EXPECT_FALSE(items[2]->icon().isNull());  // its bundle image
    EXPECT_TRUE(items[0]->icon().isNull());
    EXPECT_TRUE(items[2]->text().startsWith("&Five\t"));
    EXPECT_FALSE(items[3]->isEnabled());

    // Choosing from the rendered menu runs the item's action.
    items[0]->trigger();
    EXPECT_EQ(main.fired, std::vector<std::string>{"One"});

    // Many changes, one rendering once the event loop runs.
    const auto renders = bar.renderCount();
    main.typesItem->submenu()->itemAt(0)->setTitle("Uno");
    main.typesItem->submenu()->removeItemAt(3);
    EXPECT_TRUE(gwtest::gui::waitFor([&] { return bar.renderCount() == renders + 1; }));
    items = bar.menuBar()->actions()[0]->menu()->actions();
    ASSERT_EQ(items.size(), 3);
    EXPECT_TRUE(items[0]->text().startsWith("&Uno\t"));
}

TEST(MenuBar, EachTitleGetsAFreeLetterAsItsMnemonicAndKeepsItsAmpersands) {
    // In one menu, in order: word starts first, then any free letter or digit.
    struct Case {
        std::string title;
        QString shown;
    };
    const std::vector<Case> cases = {
        {"Open…", "&Open…"},
        {"Choose Output Folder…", "&Choose Output Folder…"},
        {"Create Asset Catalog", "Create &Asset Catalog"},
        {"Copy", "Co&py"},  // its word start is taken: the next free letter
        {"Help & Support", "&Help && Support"},
        {"/tmp/a&b", "/&tmp/a&&b"},
        {"…", "…"},  // nothing to mark
        {"coca", "coca"},  // every letter taken: none marked
    };
    std::set<QChar> taken;
    for (const auto& c : cases) EXPECT_EQ(qt::titleWithMnemonic(c.title, taken), c.shown) << c.title;
}

TEST(MenuBar, KeyEquivalentsFireFromEveryWindowButNotWhileAModalWindowRuns) {
    MainMenu main;
    auto& app = *qt::Application::shared();
    app.setMainMenu(main.menu);
    qt::Window first, second;
    auto* field = new QLineEdit(&second);  // a focused text field does not swallow the shortcut
    (new QVBoxLayout(&second))->addWidget(field);
    first.show();
    second.show();

    QTest::keyClick(&first, Qt::Key_1, Qt::ControlModifier);
    QTest::keyClick(field, Qt::Key_5, Qt::ControlModifier | Qt::AltModifier);
    QTest::keyClick(field, Qt::Key_2, Qt::ControlModifier);  // disabled
    QTest::keyClick(field, Qt::Key_5, Qt::ControlModifier);  // wrong modifiers
    QTest::keyClick(field, Qt::Key_1);                        // plain typing
    EXPECT_EQ(main.fired, (std::vector<std::string>{"One", "Five"}));
    EXPECT_EQ(field->text(), "1");

    main.fired.clear();
    auto answer = gwtest::gui::answerNextModal([&](QWidget& modal) {
        QTest::keyClick(&modal, Qt::Key_1, Qt::ControlModifier);
        app.stopModal(0);
    });
    qt::Window modal;
    app.runModal(modal);
    modal.orderOut();
    EXPECT_TRUE(main.fired.empty());
    app.setMainMenu(nullptr);
    QTest::keyClick(&first, Qt::Key_1, Qt::ControlModifier);
    EXPECT_TRUE(main.fired.empty());
}

}  // namespace
