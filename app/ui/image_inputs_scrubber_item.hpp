#pragma once
// A Touch Bar item that shows a list of pictures in a scrubber and reports the one the
// user picks.
#include "app/foundation/image_holder.hpp"
#include "platform/appkit/touch_bar.hpp"

#include <memory>
#include <vector>

namespace gw {

class ImageInputsScrubberItem;

class ImageInputsScrubberItemDelegate {
public:
    virtual ~ImageInputsScrubberItemDelegate() = default;
    virtual void imageInputsScrubberItem(ImageInputsScrubberItem& item, std::size_t didSelectIndex) = 0;
};

class ImageInputsScrubberItem : public platform::appkit::CustomTouchBarItem,
                                public platform::appkit::ScrubberDataSource,
                                public platform::appkit::ScrubberDelegate,
                                public std::enable_shared_from_this<ImageInputsScrubberItem> {
public:
    // A flow scrubber in free mode, outlined selection, this item as its data source and
    // delegate, and as the item's view.
    static std::shared_ptr<ImageInputsScrubberItem> make(platform::appkit::TouchBarItemIdentifier identifier);

    const std::shared_ptr<platform::appkit::Scrubber>& scrubber() const { return scrubber_; }
    std::vector<std::shared_ptr<ImageHolder>> imageInputs;
    std::weak_ptr<ImageInputsScrubberItemDelegate> delegate;
    long selectedIndex() const { return scrubber_->selectedIndex(); }
    void setSelectedIndex(long index) { scrubber_->setSelectedIndex(index); }
    // The item's own bindings ("selectedIndex"), ended with it.
    platform::appkit::Bindings& bindings() { return bindings_; }

    std::size_t numberOfItemsForScrubber(platform::appkit::Scrubber& scrubber) override;
    platform::graphics::ImagePtr scrubberImageForItemAt(platform::appkit::Scrubber& scrubber, std::size_t index) override;
    void scrubberDidSelectItemAt(platform::appkit::Scrubber& scrubber, std::size_t index) override;

private:
    using CustomTouchBarItem::CustomTouchBarItem;
    std::shared_ptr<platform::appkit::Scrubber> scrubber_ = std::make_shared<platform::appkit::Scrubber>();
    platform::appkit::Bindings bindings_;
};

}  // namespace gw
