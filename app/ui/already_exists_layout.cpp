#include "app/ui/already_exists_layout.hpp"

#include "app/foundation/localized_string.hpp"
#include "platform/appkit/qt/application.hpp"

#include <QApplication>
#include <QHBoxLayout>

namespace gw::ui {

QFont promptFont(bool bold) {
    QFont font = QApplication::font();
    font.setPixelSize(13);
    font.setBold(bold);
    return font;
}

PromptButtons addPromptButtons(platform::appkit::qt::Window& window, QVBoxLayout& layout) {
    PromptButtons buttons;
    buttons.alwaysButton = new QCheckBox(QString::fromStdString(LocalizedString::text("already-exists.always-button")),
                                         &window);
    buttons.alwaysButton->setFont(promptFont(false));
    // Only its indicator and text take clicks: no wider than they are.
    layout.addWidget(buttons.alwaysButton, 0, Qt::AlignLeft);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    buttons.cancelButton =
        new QPushButton(QString::fromStdString(LocalizedString::text("already-exists.button.cancel")), &window);
    buttons.continueButton =
        new QPushButton(QString::fromStdString(LocalizedString::text("already-exists.button.continue")), &window);
    buttons.continueButton->setDefault(true);
    row->addWidget(buttons.cancelButton);
    row->addWidget(buttons.continueButton);
    layout.addLayout(row);
    window.setDefaultButton(buttons.continueButton);
    window.setCancelButton(buttons.cancelButton);
    return buttons;
}

PromptTop addPromptTop(QWidget& window) {
    PromptTop top;
    top.layout = new QVBoxLayout(&window);
    top.layout->setContentsMargins(20, 16, 20, 16);
    top.layout->setSpacing(10);
    top.detailTextField = new QLabel(&window);
    top.detailTextField->setTextFormat(Qt::PlainText);
    top.detailTextField->setWordWrap(true);
    top.detailTextField->setFont(promptFont(false));
    top.layout->addWidget(top.detailTextField);
    return top;
}

QLabel* makeCaption(const std::string& text, QWidget* parent) {
    auto* label = new QLabel(QString::fromStdString(text), parent);
    label->setFont(promptFont(true));
    return label;
}

void setOptionTitle(platform::appkit::qt::Matrix& matrix, int row, const std::string& title,
                    const std::string& highlight) {
    matrix.setRowTitle(row, title, highlight, promptFont(false), promptFont(true));
}

AlreadyExistsAnswer runPrompt(platform::appkit::qt::Window& window, const platform::appkit::qt::Matrix& matrix,
                              QCheckBox& alwaysButton, const std::function<void()>& fill) {
    auto* app = platform::appkit::qt::Application::shared();
    if (!app) throw AlreadyExistsPromptUnavailableError();
    fill();
    alwaysButton.setChecked(false);
    AlreadyExistsAnswer answer;
    answer.response = app->runModal(window);
    window.orderOut();
    answer.selectedRow = matrix.selectedRow();
    answer.alwaysButton = alwaysButton.isChecked();
    return answer;
}

void stopPrompt(int response) {
    if (auto* app = platform::appkit::qt::Application::shared()) app->stopModal(response);
}

}  // namespace gw::ui
