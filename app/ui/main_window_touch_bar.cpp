// The main window's Touch Bar: open, the pictures scrubber, select-all and create.
#include "app/foundation/image_wrapper.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/ui/main_window.hpp"
#include "platform/foundation/bundle.hpp"

namespace gw {

namespace pa = platform::appkit;

namespace {

// The system's alternate selected-control colour.
platform::graphics::Color alternateSelectedControlColor() { return platform::graphics::Color::rgb(0.0, 0.39, 0.88); }

}  // namespace

std::string MainViewViewController::touchBarIdentifier(std::string_view suffix) {
    return platform::foundation::Bundle::main().bundleIdentifier() + std::string(suffix);
}

std::shared_ptr<pa::TouchBar> MainViewViewController::makeTouchBar() {
    static const std::string customization = touchBarIdentifier(".main.window");
    static const std::string open = touchBarIdentifier(".open");
    static const std::string images = touchBarIdentifier(".images");
    static const std::string convert = touchBarIdentifier(".convert");
    auto bar = std::make_shared<pa::TouchBar>();
    bar->delegate = weak_from_this();
    bar->customizationIdentifier = customization;
    bar->defaultItemIdentifiers = {open, images, convert};
    bar->customizationAllowedItemIdentifiers = {open, images, convert};
    bar->principalItemIdentifier = convert;
    return bar;
}

std::shared_ptr<pa::TouchBarItem> MainViewViewController::makeItemForIdentifier(
    pa::TouchBar&, const pa::TouchBarItemIdentifier& identifier) {
    static const std::string open = touchBarIdentifier(".open");
    static const std::string images = touchBarIdentifier(".images");
    static const std::string selectAll = touchBarIdentifier(".selectAll");
    static const std::string convert = touchBarIdentifier(".convert");
    const std::weak_ptr<MainViewViewController> weak = weak_from_this();
    if (identifier == open) {
        auto item = std::make_shared<pa::CustomTouchBarItem>(identifier);
        item->setView(std::make_shared<pa::TouchBarButton>(LocalizedString::text("touch-bar.button-title.open-images"),
                                                           [weak] {
                                                               if (auto self = weak.lock()) self->imagePressed();
                                                           }));
        return item;
    }
    if (identifier == images) {
        auto item = std::make_shared<pa::CustomTouchBarItem>(identifier);
        item->customizationLabel = LocalizedString::text("touch-bar.customization-label.images");
        auto scrubber = std::make_shared<pa::Scrubber>();
        scrubber->delegate = weak_from_this();
        scrubber->dataSource = weak_from_this();
        scrubber->selectionOverlayStyle = pa::Scrubber::SelectionStyle::outlineOverlay;
        scrubber->showsAdditionalContentIndicators = true;
        item->setView(scrubber);
        scrubber_ = scrubber;
        scrubber->reloadData();
        syncScrubberSelection();
        return item;
    }
    if (identifier == selectAll) return selectAllTouchBarItem();
    if (identifier == convert) return createCatalogTouchBarItem();
    return nullptr;
}

const std::shared_ptr<pa::CustomTouchBarItem>& MainViewViewController::selectAllTouchBarItem() {
    if (!selectAllItem_) {
        const std::weak_ptr<MainViewViewController> weak = weak_from_this();
        selectAllItem_ = std::make_shared<pa::CustomTouchBarItem>(touchBarIdentifier(".selectAll"));
        selectAllItem_->setView(std::make_shared<pa::TouchBarButton>(
            LocalizedString::text("touch-bar.button-title.select-all"), [weak] {
                if (auto self = weak.lock()) self->selectAllImages();
            }));
    }
    return selectAllItem_;
}

const std::shared_ptr<pa::CustomTouchBarItem>& MainViewViewController::createCatalogTouchBarItem() {
    if (!createItem_) {
        const std::weak_ptr<MainViewViewController> weak = weak_from_this();
        createItem_ = std::make_shared<pa::CustomTouchBarItem>(touchBarIdentifier(".convert"));
        auto button = std::make_shared<pa::TouchBarButton>(LocalizedString::text("main.button.title.create-catalog"),
                                                           [weak] {
                                                               if (auto self = weak.lock()) self->createAssetCatalogPressed();
                                                           });
        button->setBezelColor(alternateSelectedControlColor());
        createItem_->setView(button);
    }
    return createItem_;
}

pa::TouchBarButton& MainViewViewController::createCatalogTouchBarButton() {
    return static_cast<pa::TouchBarButton&>(*createCatalogTouchBarItem()->view());
}

std::size_t MainViewViewController::numberOfItemsForScrubber(pa::Scrubber&) {
    return glyphwright_ ? glyphwright_->imageInputs().size() : 0;
}

platform::graphics::ImagePtr MainViewViewController::scrubberImageForItemAt(pa::Scrubber&, std::size_t index) {
    if (!glyphwright_) return nullptr;
    const auto inputs = glyphwright_->imageInputs();
    if (index >= inputs.size()) return nullptr;
    const auto wrapper = inputs[index]->imageWrapper();
    return wrapper ? wrapper->image() : nullptr;
}

void MainViewViewController::scrubberDidSelectItemAt(pa::Scrubber&, std::size_t index) {
    if (!glyphwright_) return;
    if (const auto& controller = glyphwright_->collectionViewArrayController()) controller->setSelectionIndexes({index});
}

void MainViewViewController::syncScrubberSelection() {
    if (!scrubber_) return;
    const auto& controller = glyphwright_ ? glyphwright_->collectionViewArrayController() : nullptr;
    const auto indexes = controller ? controller->selectionIndexes() : std::set<std::size_t>{};
    if (indexes.size() >= 2) {
        scrubber_->setSelectedIndex(-1);
    } else {
        scrubber_->setSelectedIndex(indexes.empty() ? (controller ? -1 : 0) : static_cast<long>(*indexes.begin()));
    }
}

void MainViewViewController::refreshTouchBar() {
    if (!scrubber_ || !glyphwright_) return;
    scrubber_->reloadData();
    syncScrubberSelection();
    auto& button = static_cast<pa::TouchBarButton&>(*selectAllTouchBarItem()->view());
    const bool single = glyphwright_->imageInputCollectionType() == CollectionType::single;
    const bool allSelected = glyphwright_->selectedImageInputs().size() == glyphwright_->imageInputs().size();
    button.setHidden(single || allSelected);
}

}  // namespace gw
