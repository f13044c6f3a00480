#pragma once
// Keeps the output-type submenus of the menu bar and the main window's output-type pop-up
// in agreement, starts from the type saved in "IconType", and hands every choice to its
// delegate (the engine). It never writes "IconType" itself.
#include "app/definitions/conversion_output_type.hpp"
#include "app/engine/glyphwright_delegate.hpp"
#include "platform/appkit/menu.hpp"
#include "platform/appkit/qt/pop_up_button.hpp"

#include <QPointer>

#include <memory>

namespace gw {

class OutputTypeSelectionHandler : public OutputTypeSelecting,
                                   public std::enable_shared_from_this<OutputTypeSelectionHandler> {
public:
    // Starts from "IconType"; a value that is no output type's raw value starts at iOSIcon
    // (and is logged). Owned by a shared pointer: the controls reach it weakly.
    static std::shared_ptr<OutputTypeSelectionHandler> make() { return std::make_shared<OutputTypeSelectionHandler>(); }
    OutputTypeSelectionHandler();

    platform::appkit::MenuItemPtr menuItem() const { return menuItem_.lock(); }
    void setMenuItem(const platform::appkit::MenuItemPtr& item);
    platform::appkit::qt::PopUpButton* outputTypePopUpButton() const { return outputTypePopUpButton_.data(); }
    void setOutputTypePopUpButton(platform::appkit::qt::PopUpButton* button);

    void setDelegate(std::weak_ptr<OutputTypeSelectionHandlerDelegate> delegate) override { delegate_ = std::move(delegate); }
    // Rebuilds both controls; nothing while the menu item, the pop-up or the delegate is missing.
    void updateMenu() override;
    ConversionOutputType currentResizeType() const override { return currentResizeType_; }

    // Actions of the menu items and of the pop-up.
    void setTypeMenuItemPressed(platform::appkit::MenuItem* sender);
    void outputTypeSelected(platform::appkit::qt::PopUpButton* sender);

private:
    void select(ConversionOutputType type);

    std::weak_ptr<platform::appkit::MenuItem> menuItem_;
    QPointer<platform::appkit::qt::PopUpButton> outputTypePopUpButton_;
    std::weak_ptr<OutputTypeSelectionHandlerDelegate> delegate_;
    ConversionOutputType currentResizeType_ = ConversionOutputType::iOSIcon;
};

}  // namespace gw
