#pragma once
// The Touch Bar model without any window system: bars with their delegate and item
// lists, custom items whose view is a button or a scrubber, and the provider role of the
// objects that make a bar. The strip of the Qt side renders a window's bar and sends
// the user's clicks back here. The user's choice of items is kept in the settings per
// customization identifier.
#include "platform/appkit/binding.hpp"
#include "platform/graphics/color.hpp"
#include "platform/graphics/image.hpp"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::appkit {

using TouchBarItemIdentifier = std::string;
// Where the items of the bars further down the responder chain go.
inline constexpr std::string_view touchBarItemIdentifierOtherItemsProxy = "NSTouchBarItemIdentifierOtherItemsProxy";

// Something the strip shows; `changed` tells it to show the item again.
class TouchBarView {
public:
    virtual ~TouchBarView() = default;
    void setChangeHandler(std::function<void()> handler) { changed_ = std::move(handler); }

protected:
    void changed() const {
        if (changed_) changed_();
    }

private:
    std::function<void()> changed_;
};

class TouchBarButton : public TouchBarView {
public:
    explicit TouchBarButton(std::string title = {}, std::function<void()> action = {})
        : title_(std::move(title)), action_(std::move(action)) {}
    const std::string& title() const { return title_; }
    void setTitle(std::string title);
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled);
    bool isHidden() const { return hidden_; }
    void setHidden(bool hidden);
    const std::optional<graphics::Color>& bezelColor() const { return bezelColor_; }
    void setBezelColor(std::optional<graphics::Color> colour);
    void setAction(std::function<void()> action) { action_ = std::move(action); }
    // A press: the action runs when the button is enabled.
    void press() const;
    // The button's own bindings ("enabled"), ended with it.
    Bindings& bindings() { return bindings_; }

private:
    std::string title_;
    std::function<void()> action_;
    bool enabled_ = true;
    bool hidden_ = false;
    std::optional<graphics::Color> bezelColor_;
    Bindings bindings_;
};

class Scrubber;

class ScrubberDataSource {
public:
    virtual ~ScrubberDataSource() = default;
    virtual std::size_t numberOfItemsForScrubber(Scrubber& scrubber) = 0;
    // The picture of one item (an image item view).
    virtual graphics::ImagePtr scrubberImageForItemAt(Scrubber& scrubber, std::size_t index) = 0;
};

class ScrubberDelegate {
public:
    virtual ~ScrubberDelegate() = default;
    virtual void scrubberDidSelectItemAt(Scrubber& scrubber, std::size_t index) = 0;
};

class Scrubber : public TouchBarView {
public:
    enum class Layout { flow };
    enum class Mode { fixed, free };
    enum class SelectionStyle { none, outlineOverlay, roundedBackground };

    std::weak_ptr<ScrubberDataSource> dataSource;
    std::weak_ptr<ScrubberDelegate> delegate;
    Layout layout = Layout::flow;
    Mode mode = Mode::fixed;
    SelectionStyle selectionBackgroundStyle = SelectionStyle::none;
    SelectionStyle selectionOverlayStyle = SelectionStyle::none;
    bool showsAdditionalContentIndicators = false;

    // -1: nothing selected.
    long selectedIndex() const { return selectedIndex_; }
    // Programmatic: the delegate is not told. Out-of-range values select nothing.
    void setSelectedIndex(long index);
    // Asks the data source again.
    void reloadData();
    std::size_t numberOfItems() const { return count_; }
    graphics::ImagePtr imageForItem(std::size_t index);
    // The user picks an item: selected, then the delegate is told.
    void userSelect(std::size_t index);

private:
    long selectedIndex_ = -1;
    std::size_t count_ = 0;
};

class TouchBarItem {
public:
    explicit TouchBarItem(TouchBarItemIdentifier identifier) : identifier_(std::move(identifier)) {}
    virtual ~TouchBarItem() = default;
    const TouchBarItemIdentifier& identifier() const { return identifier_; }
    // What the customisation dialog calls the item; a button's title when empty.
    std::string customizationLabel;

private:
    TouchBarItemIdentifier identifier_;
};

// An item whose view is a button or a scrubber.
class CustomTouchBarItem : public TouchBarItem {
public:
    using TouchBarItem::TouchBarItem;
    const std::shared_ptr<TouchBarView>& view() const { return view_; }
    void setView(std::shared_ptr<TouchBarView> view) { view_ = std::move(view); }

private:
    std::shared_ptr<TouchBarView> view_;
};

class TouchBar;

class TouchBarDelegate {
public:
    virtual ~TouchBarDelegate() = default;
    // Null for an identifier the delegate does not know.
    virtual std::shared_ptr<TouchBarItem> makeItemForIdentifier(TouchBar& bar, const TouchBarItemIdentifier& identifier) = 0;
};

class TouchBar {
public:
    std::weak_ptr<TouchBarDelegate> delegate;
    std::string customizationIdentifier;
    std::vector<TouchBarItemIdentifier> defaultItemIdentifiers;
    std::vector<TouchBarItemIdentifier> customizationAllowedItemIdentifiers;
    TouchBarItemIdentifier principalItemIdentifier;

    // The user's choice for this customization identifier when there is one, else the
    // defaults.
    std::vector<TouchBarItemIdentifier> itemIdentifiers() const;
    // Keeps the user's choice (only allowed items, in the given order) in the settings.
    void setCustomizedItemIdentifiers(const std::vector<TouchBarItemIdentifier>& identifiers);
    void resetCustomization();
    // The item, made by the delegate on first use and then kept; null when it makes none.
    std::shared_ptr<TouchBarItem> itemForIdentifier(const TouchBarItemIdentifier& identifier);
    // The shown items: those of itemIdentifiers() that exist, the proxy left out.
    std::vector<std::shared_ptr<TouchBarItem>> items();

    // The settings key of a customization identifier.
    static std::string settingsKey(const std::string& customizationIdentifier);

private:
    std::map<TouchBarItemIdentifier, std::shared_ptr<TouchBarItem>> made_;
};

// An object that makes the bar of its window.
class TouchBarProvider {
public:
    virtual ~TouchBarProvider() = default;
    virtual std::shared_ptr<TouchBar> makeTouchBar() = 0;
};

}  // namespace platform::appkit
