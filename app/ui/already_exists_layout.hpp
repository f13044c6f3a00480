#pragma once
// What the two already-exists windows share: their fonts, their controls below the option
// rows, and the option titles.
#include "app/engine/file_writing_validators.hpp"
#include "platform/appkit/qt/matrix.hpp"
#include "platform/appkit/qt/window.hpp"

#include <QCheckBox>
#include <QFont>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <functional>
#include <string>

namespace gw::ui {

// The system font at 13, regular and bold. Sizes are in logical pixels: the window's
// measures (the width rule's margin and height) are in the same unit.
QFont promptFont(bool bold);

// The bottom of a prompt: the always box, then Cancel and Continue (the default).
struct PromptButtons {
    QCheckBox* alwaysButton = nullptr;
    QPushButton* cancelButton = nullptr;
    QPushButton* continueButton = nullptr;
};
PromptButtons addPromptButtons(platform::appkit::qt::Window& window, QVBoxLayout& layout);

// The window's column, with the detail text at its top.
struct PromptTop {
    QVBoxLayout* layout = nullptr;
    QLabel* detailTextField = nullptr;
};
PromptTop addPromptTop(QWidget& window);

// A caption above a row of pictures.
QLabel* makeCaption(const std::string& text, QWidget* parent);

// Sets row `row` of `matrix` to `title` with `highlight` in bold.
void setOptionTitle(platform::appkit::qt::Matrix& matrix, int row, const std::string& title,
                    const std::string& highlight);

// Fills `window` for one prompt, switches the always box off and runs the window modally;
// the answer is Continue (1) or Cancel (0), the selected row and the box. Throws when
// there is no application to run a modal loop.
AlreadyExistsAnswer runPrompt(platform::appkit::qt::Window& window, const platform::appkit::qt::Matrix& matrix,
                              QCheckBox& alwaysButton, const std::function<void()>& fill);
// The Continue (1) and Cancel (0) actions: end the application's modal loop.
void stopPrompt(int response);

}  // namespace gw::ui
