#include "app/ui/output_type_selection_handler.hpp"

#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"
#include "app/foundation/user_defaults_key.hpp"
#include "platform/foundation/user_defaults.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace gw {

namespace pa = platform::appkit;

namespace {

ConversionOutputType savedOutputType() {
    const auto value = platform::foundation::UserDefaults::standard().objectForKey(rawValue(UserDefaultsKey::iconType));
    if (auto raw = value.asInteger()) {
        if (auto type = ConversionOutputTypes::fromRawValue(*raw)) return *type;
    }
    Logger::log(fmt::format("IconType holds no output type ({}); starting at iOSIcon", value.description()));
    return ConversionOutputType::iOSIcon;
}

std::string itemTitle(Platform platform, ConversionOutputType type) {
    return LocalizedString::mainPopupbuttonOutputtypeTitle(Platforms::displayName(platform),
                                                           ConversionOutputTypes::typeDisplayName(type));
}

}  // namespace

OutputTypeSelectionHandler::OutputTypeSelectionHandler() : currentResizeType_(savedOutputType()) { updateMenu(); }

void OutputTypeSelectionHandler::setMenuItem(const pa::MenuItemPtr& item) {
    menuItem_ = item;
    updateMenu();
}

void OutputTypeSelectionHandler::setOutputTypePopUpButton(platform::appkit::qt::PopUpButton* button) {
    outputTypePopUpButton_ = button;
    if (button) {
        std::weak_ptr<OutputTypeSelectionHandler> weak = weak_from_this();
        button->setAction([weak](platform::appkit::qt::PopUpButton& sender) {
            if (auto self = weak.lock()) self->outputTypeSelected(&sender);
        });
    }
    updateMenu();
}

void OutputTypeSelectionHandler::updateMenu() {
    auto item = menuItem_.lock();
    auto* popUp = outputTypePopUpButton_.data();
    if (!item || !popUp || delegate_.expired()) return;

    const auto& submenu = item->submenu();
    if (submenu) submenu->removeAllItems();
    popUp->removeAllItems();

    std::weak_ptr<OutputTypeSelectionHandler> weak = weak_from_this();
    int counter = 1;
    bool option = false;
    for (const auto platform : Platforms::allCases()) {
        const std::string& name = Platforms::displayName(platform);
        auto platformItem = pa::MenuItem::make(name, {}, "");
        platformItem->setSubmenu(pa::Menu::make(name));
        if (submenu) submenu->addItem(platformItem);
        for (const auto type : Platforms::outputTypes(platform)) {
            const std::string title = itemTitle(platform, type);
            auto typeItem = pa::MenuItem::make(
                title,
                [weak](pa::MenuItem& sender) {
                    if (auto self = weak.lock()) self->setTypeMenuItemPressed(&sender);
                },
                std::to_string(counter));
            typeItem->setKeyEquivalentModifierMask(option ? (pa::modifierCommand | pa::modifierOption)
                                                          : pa::modifierCommand);
            typeItem->setRepresentedObject(type);
            typeItem->setState(type == currentResizeType_ ? pa::ControlStateValue::on : pa::ControlStateValue::off);
            platformItem->submenu()->addItem(typeItem);
            if (++counter == 10) {
                counter = 1;
                option = true;
            }
            popUp->addItemWithTitle(title);
        }
    }
    const auto order = ConversionOutputTypes::allCasesByPlatform();
    const auto position = std::find(order.begin(), order.end(), currentResizeType_);
    // Selecting in code sends no action: a rebuild never chooses a type.
    popUp->selectItemAtIndex(position == order.end() ? -1 : static_cast<int>(position - order.begin()));
}

void OutputTypeSelectionHandler::select(ConversionOutputType type) {
    currentResizeType_ = type;
    if (auto delegate = delegate_.lock()) delegate->outputTypeSelectionHandler(*this, type);
    updateMenu();
}

void OutputTypeSelectionHandler::setTypeMenuItemPressed(pa::MenuItem* sender) {
    const auto* type = sender ? std::any_cast<ConversionOutputType>(&sender->representedObject()) : nullptr;
    if (!type) {
        updateMenu();
        return;
    }
    select(*type);
}

void OutputTypeSelectionHandler::outputTypeSelected(platform::appkit::qt::PopUpButton* sender) {
    if (!sender) return;
    const auto order = ConversionOutputTypes::allCasesByPlatform();
    const int index = sender->indexOfSelectedItem();
    if (index < 0 || static_cast<std::size_t>(index) >= order.size()) return;
    select(order[static_cast<std::size_t>(index)]);
}

}  // namespace gw
