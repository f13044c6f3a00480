// The output-type menu: submenus in the menu bar and the main window's pop-up, started
// from "IconType", chosen from either (shortcuts included) and handed to a real engine.
#include "app/foundation/user_defaults_key.hpp"
#include "app/ui/output_type_selection_handler.hpp"
#include "platform/appkit/qt/application.hpp"
#include "platform/appkit/qt/menu_bar.hpp"
#include "platform/appkit/qt/window.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "support/gui/gui_harness.hpp"
#include "ui_test_support.hpp"

#include <QVBoxLayout>

namespace {

namespace pa = platform::appkit;
namespace pf = platform::foundation;
namespace qt = platform::appkit::qt;
using gw::ConversionOutputType;

// The main window's side: a menu bar holding the output-type item, a window holding the
// pop-up, and an engine that takes the handler as the nib connects it.
class OutputTypeMenu : public gwtest::engine::EngineEnvironment {
protected:
    pa::MenuPtr mainMenu = pa::Menu::make("Main");
    pa::MenuItemPtr typeItem = pa::MenuItem::make("Output Type");
    qt::Window window;
    qt::PopUpButton* popUp = new qt::PopUpButton(&window);
    gwtest::engine::ObservedEngine e;
    std::shared_ptr<gw::OutputTypeSelectionHandler> handler;

    OutputTypeMenu() {
        typeItem->setSubmenu(pa::Menu::make("Output Type"));
        mainMenu->addItem(typeItem);
        (new QVBoxLayout(&window))->addWidget(popUp);
    }
    ~OutputTypeMenu() override { qt::Application::shared()->setMainMenu(nullptr); }

    void connect() {
        handler = gw::OutputTypeSelectionHandler::make();
        handler->setMenuItem(typeItem);
        handler->setOutputTypePopUpButton(popUp);
        e.engine->setOutputTypeSelectionHandler(handler);
        qt::Application::shared()->setMainMenu(mainMenu);
    }

