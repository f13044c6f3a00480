#pragma once
// Stands in for the platform's pop-up button: a list of titled items, one selected. Its
// action runs when the user chooses an item, never when code selects one.
#include <QComboBox>

#include <functional>
#include <string>

namespace platform::appkit::qt {

class PopUpButton : public QComboBox {
public:
    using Action = std::function<void(PopUpButton& sender)>;

    explicit PopUpButton(QWidget* parent = nullptr);

    void setAction(Action action) { action_ = std::move(action); }
    void removeAllItems() { clear(); }
    void addItemWithTitle(const std::string& title) { addItem(QString::fromStdString(title)); }
    int numberOfItems() const { return count(); }
    std::string itemTitleAt(int index) const { return itemText(index).toStdString(); }
    void selectItemAtIndex(int index) { setCurrentIndex(index); }
    // -1 when nothing is selected.
    int indexOfSelectedItem() const { return currentIndex(); }

private:
    Action action_;
};

}  // namespace platform::appkit::qt
