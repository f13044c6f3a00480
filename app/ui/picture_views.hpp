#pragma once
// The picture well and the picture lists of the main window, their cells, and the
// layer editor's list, which is the same kind of list.
#include "app/foundation/image_input.hpp"
#include "app/foundation/ui_contracts.hpp"
#include "platform/appkit/qt/collection_view.hpp"
#include "platform/appkit/qt/image_view.hpp"

#include <QPushButton>

#include <memory>

namespace gw {

using CollectionViewKeyCommand = platform::appkit::qt::CollectionViewKeyCommand;
class KeyDetectingCollectionView;

class KeyDetectingCollectionViewDelegate {
public:
    virtual ~KeyDetectingCollectionViewDelegate() = default;
    virtual void keyDetectingCollectionView(KeyDetectingCollectionView& view, const CollectionViewKeyCommand& command) = 0;
    virtual void keyDetectingCollectionView(KeyDetectingCollectionView& view, QMouseEvent* mouseDown) = 0;
};

// A collection view whose key commands, pinches and mouse-downs go to a delegate. Without
// one the commands do nothing.
class KeyDetectingCollectionView : public platform::appkit::qt::CollectionView {
public:
    explicit KeyDetectingCollectionView(QWidget* parent = nullptr);
    std::weak_ptr<KeyDetectingCollectionViewDelegate> keyDownDelegate;

protected:
    void sendKeyCommand(const CollectionViewKeyCommand& command) override;
};

class MyImageView;

class MyImageViewDelegate {
public:
    virtual ~MyImageViewDelegate() = default;
    virtual void myImageViewClicked(MyImageView& view) = 0;
    virtual void myImageView(MyImageView& view, const PasteboardLoadResult& didLoadPasteboardItems) = 0;
};

// The large picture well: takes dropped pictures and files, and a click asks its
// delegate (which opens the open-file dialog).
class MyImageView : public platform::appkit::qt::ImageView {
public:
    explicit MyImageView(QWidget* parent = nullptr);
    ~MyImageView() override;
    std::weak_ptr<MyImageViewDelegate> delegate;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    class LoadTarget;
    // Held by this view only: the loader holds it weakly, so a result arriving after the
    // view is gone reaches no one.
    std::shared_ptr<LoadTarget> loadTarget_;
};

// One picture of a list: the picture, a rounded selection fill and a delete button shown
// while the pointer is inside.
class CollectionViewImageCell : public QWidget {
public:
    explicit CollectionViewImageCell(QWidget* parent = nullptr);

    QPushButton* deleteButton = nullptr;
    platform::appkit::qt::ImageView* imageView = nullptr;

    bool selected() const { return selected_; }
    void setSelected(bool selected);
    const ImageInputPtr& imageInput() const { return imageInput_; }
    void setImageInput(ImageInputPtr imageInput);
    bool deleteButtonVisible() const { return deleteButtonVisible_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void setDeleteButtonVisible(bool visible);

    bool selected_ = false;
    ImageInputPtr imageInput_;
    bool deleteButtonVisible_ = true;
};

// The item of a picture list; its view is a CollectionViewImageCell.
class OLVImageCollectionViewItem : public platform::appkit::qt::CollectionViewItem {
public:
    explicit OLVImageCollectionViewItem(QWidget* parent = nullptr);
    CollectionViewImageCell* view() const { return cell_; }
    void setSelected(bool selected) override;
    void setRepresentedObject(const platform::appkit::ArrayController::Element& object) override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    CollectionViewImageCell* cell_;
};

}  // namespace gw