    // Every type item of the submenus, in menu order.
    std::vector<pa::MenuItemPtr> typeItems() const {
        std::vector<pa::MenuItemPtr> items;
        for (const auto& platformItem : typeItem->submenu()->items()) {
            for (const auto& item : platformItem->submenu()->items()) items.push_back(item);
        }
        return items;
    }
    std::vector<std::string> checkedTitles() const {
        std::vector<std::string> titles;
        for (const auto& item : typeItems()) {
            if (item->state() == pa::ControlStateValue::on) titles.push_back(item->title());
        }
        return titles;
    }
};

TEST_F(OutputTypeMenu, StartsFromTheSavedTypeWithItsPopUpEntryAndCheckMark) {
    pf::UserDefaults::standard().setInteger(12, "IconType");
    connect();
    EXPECT_EQ(popUp->indexOfSelectedItem(), 8);
    EXPECT_EQ(popUp->itemTitleAt(8), "tvOS Game Center Dashboard Images");
    EXPECT_EQ(checkedTitles(), std::vector<std::string>{"tvOS Game Center Dashboard Images"});
    EXPECT_EQ(e.engine->resizeType(), ConversionOutputType::tvOSGameCenterDashboard);
}

TEST_F(OutputTypeMenu, ASavedValueThatIsNoOutputTypeStartsAtTheIOSIcon) {
    const std::vector<pf::Value> values = {pf::Value(std::int64_t{-1}), pf::Value(std::int64_t{99}),
                                           pf::Value(std::string("5")), pf::Value(2.5)};
    for (const auto& value : values) {
        SCOPED_TRACE(value.description());
        pf::UserDefaults::standard().setObject(value, "IconType");
        EXPECT_EQ(gw::OutputTypeSelectionHandler::make()->currentResizeType(), ConversionOutputType::iOSIcon);
    }
}

TEST_F(OutputTypeMenu, ItemsFollowTheCounterRuleAndRebuildsLeaveOneSetWithoutChoosing) {
    connect();
    const auto told = [&] { return e.delegate->count("outputType iOSIcon"); };
    const auto before = told();
    handler->updateMenu();
    handler->updateMenu();
    EXPECT_EQ(told(), before);  // rebuilding chooses nothing

    ASSERT_EQ(typeItem->submenu()->numberOfItems(), 6u);
    const auto items = typeItems();
    ASSERT_EQ(items.size(), 14u);
    EXPECT_EQ(popUp->numberOfItems(), 14);
    const auto order = gw::ConversionOutputTypes::allCasesByPlatform();
    for (std::size_t i = 0; i < items.size(); ++i) {
        SCOPED_TRACE(items[i]->title());
        const bool option = i >= 9;
        EXPECT_EQ(items[i]->keyEquivalent(), std::to_string(option ? i - 8 : i + 1));
        EXPECT_EQ(items[i]->keyEquivalentModifierMask(),
                  option ? (pa::modifierCommand | pa::modifierOption) : std::uint32_t{pa::modifierCommand});
        EXPECT_EQ(std::any_cast<ConversionOutputType>(items[i]->representedObject()), order[i]);
        EXPECT_EQ(popUp->itemTitleAt(static_cast<int>(i)), items[i]->title());
    }
    const std::vector<std::string> platforms = {"iOS", "tvOS", "tvOS Game Center", "watchOS", "macOS", "Universal"};
    for (std::size_t p = 0; p < platforms.size(); ++p) {
        EXPECT_EQ(typeItem->submenu()->itemAt(p)->title(), platforms[p]);
        EXPECT_EQ(typeItem->submenu()->itemAt(p)->submenu()->title(), platforms[p]);
    }
}

TEST_F(OutputTypeMenu, ShortcutsFromAnyWindowAndUserChoicesInThePopUpReachTheEngine) {
    connect();
    qt::Window other;  // a second top-level window, e.g. a panel
    window.show();
    other.show();

    QTest::keyClick(&other, Qt::Key_5, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_EQ(e.engine->resizeType(), ConversionOutputType::catalyst);
    EXPECT_EQ(handler->currentResizeType(), ConversionOutputType::catalyst);
    EXPECT_EQ(popUp->indexOfSelectedItem(), 13);
    EXPECT_EQ(checkedTitles(), std::vector<std::string>{"Universal Mac Catalyst Icons"});

    QTest::keyClick(popUp, Qt::Key_1, Qt::ControlModifier);
    EXPECT_EQ(e.engine->resizeType(), ConversionOutputType::iOSIcon);

    // The 13th entry, chosen with the keyboard as a user does.
    popUp->selectItemAtIndex(11);
    EXPECT_EQ(e.engine->resizeType(), ConversionOutputType::iOSIcon);  // code selecting is no choice
    popUp->setFocus();
    QTest::keyClick(popUp, Qt::Key_Down);
    EXPECT_EQ(gw::ConversionOutputTypes::rawValue(e.engine->resizeType()), 2);
    EXPECT_EQ(checkedTitles(), std::vector<std::string>{typeItems()[12]->title()});

    // The rendered menu bar follows the model.
    auto* bar = qt::Application::shared()->menuBar();
    bar->flush();
    EXPECT_EQ(bar->menuBar()->actions().size(), 1);
    EXPECT_EQ(bar->menuBar()->actions()[0]->menu()->actions().size(), 6);
}

TEST_F(OutputTypeMenu, WithoutADelegateChoicesStillMoveTheCurrentType) {
    auto lone = gw::OutputTypeSelectionHandler::make();
    lone->setMenuItem(typeItem);
    lone->setOutputTypePopUpButton(popUp);
    EXPECT_EQ(typeItem->submenu()->numberOfItems(), 0u);  // not built without a delegate
    auto item = pa::MenuItem::make("x");
    item->setRepresentedObject(ConversionOutputType::watchIcon);
    lone->setTypeMenuItemPressed(item.get());
    EXPECT_EQ(lone->currentResizeType(), ConversionOutputType::watchIcon);
    lone->setTypeMenuItemPressed(pa::MenuItem::make("no type").get());  // only rebuilds
    EXPECT_EQ(lone->currentResizeType(), ConversionOutputType::watchIcon);
}

}  // namespace
