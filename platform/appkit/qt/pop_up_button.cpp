#include "platform/appkit/qt/pop_up_button.hpp"

namespace platform::appkit::qt {

PopUpButton::PopUpButton(QWidget* parent) : QComboBox(parent) {
    // `activated` comes from the user only; `currentIndexChanged` would also fire for code.
    connect(this, &QComboBox::activated, this, [this](int) {
        if (auto action = action_) action(*this);
    });
}

}  // namespace platform::appkit::qt
