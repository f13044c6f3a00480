#pragma once
// Stands in for the platform's alerts: a message, an informative text and buttons, run
// application-modally over the application's main window; and the presentation of an error by its description, modal to
// one window.
#include <QMessageBox>
#include <QWidget>

#include <cstddef>
#include <string>
#include <vector>

namespace platform::appkit::qt {

enum class AlertStyle { informational, warning, critical };

// The platform's first-button response; the second button gives 1001 and so on.
inline constexpr int kAlertFirstButtonReturn = 1000;

struct Alert {
    std::string messageText;
    std::string informativeText;
    // Left to right as the platform adds them: the first is the default (Return) unless
    // `defaultButton` names another; Escape presses the last.
    std::vector<std::string> buttons;
    std::size_t defaultButton = 0;
    AlertStyle style = AlertStyle::warning;

    // kAlertFirstButtonReturn + the index of the pressed button; closing the box counts
    // as the last button (the cancelling one when there are several).
    int runModal() const;
};

// Shows `description` (and `informative` below it, when given) in a box modal to `window`
// and returns at once; the box deletes itself when dismissed. The box is returned for
// callers that follow it.
QMessageBox* presentError(QWidget* window, const std::string& description, const std::string& informative = {});

}  // namespace platform::appkit::qt
