#include "platform/appkit/qt/matrix.hpp"

#include <QEvent>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QVBoxLayout>

namespace platform::appkit::qt {

namespace {

QString html(const std::string& text) { return QString::fromStdString(text).toHtmlEscaped(); }

}  // namespace

Matrix::Matrix(int rows, QWidget* parent) : QWidget(parent), group_(this) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    for (int i = 0; i < rows; ++i) {
        Row row;
        auto* line = new QHBoxLayout;
        line->setSpacing(4);
        row.button = new QRadioButton(this);
        row.label = new QLabel(this);
        row.label->setTextFormat(Qt::RichText);
        row.label->setWordWrap(false);
        // The title is part of the row: a click on it chooses the row as one on the button does.
        row.label->installEventFilter(this);
        line->addWidget(row.button);
        line->addWidget(row.label, 1);
        column->addLayout(line);
        group_.addButton(row.button, i);
        rows_.push_back(std::move(row));
    }
    group_.setExclusive(true);
}

bool Matrix::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease) {
        for (auto& row : rows_) {
            if (row.label == watched && row.button->isEnabled()) {
                row.button->click();
                return true;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void Matrix::setRowTitle(int row, const std::string& title, const std::string& highlight, const QFont& regular,
                         const QFont& bold) {
    if (row < 0 || row >= numberOfRows()) return;
    auto& r = rows_[static_cast<std::size_t>(row)];
    r.title = title;
    r.regular = regular;
    r.bold = bold;
    const auto at = highlight.empty() ? std::string::npos : title.find(highlight);
    if (at == std::string::npos) {
        r.before = title;
        r.highlight.clear();
        r.after.clear();
    } else {
        r.before = title.substr(0, at);
        r.highlight = highlight;
        r.after = title.substr(at + highlight.size());
    }
    r.label->setFont(regular);
    QString text = html(r.before);
    if (!r.highlight.empty()) text += QStringLiteral("<b>") + html(r.highlight) + QStringLiteral("</b>");
    text += html(r.after);
    r.label->setText(text);
    r.button->setAccessibleName(QString::fromStdString(title));
}

std::string Matrix::rowTitle(int row) const {
    return row >= 0 && row < numberOfRows() ? rows_[static_cast<std::size_t>(row)].title : std::string();
}

std::string Matrix::rowHighlight(int row) const {
    return row >= 0 && row < numberOfRows() ? rows_[static_cast<std::size_t>(row)].highlight : std::string();
}

qreal Matrix::rowTitleWidth(int row) const {
    if (row < 0 || row >= numberOfRows()) return 0;
    const auto& r = rows_[static_cast<std::size_t>(row)];
    const QFontMetricsF regular(r.regular), bold(r.bold);
    return regular.horizontalAdvance(QString::fromStdString(r.before)) +
           bold.horizontalAdvance(QString::fromStdString(r.highlight)) +
           regular.horizontalAdvance(QString::fromStdString(r.after));
}

std::optional<int> Matrix::selectedRow() const {
    const int id = group_.checkedId();
    if (id < 0) return std::nullopt;
    return id;
}

void Matrix::selectRow(int row) {
    if (row >= 0 && row < numberOfRows()) {
        rows_[static_cast<std::size_t>(row)].button->setChecked(true);
        return;
    }
    // An exclusive group keeps one button checked: lift the rule to clear it.
    group_.setExclusive(false);
    for (auto& r : rows_) r.button->setChecked(false);
    group_.setExclusive(true);
}

void Matrix::setRowEnabled(int row, bool enabled) {
    if (row < 0 || row >= numberOfRows()) return;
    rows_[static_cast<std::size_t>(row)].button->setEnabled(enabled);
    rows_[static_cast<std::size_t>(row)].label->setEnabled(enabled);
}

bool Matrix::isRowEnabled(int row) const {
    return row >= 0 && row < numberOfRows() && rows_[static_cast<std::size_t>(row)].button->isEnabled();
}

QRadioButton* Matrix::rowButton(int row) const {
    return row >= 0 && row < numberOfRows() ? rows_[static_cast<std::size_t>(row)].button : nullptr;
}

QLabel* Matrix::rowLabel(int row) const {
    return row >= 0 && row < numberOfRows() ? rows_[static_cast<std::size_t>(row)].label : nullptr;
}

}  // namespace platform::appkit::qt
