#pragma once
// There is no Touch Bar hardware here: this strip along a window's bottom edge shows the
// window's bar instead. Buttons are buttons; a scrubber is a row of thumbnails with an
// outline on the selected one and arrows when they do not fit. Clicks go to the model.
// The strip is hidden unless the "Show Touch Bar" setting is on.
#include "platform/appkit/menu.hpp"
#include "platform/appkit/touch_bar.hpp"

#include <QDialog>
#include <set>

#include <QPushButton>
#include <QWidget>

#include <memory>

class QHBoxLayout;
class QToolButton;

namespace platform::appkit::qt {

// The row of thumbnails of one scrubber.
class ScrubberStrip : public QWidget {
public:
    explicit ScrubberStrip(std::shared_ptr<Scrubber> scrubber, QWidget* parent = nullptr);
    const std::shared_ptr<Scrubber>& scrubber() const { return scrubber_; }
    std::size_t thumbnailCount() const { return thumbnails_.size(); }
    QWidget* thumbnail(std::size_t index) const { return index < thumbnails_.size() ? thumbnails_[index] : nullptr; }
    // Whether the arrows show (the thumbnails are wider than the strip).
    bool showsOverflowArrows() const;
    void reload();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateArrows();
    std::shared_ptr<Scrubber> scrubber_;
    QWidget* row_;
    QHBoxLayout* rowLayout_;
    QToolButton* left_;
    QToolButton* right_;
    std::vector<QWidget*> thumbnails_;
    int offset_ = 0;
};

class TouchBarStrip : public QWidget {
public:
    // The settings key of "Show Touch Bar".
    static constexpr const char* showTouchBarKey = "ShowTouchBar";
    static bool isShownInSettings();
    static void setShownInSettings(bool shown);

    // Placed along `window`'s bottom edge, as its child.
    TouchBarStrip(QWidget* window, std::shared_ptr<TouchBar> bar);
    ~TouchBarStrip() override;

    // The View menu's item: a check mark that follows the setting; choosing it turns the
    // setting over and shows or hides every strip.
    static MenuItemPtr makeShowTouchBarMenuItem(std::string title);
    // The picker of the items to show: one check box per allowed item (a button's title,
    // else the identifier). Accepting keeps the choice and shows it.
    QDialog* makeCustomizationDialog(const std::string& title);
    const std::shared_ptr<TouchBar>& bar() const { return bar_; }
    // Shows the bar's items again (after a customization).
    void rebuild();
    // The widget showing an item; null when the item is not shown.
    QWidget* widgetFor(const TouchBarItemIdentifier& identifier) const;
    QPushButton* buttonFor(const TouchBarItemIdentifier& identifier) const;
    ScrubberStrip* scrubberFor(const TouchBarItemIdentifier& identifier) const;

    static constexpr int stripHeight = 40;

    // Shown, the strip keeps its height free at the bottom of the window's contents (the
    // window's layout stops above it); hidden, it gives the room back.
    void setVisible(bool visible) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void place();
    void reserveRoom();
    int windowBottomMargin_ = 0;
    std::shared_ptr<TouchBar> bar_;
    QHBoxLayout* layout_;
    std::map<TouchBarItemIdentifier, QWidget*> widgets_;
};

}  // namespace platform::appkit::qt
