#include "platform/appkit/touch_bar.hpp"

#include "platform/foundation/user_defaults.hpp"

#include <algorithm>

namespace platform::appkit {

void TouchBarButton::setTitle(std::string title) {
    title_ = std::move(title);
    changed();
}

void TouchBarButton::setEnabled(bool enabled) {
    if (enabled_ == enabled) return;
    enabled_ = enabled;
    changed();
}

void TouchBarButton::setHidden(bool hidden) {
    if (hidden_ == hidden) return;
    hidden_ = hidden;
    changed();
}

void TouchBarButton::setBezelColor(std::optional<graphics::Color> colour) {
    bezelColor_ = std::move(colour);
    changed();
}

void TouchBarButton::press() const {
    if (enabled_ && !hidden_ && action_) action_();
}

void Scrubber::setSelectedIndex(long index) {
    selectedIndex_ = index >= 0 && static_cast<std::size_t>(index) < count_ ? index : -1;
    changed();
}

void Scrubber::reloadData() {
    const auto source = dataSource.lock();
    count_ = source ? source->numberOfItemsForScrubber(*this) : 0;
    if (selectedIndex_ >= static_cast<long>(count_)) selectedIndex_ = -1;
    changed();
}

graphics::ImagePtr Scrubber::imageForItem(std::size_t index) {
    const auto source = dataSource.lock();
    return source && index < count_ ? source->scrubberImageForItemAt(*this, index) : nullptr;
}

void Scrubber::userSelect(std::size_t index) {
    if (index >= count_) return;
    selectedIndex_ = static_cast<long>(index);
    changed();
    if (const auto d = delegate.lock()) d->scrubberDidSelectItemAt(*this, index);
}

std::string TouchBar::settingsKey(const std::string& customizationIdentifier) {
    return "TouchBarItems." + customizationIdentifier;
}

std::vector<TouchBarItemIdentifier> TouchBar::itemIdentifiers() const {
    if (!customizationIdentifier.empty()) {
        if (const auto stored = foundation::UserDefaults::standard().arrayForKey(settingsKey(customizationIdentifier))) {
            std::vector<TouchBarItemIdentifier> chosen;
            for (const auto& value : *stored)
                if (const auto* text = value.asString()) chosen.push_back(*text);
            return chosen;
        }
    }
    return defaultItemIdentifiers;
}

void TouchBar::setCustomizedItemIdentifiers(const std::vector<TouchBarItemIdentifier>& identifiers) {
    if (customizationIdentifier.empty()) return;
    foundation::Array kept;
    for (const auto& identifier : identifiers) {
        const bool allowed = std::find(customizationAllowedItemIdentifiers.begin(),
                                       customizationAllowedItemIdentifiers.end(),
                                       identifier) != customizationAllowedItemIdentifiers.end();
        if (allowed) kept.push_back(foundation::Value(identifier));
    }
    foundation::UserDefaults::standard().setObject(foundation::Value(std::move(kept)), settingsKey(customizationIdentifier));
}

void TouchBar::resetCustomization() {
    if (!customizationIdentifier.empty())
        foundation::UserDefaults::standard().removeObject(settingsKey(customizationIdentifier));
}

std::shared_ptr<TouchBarItem> TouchBar::itemForIdentifier(const TouchBarItemIdentifier& identifier) {
    if (const auto found = made_.find(identifier); found != made_.end()) return found->second;
    const auto d = delegate.lock();
    auto item = d ? d->makeItemForIdentifier(*this, identifier) : nullptr;
    if (item) made_.emplace(identifier, item);
    return item;
}

std::vector<std::shared_ptr<TouchBarItem>> TouchBar::items() {
    std::vector<std::shared_ptr<TouchBarItem>> result;
    for (const auto& identifier : itemIdentifiers()) {
        if (identifier == touchBarItemIdentifierOtherItemsProxy) continue;
        if (auto item = itemForIdentifier(identifier)) result.push_back(std::move(item));
    }
    return result;
}

}  // namespace platform::appkit
