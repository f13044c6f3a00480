#include "app/ui/image_inputs_scrubber_item.hpp"

namespace gw {

namespace pa = platform::appkit;

std::shared_ptr<ImageInputsScrubberItem> ImageInputsScrubberItem::make(pa::TouchBarItemIdentifier identifier) {
    std::shared_ptr<ImageInputsScrubberItem> item(new ImageInputsScrubberItem(std::move(identifier)));
    auto& scrubber = *item->scrubber_;
    scrubber.layout = pa::Scrubber::Layout::flow;
    scrubber.mode = pa::Scrubber::Mode::free;
    scrubber.selectionBackgroundStyle = pa::Scrubber::SelectionStyle::outlineOverlay;
    scrubber.selectionOverlayStyle = pa::Scrubber::SelectionStyle::outlineOverlay;
    scrubber.dataSource = item;
    scrubber.delegate = item;
    item->setView(item->scrubber_);
    return item;
}

std::size_t ImageInputsScrubberItem::numberOfItemsForScrubber(pa::Scrubber&) { return imageInputs.size(); }

platform::graphics::ImagePtr ImageInputsScrubberItem::scrubberImageForItemAt(pa::Scrubber&, std::size_t index) {
    return index < imageInputs.size() && imageInputs[index] ? imageInputs[index]->image() : nullptr;
}

void ImageInputsScrubberItem::scrubberDidSelectItemAt(pa::Scrubber&, std::size_t index) {
    if (const auto d = delegate.lock()) d->imageInputsScrubberItem(*this, index);
}

}  // namespace gw
