#pragma once
// The small views of the layer editor: one layer drawn on the canvas, the row of one
// layer in the layer list and its item.
#include "app/foundation/image_input.hpp"
#include "platform/appkit/qt/collection_view.hpp"
#include "platform/appkit/qt/image_view.hpp"

#include <QPushButton>
#include <QWidget>

#include <optional>
#include <vector>

namespace gw {

// One layer on the canvas: the picture stretched on both axes to the view's size, drawn
// as an image view draws it (a large picture off the main thread: a stack of photographs
// must not stop the window at each repaint). The four placement values are stored here
// and applied by the canvas layout: width, height, and the view's centre from the
// canvas's left and top edges.
class LayerImageView : public platform::appkit::qt::ImageView {
public:
    LayerImageView(ImageInputPtr imageInput, QWidget* parent = nullptr);

    const ImageInputPtr& imageInput() const { return imageInput_; }
    // Made for the same picture object.
    bool isEqual(const LayerImageView& other) const { return imageInput_ == other.imageInput_; }

    std::optional<double> leftConstraint, topConstraint, widthConstraint, heightConstraint;
    // The geometry the four values give (a missing value counts as 0).
    QRect placedGeometry() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    ImageInputPtr imageInput_;
};

// The row of one layer in the layer list: its picture, its name and a delete button. The
// delete button sits two levels below the row, inside the row's content box.
class CollectionViewLayerCell : public QWidget {
public:
    explicit CollectionViewLayerCell(QWidget* parent = nullptr);

    const ImageInputPtr& imageInput() const { return imageInput_; }
    void setImageInput(ImageInputPtr imageInput);
    QPushButton* deleteButton() const { return deleteButton_; }
    void setDeleteButton(QPushButton* button) { deleteButton_ = button; }
    bool selected() const { return selected_; }
    void setSelected(bool selected);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    ImageInputPtr imageInput_;
    QPushButton* deleteButton_ = nullptr;
    bool selected_ = false;
    QWidget* content_;
    class ThumbnailView;
    ThumbnailView* thumbnail_;
};

class LayerCollectionViewItem : public platform::appkit::qt::CollectionViewItem {
public:
    explicit LayerCollectionViewItem(QWidget* parent = nullptr);
    CollectionViewLayerCell* view() const { return cell_; }
    void setSelected(bool selected) override;
    void setRepresentedObject(const platform::appkit::ArrayController::Element& object) override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    CollectionViewLayerCell* cell_;
};

// The widget's ancestors, nearest first; empty for a top-level widget.
std::vector<QWidget*> superviews(const QWidget& view);

}  // namespace gw
