#include "app/ui/picture_list_answers.hpp"

#include "app/foundation/image_input.hpp"
#include "app/foundation/image_wrapper.hpp"
#include "app/foundation/pasteboard_loading.hpp"
#include "app/ui/picture_pasteboard_types.hpp"

#include <QEvent>

#include <algorithm>

namespace gw {

namespace {

// Keeps the list's largest item as large as the list (the observation of its frame).
class FrameFollower : public QObject {
public:
    explicit FrameFollower(platform::appkit::qt::CollectionView& list) : QObject(&list), list_(list) {
        setObjectName(QStringLiteral("gw.frameFollower"));
        list_.installEventFilter(this);
        follow();
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Resize) follow();
        return false;
    }

private:
    void follow() { list_.setMaxItemSize(list_.size()); }
    platform::appkit::qt::CollectionView& list_;
};

bool offersDropType(const platform::appkit::Pasteboard& pasteboard) {
    return pasteboard.availableTypeFromArray(imageDropPasteboardTypes()).has_value();
}

}  // namespace

std::vector<ImageInputPtr> droppedPictures(const PasteboardLoadResult& result) {
    std::vector<ImageInputPtr> pictures;
    for (const auto& image : result.loadedImages()) pictures.push_back(ImageInput::holding(image));
    return pictures;
}

void PictureListAnswers::setEngine(std::weak_ptr<Glyphwright> engine) {
    engine_ = std::move(engine);
    const auto strong = engine_.lock();
    std::erase_if(lists_, [](const QPointer<KeyDetectingCollectionView>& list) { return list.isNull(); });
    for (const auto& list : lists_) list->setContent(strong ? strong->collectionViewArrayController() : nullptr);
}

void PictureListAnswers::setUpList(KeyDetectingCollectionView& list) {
    list.setMinItemSize({50, 50});
    list.setMaximumNumberOfColumns(5);
    delete list.findChild<FrameFollower*>(QStringLiteral("gw.frameFollower"), Qt::FindDirectChildrenOnly);
    new FrameFollower(list);
    list.keyDownDelegate = weak_from_this();
    const std::weak_ptr<PictureListAnswers> weak = weak_from_this();
    list.setItemFactory([weak](QWidget* parent) {
        auto* item = new OLVImageCollectionViewItem(parent);
        auto* cell = item->view();
        QObject::connect(cell->deleteButton, &QPushButton::clicked, cell, [weak, cell] {
            if (const auto answers = weak.lock()) answers->deleteMultipleImagePressed(cell->imageInput());
        });
        return item;
    });
    list.setDropValidator([](const platform::appkit::Pasteboard& pasteboard, platform::appkit::qt::DropPosition&,
                             bool) { return offersDropType(pasteboard); });
    list.setDropAcceptor([weak](const platform::appkit::Pasteboard& pasteboard,
                                const platform::appkit::qt::DropPosition& position, bool) {
        const bool offers = offersDropType(pasteboard);
        loadImages(pasteboard, completionFor(std::weak_ptr<IndexedDropTarget>(weak.lock()), position.index));
        return offers;
    });
    if (const auto engine = engine_.lock()) list.setContent(engine->collectionViewArrayController());
    if (std::find(lists_.begin(), lists_.end(), &list) == lists_.end()) lists_.emplace_back(&list);
}

void PictureListAnswers::setUpWell(MyImageView& well) { well.delegate = weak_from_this(); }

void PictureListAnswers::deleteMultipleImagePressed(const ImageInputPtr& imageInput) {
    const auto engine = engine_.lock();
    if (!engine || !imageInput) return;
    engine->collectionViewArrayController()->removeObjects({platform::appkit::ArrayController::Element::of(imageInput)});
}

void PictureListAnswers::keyDetectingCollectionView(KeyDetectingCollectionView&,
                                                    const CollectionViewKeyCommand& command) {
    keyCommand(command);
}

void PictureListAnswers::keyDetectingCollectionView(KeyDetectingCollectionView&, QMouseEvent*) { mouseDown(); }

void PictureListAnswers::myImageViewClicked(MyImageView&) { imageWellClicked(); }

void PictureListAnswers::myImageView(MyImageView&, const PasteboardLoadResult& result) {
    handleLoadedPasteboardItems(result);
}

void PictureListAnswers::keyCommand(const CollectionViewKeyCommand& command) {
    const auto engine = engine_.lock();
    if (!engine) return;
    using Kind = CollectionViewKeyCommand::Kind;
    switch (command.kind) {
    case Kind::deleteSelection: {
        const auto& controller = engine->collectionViewArrayController();
        controller->removeObjects(controller->selectedObjects());
        break;
    }
    case Kind::selectAll:
        engine->selectAll();
        break;
    default:
        break;
    }
}

void PictureListAnswers::mouseDown() {
    const auto engine = engine_.lock();
    if (!engine) return;
    if (engine->collectionViewArrayController()->selectionIndexes().empty() && showOpenFileDialog_)
        showOpenFileDialog_();
}

void PictureListAnswers::imageWellClicked() {
    if (showOpenFileDialog_) showOpenFileDialog_();
}

void PictureListAnswers::handleLoadedPasteboardItems(const PasteboardLoadResult& result, std::size_t index) {
    take(result, index, presentError_);
}

void PictureListAnswers::handleLoadedPasteboardItems(const PasteboardLoadResult& result) {
    take(result, std::nullopt, presentWellError_);
}

void PictureListAnswers::take(const PasteboardLoadResult& result, std::optional<std::size_t> index,
                              const ErrorPresenter& presenter) {
    const auto engine = engine_.lock();
    switch (result.kind()) {
    case PasteboardLoadResult::Kind::images:
        if (!engine) return;
        engine->insert(droppedPictures(result), index);
        break;
    case PasteboardLoadResult::Kind::fileURLs:
        if (!engine) return;
        // Read off the main thread: large pictures take seconds to decode.
        engine->addImagesInBackground(result.urls(), index, [presenter](std::exception_ptr error) {
            if (presenter) presenter(std::move(error));
        });
        break;
    case PasteboardLoadResult::Kind::failure:
        if (presenter) presenter(result.error());
        break;
    }
}

}  // namespace gw
