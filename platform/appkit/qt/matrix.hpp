#pragma once
// Stands in for the platform's one-column radio matrix: rows of radio buttons whose
// titles may show one bold run, one selected row (or none), rows enabled one by one.
#include <QButtonGroup>
#include <QFont>
#include <QLabel>
#include <QRadioButton>
#include <QWidget>

#include <optional>
#include <string>
#include <vector>

namespace platform::appkit::qt {

class Matrix : public QWidget {
public:
    explicit Matrix(int rows, QWidget* parent = nullptr);

    int numberOfRows() const { return static_cast<int>(rows_.size()); }

    // Shows `title` in `regular`, with the first occurrence of `highlight` in `bold`;
    // a highlight that is empty or absent from the title leaves it all regular.
    void setRowTitle(int row, const std::string& title, const std::string& highlight, const QFont& regular,
                     const QFont& bold);
    std::string rowTitle(int row) const;
    // The bold run as shown; empty when none.
    std::string rowHighlight(int row) const;
    // The title's width on one line, in the fonts it is shown in.
    qreal rowTitleWidth(int row) const;

    std::optional<int> selectedRow() const;
    // Selects `row` (any other: none selected).
    void selectRow(int row);
    void setRowEnabled(int row, bool enabled);
    bool isRowEnabled(int row) const;

    QRadioButton* rowButton(int row) const;
    QLabel* rowLabel(int row) const;

private:
    struct Row {
        QRadioButton* button = nullptr;
        QLabel* label = nullptr;
        std::string title;
        std::string before, highlight, after;
        QFont regular, bold;
    };
    bool eventFilter(QObject* watched, QEvent* event) override;

    std::vector<Row> rows_;
    QButtonGroup group_;
};

}  // namespace platform::appkit::qt
