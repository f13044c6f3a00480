#include "platform/appkit/menu.hpp"

#include <algorithm>

namespace platform::appkit {

MenuItemPtr MenuItem::make(std::string title, Action action, std::string keyEquivalent) {
    MenuItemPtr item(new MenuItem);
    item->title_ = std::move(title);
    item->action_ = std::move(action);
    item->keyEquivalent_ = std::move(keyEquivalent);
    return item;
}

MenuItemPtr MenuItem::separatorItem() {
    MenuItemPtr item(new MenuItem);
    item->separator_ = true;
    item->enabled_ = false;
    return item;
}

void MenuItem::changed() {
    if (auto menu = menu_.lock()) menu->changed();
}

void MenuItem::setTitle(std::string title) {
    title_ = std::move(title);
    changed();
}
void MenuItem::setAction(Action action) {
    action_ = std::move(action);
    changed();
}
void MenuItem::setKeyEquivalent(std::string key) {
    keyEquivalent_ = std::move(key);
    changed();
}
void MenuItem::setKeyEquivalentModifierMask(std::uint32_t mask) {
    modifierMask_ = mask;
    changed();
}
void MenuItem::setTag(std::int64_t tag) {
    tag_ = tag;
    changed();
}
void MenuItem::setRepresentedObject(std::any object) {
    representedObject_ = std::move(object);
    changed();
}
void MenuItem::setState(ControlStateValue state) {
    state_ = state;
    changed();
}
void MenuItem::setImageName(std::string name) {
    imageName_ = std::move(name);
    changed();
}
void MenuItem::setEnabled(bool enabled) {
    enabled_ = enabled;
    changed();
}
void MenuItem::setHidden(bool hidden) {
    hidden_ = hidden;
    changed();
}

void MenuItem::setSubmenu(MenuPtr submenu) {
    if (submenu_) submenu_->supermenu_.reset();
    submenu_ = std::move(submenu);
    if (submenu_) submenu_->supermenu_ = menu_;
    changed();
}

bool MenuItem::performAction() {
    if (!enabled_ || !action_) return false;
    // The action may rebuild the menu that holds this item: keep both alive meanwhile.
    auto self = shared_from_this();
    auto action = action_;
    action(*this);
    return true;
}

MenuPtr Menu::make(std::string title) {
    MenuPtr menu(new Menu);
    menu->title_ = std::move(title);
    return menu;
}

void Menu::setTitle(std::string title) {
    title_ = std::move(title);
    changed();
}

MenuItemPtr Menu::itemAt(std::size_t index) const { return index < items_.size() ? items_[index] : nullptr; }

std::optional<std::size_t> Menu::indexOfItem(const MenuItem& item) const {
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (items_[i].get() == &item) return i;
    }
    return std::nullopt;
}

MenuItemPtr Menu::itemWithTitle(std::string_view title) const {
    for (const auto& item : items_) {
        if (item->title_ == title) return item;
    }
    return nullptr;
}

void Menu::adopt(const MenuItemPtr& item) {
    if (auto previous = item->menu_.lock()) previous->removeItem(item);
    item->menu_ = weak_from_this();
    if (item->submenu_) item->submenu_->supermenu_ = weak_from_this();
}

void Menu::release(MenuItem& item) {
    item.menu_.reset();
    if (item.submenu_) item.submenu_->supermenu_.reset();
}

void Menu::addItem(MenuItemPtr item) { insertItem(std::move(item), items_.size()); }

void Menu::insertItem(MenuItemPtr item, std::size_t index) {
    if (!item) return;
    adopt(item);
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(std::min(index, items_.size())), std::move(item));
    changed();
}

void Menu::removeItem(const MenuItemPtr& item) {
    if (!item) return;
    if (auto index = indexOfItem(*item)) removeItemAt(*index);
}

void Menu::removeItemAt(std::size_t index) {
    if (index >= items_.size()) return;
    auto item = items_[index];
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
    release(*item);
    changed();
}

void Menu::removeAllItems() {
    if (items_.empty()) return;
    auto removed = std::move(items_);
    items_.clear();
    for (auto& item : removed) release(*item);
    changed();
}

int Menu::addObserver(Observer observer) {
    const int token = nextToken_++;
    observers_.emplace_back(token, std::move(observer));
    return token;
}

void Menu::removeObserver(int token) {
    std::erase_if(observers_, [token](const auto& entry) { return entry.first == token; });
}

void Menu::changed() {
    // Keep this menu alive and work on a copy: an observer may remove itself or the menu.
    auto self = shared_from_this();
    auto observers = observers_;
    for (auto& [token, observer] : observers) observer(*this);
    if (auto super = supermenu_.lock()) super->changed();
}

MenuItemPtr Menu::itemForKeyEquivalent(std::string_view key, std::uint32_t modifiers) const {
    if (key.empty()) return nullptr;
    for (const auto& item : items_) {
        if (item->hidden_ || item->separator_) continue;
        if (item->submenu_) {
            if (auto found = item->submenu_->itemForKeyEquivalent(key, modifiers)) return found;
            continue;
        }
        if (item->enabled_ && item->keyEquivalent_ == key && item->modifierMask_ == modifiers) return item;
    }
    return nullptr;
}

}  // namespace platform::appkit
