#pragma once
// Stands in for the platform's menus and menu items: a tree of menus whose items carry a
// title, an action, a key equivalent with its modifier mask, a tag, a represented object,
// a check state, an image name, an optional submenu, and enabled/hidden flags. No toolkit
// here: the desktop layer renders a menu into its menu bar and re-renders it when told
// that something changed.
//
// Change notices: every change of an item, or of the items of a menu, tells the menu's
// observers and then those of every menu above it. Main thread only.
#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::appkit {

class Menu;
class MenuItem;
using MenuPtr = std::shared_ptr<Menu>;
using MenuItemPtr = std::shared_ptr<MenuItem>;

// The modifier keys of a key equivalent. Command becomes Ctrl and Option becomes Alt on
// the desktop here.
enum ModifierFlags : std::uint32_t {
    modifierNone = 0,
    modifierShift = 1u << 0,
    modifierControl = 1u << 1,
    modifierOption = 1u << 2,
    modifierCommand = 1u << 3,
};

enum class ControlStateValue { off = 0, on = 1, mixed = -1 };

class MenuItem : public std::enable_shared_from_this<MenuItem> {
public:
    using Action = std::function<void(MenuItem& sender)>;

    static MenuItemPtr make(std::string title, Action action = {}, std::string keyEquivalent = {});
    static MenuItemPtr separatorItem();

    const std::string& title() const { return title_; }
    void setTitle(std::string title);
    const Action& action() const { return action_; }
    void setAction(Action action);
    // Lower-case text of the key ("1", "q"); empty: none.
    const std::string& keyEquivalent() const { return keyEquivalent_; }
    void setKeyEquivalent(std::string key);
    std::uint32_t keyEquivalentModifierMask() const { return modifierMask_; }
    void setKeyEquivalentModifierMask(std::uint32_t mask);
    std::int64_t tag() const { return tag_; }
    void setTag(std::int64_t tag);
    const std::any& representedObject() const { return representedObject_; }
    void setRepresentedObject(std::any object);
    ControlStateValue state() const { return state_; }
    void setState(ControlStateValue state);
    // A bundle image by name; empty: none.
    const std::string& imageName() const { return imageName_; }
    void setImageName(std::string name);
    bool isSeparatorItem() const { return separator_; }
    const MenuPtr& submenu() const { return submenu_; }
    bool hasSubmenu() const { return submenu_ != nullptr; }
    void setSubmenu(MenuPtr submenu);
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled);
    bool isHidden() const { return hidden_; }
    void setHidden(bool hidden);
    // The menu holding this item; null when it is in none.
    MenuPtr menu() const { return menu_.lock(); }

    // Runs the action with this item as sender when the item is enabled and has one.
    // Returns whether it ran.
    bool performAction();

private:
    friend class Menu;
    MenuItem() = default;
    void changed();

    std::string title_;
    Action action_;
    std::string keyEquivalent_;
    std::uint32_t modifierMask_ = modifierCommand;
    std::int64_t tag_ = 0;
    std::any representedObject_;
    ControlStateValue state_ = ControlStateValue::off;
    std::string imageName_;
    bool separator_ = false;
    MenuPtr submenu_;
    bool enabled_ = true;
    bool hidden_ = false;
    std::weak_ptr<Menu> menu_;
};

class Menu : public std::enable_shared_from_this<Menu> {
public:
    using Observer = std::function<void(Menu& changed)>;

    static MenuPtr make(std::string title = {});

    const std::string& title() const { return title_; }
    void setTitle(std::string title);

    const std::vector<MenuItemPtr>& items() const { return items_; }
    std::size_t numberOfItems() const { return items_.size(); }
    MenuItemPtr itemAt(std::size_t index) const;
    std::optional<std::size_t> indexOfItem(const MenuItem& item) const;
    MenuItemPtr itemWithTitle(std::string_view title) const;

    // An item already in a menu is taken out of that one first.
    void addItem(MenuItemPtr item);
    void insertItem(MenuItemPtr item, std::size_t index);
    void removeItem(const MenuItemPtr& item);
    void removeItemAt(std::size_t index);
    void removeAllItems();

    // The menu whose item holds this one as submenu; null at the top.
    MenuPtr supermenu() const { return supermenu_.lock(); }

    // Told after every change here or below; returns a token for removeObserver.
    int addObserver(Observer observer);
    void removeObserver(int token);

    // Every enabled, visible item of this tree (submenus entered) whose key equivalent
    // and modifier mask match; the first one found, depth first, or null.
    MenuItemPtr itemForKeyEquivalent(std::string_view key, std::uint32_t modifiers) const;

private:
    friend class MenuItem;
    Menu() = default;
    void adopt(const MenuItemPtr& item);
    void release(MenuItem& item);
    void changed();

    std::string title_;
    std::vector<MenuItemPtr> items_;
    std::weak_ptr<Menu> supermenu_;
    std::vector<std::pair<int, Observer>> observers_;
    int nextToken_ = 1;
};

}  // namespace platform::appkit
