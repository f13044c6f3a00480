#include "platform/appkit/qt/alert.hpp"

#include "platform/appkit/qt/application.hpp"
#include "platform/appkit/qt/life_cycle.hpp"
#include "platform/appkit/qt/window.hpp"

#include <QPushButton>

#include <algorithm>

namespace platform::appkit::qt {

namespace {

QMessageBox::Icon icon(AlertStyle style) {
    switch (style) {
        case AlertStyle::informational: return QMessageBox::Information;
        case AlertStyle::critical: return QMessageBox::Critical;
        case AlertStyle::warning: break;
    }
    return QMessageBox::Warning;
}

}  // namespace

int Alert::runModal() const {
    // Nobody answers an alert once the application ends (a log-out, SIGTERM): what asks
    // one then has its cancelling answer at once, and the end is not held.
    const auto* cycle = LifeCycle::shared();
    const std::size_t choices = std::max<std::size_t>(buttons.size(), 1);
    if (cycle && cycle->isEnding()) return kAlertFirstButtonReturn + static_cast<int>(choices) - 1;
    // A dialog of the main window: above it and centred on it, wherever it stands.
    QMessageBox box(Application::visibleMainWindow());
    box.setIcon(icon(style));
    box.setText(QString::fromStdString(messageText));
    box.setInformativeText(QString::fromStdString(informativeText));
    box.setWindowModality(Qt::ApplicationModal);
    std::vector<QAbstractButton*> added;
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        const auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
        added.push_back(box.addButton(QString::fromStdString(buttons[i]), role));
    }
    // Without buttons of its own the alert has the toolkit's OK, in the user's language.
    if (added.empty()) added.push_back(box.addButton(QMessageBox::Ok));
    box.setDefaultButton(static_cast<QPushButton*>(added[defaultButton < added.size() ? defaultButton : 0]));
    box.setEscapeButton(added.back());
    keepTitleWhole(box);
    waitUntilOnScreen(box.parentWidget(), box);
    box.exec();
    for (std::size_t i = 0; i < added.size(); ++i) {
        if (box.clickedButton() == added[i]) return kAlertFirstButtonReturn + static_cast<int>(i);
    }
    return kAlertFirstButtonReturn + static_cast<int>(added.size()) - 1;
}

QMessageBox* presentError(QWidget* window, const std::string& description, const std::string& informative) {
    auto* box = new QMessageBox(QMessageBox::Warning, QString(), QString::fromStdString(description),
                                QMessageBox::Ok, window ? window->window() : nullptr);
    if (!informative.empty()) box->setInformativeText(QString::fromStdString(informative));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    keepTitleWhole(*box);
    openWhenOnScreen(box->parentWidget(), *box, [box] { box->open(); });
    return box;
}

}  // namespace platform::appkit::qt
