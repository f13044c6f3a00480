#pragma once
// The main window's answers to its picture lists and its image well: key commands,
// clicks on empty space and loaded drops. The main window controller owns one; it
// reaches the engine weakly, so answers arriving after the engine is gone do nothing.
#include "app/engine/glyphwright.hpp"
#include "app/engine/image_creation_operation.hpp"
#include "app/foundation/ui_contracts.hpp"
#include "app/ui/picture_views.hpp"

#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include <QPointer>

namespace gw {

// The images of a loaded drop as pictures, in the order they were dragged.
std::vector<ImageInputPtr> droppedPictures(const PasteboardLoadResult& result);

class PictureListAnswers : public IndexedDropTarget,
                           public ImageWellDropTarget,
                           public KeyDetectingCollectionViewDelegate,
                           public MyImageViewDelegate,
                           public std::enable_shared_from_this<PictureListAnswers> {
public:
    using ErrorPresenter = std::function<void(std::exception_ptr)>;

    PictureListAnswers() = default;

    // The lists set up here show the new engine's pictures.
    void setEngine(std::weak_ptr<Glyphwright> engine);
    std::shared_ptr<Glyphwright> engine() const { return engine_.lock(); }
    // The open-file dialog of the application.
    void setOpenFileDialogHandler(std::function<void()> handler) { showOpenFileDialog_ = std::move(handler); }
    // The list's own error presentation (the controller's).
    void setErrorPresenter(ErrorPresenter presenter) { presentError_ = std::move(presenter); }
    // The well's delegate presentation.
    void setWellErrorPresenter(ErrorPresenter presenter) { presentWellError_ = std::move(presenter); }

    // Sets up a picture list as the main window does: drop types, item sizes (50 × 50 up
    // to the list's own size, at most five columns), these answers as its key delegate,
    // its items and its content, the engine's pictures.
    void setUpList(KeyDetectingCollectionView& list);
    // Sets up the well: these answers as its delegate.
    void setUpWell(MyImageView& well);

    // A cell's delete button: removes its picture.
    void deleteMultipleImagePressed(const ImageInputPtr& imageInput);

    void keyDetectingCollectionView(KeyDetectingCollectionView& view, const CollectionViewKeyCommand& command) override;
    void keyDetectingCollectionView(KeyDetectingCollectionView& view, QMouseEvent* mouseDown) override;
    void myImageViewClicked(MyImageView& view) override;
    void myImageView(MyImageView& view, const PasteboardLoadResult& didLoadPasteboardItems) override;

    // `delete` removes every selected picture at once; `selectAll` selects all through
    // the engine; the rest is ignored.
    void keyCommand(const CollectionViewKeyCommand& command);
    // A click in a list: with nothing selected, the open-file dialog.
    void mouseDown();
    // A click in the well.
    void imageWellClicked();

    // A list's drop: pictures inserted at `index` in the order they came (files in name
    // order), errors presented.
    void handleLoadedPasteboardItems(const PasteboardLoadResult& result, std::size_t index) override;
    // The well's drop: as a list's, appended.
    void handleLoadedPasteboardItems(const PasteboardLoadResult& result) override;

private:
    void take(const PasteboardLoadResult& result, std::optional<std::size_t> index, const ErrorPresenter& presenter);

    std::weak_ptr<Glyphwright> engine_;
    std::vector<QPointer<KeyDetectingCollectionView>> lists_;
    std::function<void()> showOpenFileDialog_;
    ErrorPresenter presentError_;
    ErrorPresenter presentWellError_;
};

}  // namespace gw
