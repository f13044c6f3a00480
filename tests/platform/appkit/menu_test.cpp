// The menu model: change notices travel up the tree, items move between menus, key
// equivalents are found only on items that can be chosen, and an action may rebuild the
// menu that holds it.
#include "platform/appkit/menu.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using platform::appkit::ControlStateValue;
using platform::appkit::Menu;
using platform::appkit::MenuItem;
using platform::appkit::MenuItemPtr;
using platform::appkit::MenuPtr;
namespace pa = platform::appkit;

struct Tree {
    MenuPtr main = Menu::make("Main");
    MenuItemPtr fileItem = MenuItem::make("File");
    MenuPtr file = Menu::make("File");
    MenuItemPtr open = MenuItem::make("Open", {}, "o");
    std::vector<std::string> notices;  // "<menu title>" per notice, main menu and file menu watched
    Tree() {
        fileItem->setSubmenu(file);
        main->addItem(fileItem);
        file->addItem(open);
        main->addObserver([this](Menu& m) { notices.push_back("main<-" + m.title()); });
        file->addObserver([this](Menu& m) { notices.push_back("file<-" + m.title()); });
    }
};

TEST(MenuModel, EveryChangeBelowAMenuReachesItsObserversAndThoseAbove) {
    const std::vector<std::pair<std::string, std::function<void(Tree&)>>> changes = {
        {"title", [](Tree& t) { t.open->setTitle("Open…"); }},
        {"key equivalent", [](Tree& t) { t.open->setKeyEquivalent("p"); }},
        {"modifiers", [](Tree& t) { t.open->setKeyEquivalentModifierMask(pa::modifierOption); }},
        {"tag", [](Tree& t) { t.open->setTag(4); }},
        {"represented object", [](Tree& t) { t.open->setRepresentedObject(7); }},
        {"state", [](Tree& t) { t.open->setState(ControlStateValue::on); }},
        {"image", [](Tree& t) { t.open->setImageName("RecentFolder"); }},
        {"enabled", [](Tree& t) { t.open->setEnabled(false); }},
        {"hidden", [](Tree& t) { t.open->setHidden(true); }},
        {"action", [](Tree& t) { t.open->setAction([](MenuItem&) {}); }},
        {"item added", [](Tree& t) { t.file->addItem(MenuItem::separatorItem()); }},
        {"item removed", [](Tree& t) { t.file->removeItem(t.open); }},
        {"all removed", [](Tree& t) { t.file->removeAllItems(); }},
    };
    for (const auto& [name, change] : changes) {
        SCOPED_TRACE(name);
        Tree tree;
        change(tree);
        EXPECT_EQ(tree.notices, (std::vector<std::string>{"file<-File", "main<-Main"}));
    }
}

TEST(MenuModel, ItemsBelongToOneMenuAndForgetItWhenRemoved) {
    Tree tree;
    auto other = Menu::make("Other");
    other->addItem(tree.open);  // moves it
    EXPECT_EQ(tree.file->numberOfItems(), 0u);
    EXPECT_EQ(tree.open->menu(), other);
    EXPECT_EQ(tree.notices, (std::vector<std::string>{"file<-File", "main<-Main"}));

    tree.notices.clear();
    other->removeAllItems();
    EXPECT_EQ(tree.open->menu(), nullptr);
    tree.open->setTitle("gone");  // tells nobody
    EXPECT_TRUE(tree.notices.empty());

    // A removed submenu stops reporting upwards.
    tree.main->removeItem(tree.fileItem);
    tree.notices.clear();
    tree.file->addItem(MenuItem::make("New"));
    EXPECT_EQ(tree.notices, (std::vector<std::string>{"file<-File"}));
    EXPECT_EQ(tree.file->supermenu(), nullptr);

    auto a = MenuItem::make("A"), b = MenuItem::make("B"), c = MenuItem::make("C");
    other->addItem(a);
    other->addItem(c);
    other->insertItem(b, 1);
    other->insertItem(MenuItem::make("Z"), 99);  // past the end: appended
    EXPECT_EQ(other->itemAt(1), b);
    EXPECT_EQ(other->itemWithTitle("Z"), other->itemAt(3));
    EXPECT_EQ(other->indexOfItem(*c), 2u);
    EXPECT_EQ(other->itemAt(9), nullptr);
}

TEST(MenuModel, KeyEquivalentsMatchOnlyItemsThatCanBeChosen) {
    auto main = Menu::make();
    auto submenu = Menu::make("Types");
    auto holder = MenuItem::make("Types");
    holder->setSubmenu(submenu);
    main->addItem(holder);
    auto one = MenuItem::make("One", [](MenuItem&) {}, "1");
    auto optionOne = MenuItem::make("Option One", [](MenuItem&) {}, "1");
    optionOne->setKeyEquivalentModifierMask(pa::modifierCommand | pa::modifierOption);
    auto disabled = MenuItem::make("Two", [](MenuItem&) {}, "2");
    disabled->setEnabled(false);
    auto hidden = MenuItem::make("Three", [](MenuItem&) {}, "3");
    hidden->setHidden(true);
    for (auto& item : {one, optionOne, disabled, hidden}) submenu->addItem(item);

    const struct {
        std::string key;
        std::uint32_t mask;
        MenuItemPtr expected;
    } cases[] = {
        {"1", pa::modifierCommand, one},
        {"1", pa::modifierCommand | pa::modifierOption, optionOne},
        {"1", pa::modifierOption, nullptr},
        {"2", pa::modifierCommand, nullptr},
        {"3", pa::modifierCommand, nullptr},
        {"", pa::modifierCommand, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key + " " + std::to_string(c.mask));
        EXPECT_EQ(main->itemForKeyEquivalent(c.key, c.mask), c.expected);
    }
    EXPECT_FALSE(disabled->performAction());
    EXPECT_TRUE(one->performAction());
}

TEST(MenuModel, AnActionMayRebuildTheMenuThatHoldsIt) {
    auto menu = Menu::make();
    int runs = 0;
    std::function<void()> rebuild = [&] {
        menu->removeAllItems();
        for (int i = 0; i < 3; ++i) {
            menu->addItem(MenuItem::make("Item " + std::to_string(i), [&](MenuItem& sender) {
                ++runs;
                EXPECT_EQ(sender.title(), "Item 1");  // still readable after its menu dropped it
                rebuild();
                EXPECT_EQ(sender.menu(), nullptr);
            }));
        }
    };
    rebuild();
    auto item = menu->itemAt(1);
    std::weak_ptr<MenuItem> weak = item;
    item.reset();
    EXPECT_TRUE(menu->itemAt(1)->performAction());
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(menu->numberOfItems(), 3u);
}

}  // namespace
