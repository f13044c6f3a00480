#include "app/ui/layer_editing_view_controller.hpp"

#include "app/definitions/leaderboard_builder.hpp"
#include "app/engine/image_creation_operation.hpp"
#include "app/foundation/image_wrapper.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/foundation/pasteboard_loading.hpp"
#include "app/ui/picture_list_answers.hpp"
#include "app/ui/picture_pasteboard_types.hpp"
#include "app/ui/small_controls.hpp"
#include "platform/appkit/qt/alert.hpp"
#include "platform/appkit/qt/control_bindings.hpp"
#include "platform/appkit/view_appearance.hpp"
#include "platform/appkit/value_transformer.hpp"
#include "platform/foundation/bundle.hpp"

#include <QGridLayout>
#include <QPointer>
#include <QHBoxLayout>
#include <QResizeEvent>
#include <QVBoxLayout>

#include <algorithm>
#include <stdexcept>

namespace gw {

namespace pa = platform::appkit;
namespace qt = platform::appkit::qt;
namespace pg = platform::graphics;

pg::Size canvasSize(ImageStackAssetType type) {
    return type == ImageStackAssetType::appIcon ? pg::Size{400, 240} : pg::Size{659, 371};
}

std::string framePropertyName(ImageStackAssetType type) {
    return type == ImageStackAssetType::appIcon ? "tvOSAppIconlayerFrame" : "tvOSLeaderboardLayerFrame";
}

std::string panelTitle(ImageStackAssetType type) {
    return type == ImageStackAssetType::appIcon ? "tvOS App Icon" : "tvOS Leaderboard";
}

// The canvas: as wide as it is given, as high as the kind's proportions ask; a change of
// size places every layer again.
class LayerEditingViewController::Canvas : public QWidget {
public:
    explicit Canvas(LayerEditingViewController& owner) : owner_(owner) {
        QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
        setAutoFillBackground(true);
        setMinimumWidth(200);
    }
    double ratio = 400.0 / 240.0;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override { return static_cast<int>(width / ratio); }
    QSize sizeHint() const override { return {400, heightForWidth(400)}; }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        // Box layouts honour a height for width only loosely; the canvas keeps its
        // proportions itself, so the vertical scale always equals the horizontal one.
        const int height = heightForWidth(width());
        if (this->height() != height) setFixedHeight(height);
        owner_.layOutCanvas();
    }

private:
    LayerEditingViewController& owner_;
};

std::shared_ptr<LayerEditingViewController> LayerEditingViewController::make(ImageStackAssetType type) {
    std::shared_ptr<LayerEditingViewController> controller(new LayerEditingViewController(type));
    controller->buildInterface();
    return controller;
}

LayerEditingViewController::LayerEditingViewController(ImageStackAssetType type)
    : type_(type), arrayController_(std::make_shared<pa::ArrayController>()) {
    arrayController_->setSelectsInsertedObjects(false);
}

LayerEditingViewController::~LayerEditingViewController() {
    if (observedController_ && arrangedObjectsObservation_) observedController_->removeObserver(*arrangedObjectsObservation_);
    // The widgets' bindings observe the controller; they end with the widgets.
    view_.reset();
}

const std::vector<pa::PasteboardType>& LayerEditingViewController::supportedTypes() const {
    static const std::vector<pa::PasteboardType> types = [] {
        std::vector<pa::PasteboardType> list{imageInputPasteboardType()};
        for (const auto& type : imageDropPasteboardTypes()) list.push_back(type);
        return list;
    }();
    return types;
}

void LayerEditingViewController::buildInterface() {
    view_ = std::make_unique<QWidget>();
    view_->setObjectName(QStringLiteral("LayerEditingView"));
    auto* root = new QHBoxLayout(view_.get());

    auto* left = new QVBoxLayout;
    collectionView = new KeyDetectingCollectionView(view_.get());
    // Wide enough for a layer's name; the canvas takes the rest, so the editor fits a small
    // screen beside the main window.
    collectionView->setMinimumWidth(150);
    collectionView->setMaximumWidth(200);
    left->addWidget(collectionView, 1);
    closeButton = new QPushButton(QString::fromStdString(LocalizedString::text("layer-editing.button.close")), view_.get());
    describeControlByKey(*closeButton, "layer-editing.button.close");
    describeControlByKey(*collectionView, "layer-editing.list");
    QObject::connect(closeButton, &QPushButton::clicked, closeButton, [this] { closePressed(); });
    left->addWidget(closeButton);
    root->addLayout(left);

    auto* right = new QVBoxLayout;
    auto* canvas = new Canvas(*this);
    canvas->setParent(view_.get());
    canvasView = canvas;
    describeControlByKey(*canvas, "layer-editing.canvas");
    emptyPlaceholderLabel =
        new QLabel(QString::fromStdString(LocalizedString::text("layer-editing.placeholder")), canvasView);
    emptyPlaceholderLabel->setAlignment(Qt::AlignCenter);
    emptyPlaceholderLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
    right->addWidget(canvasView, 1);

    auto* grid = new QGridLayout;
    const auto row = [&](int r, const char* key, qt::NumberTextField*& field, qt::Stepper*& stepper, double low) {
        field = new qt::NumberTextField(view_.get());
        // Points on the canvas, to a hundredth: a layer a third of the canvas wide reads
        // "133.33".
        field->setFormatter(pa::NumberFormatter(2));
        grid->addWidget(labelForControl(*field, key, view_.get()), r, 0);
        stepper = new qt::Stepper(view_.get());
        stepper->setMinValue(low);
        stepper->setMaxValue(10000);
        describeControlByKey(*stepper, key);
        grid->addWidget(field, r, 1);
        grid->addWidget(stepper, r, 2);
    };
    row(0, "layer-editing.label.width", widthTextField, widthStepper, 0);
    row(1, "layer-editing.label.height", heightTextField, heightStepper, 0);
    row(2, "layer-editing.label.x", xTextField, xStepper, -10000);
    row(3, "layer-editing.label.y", yTextField, yStepper, -10000);
    lockAspectRatioButton = new QCheckBox(
        QString::fromStdString(LocalizedString::text("layer-editing.button.lock-aspect-ratio")), view_.get());
    centeredButton =
        new QCheckBox(QString::fromStdString(LocalizedString::text("layer-editing.button.centered")), view_.get());
    for (auto [box, key] : {std::pair{lockAspectRatioButton, "layer-editing.button.lock-aspect-ratio"},
                            std::pair{centeredButton, "layer-editing.button.centered"}})
        describeControlByKey(*box, key);
    grid->addWidget(lockAspectRatioButton, 4, 1, 1, 2);
    grid->addWidget(centeredButton, 5, 1, 1, 2);
    right->addLayout(grid);
    nonBottomLayersAdviceLabel =
        new QLabel(QString::fromStdString(LocalizedString::text("layer-editing.advice.other-layers")), view_.get());
    bottomLayersAdviceLabel =
        new QLabel(QString::fromStdString(LocalizedString::text("layer-editing.advice.back-layer")), view_.get());
    for (auto* label : {nonBottomLayersAdviceLabel, bottomLayersAdviceLabel}) {
        label->setWordWrap(true);
        label->hide();
        right->addWidget(label);
    }
    root->addLayout(right, 2);

    configureCollectionView();
    renewCanvasAspectRatio();
    presentError_ = [this](std::exception_ptr error) { qt::presentError(view_.get(), errorDescription(error)); };
}

void LayerEditingViewController::configureCollectionView() {
    auto& list = *collectionView;
    list.setListMode(true);
    list.setMinItemSize({50, 37});
    list.setMaxItemSize({0, 37});
    list.keyDownDelegate = weak_from_this();
    list.setContent(arrayController_);
    list.setItemFactory([this](QWidget* parent) {
        auto* item = new LayerCollectionViewItem(parent);
        auto* button = item->view()->deleteButton();
        QObject::connect(button, &QPushButton::clicked, button, [this, button] { deleteImagePressed(button); });
        return item;
    });
    list.setDropValidator([this](const pa::Pasteboard& pasteboard, qt::DropPosition& position, bool fromHere) {
        return validateDrop(pasteboard, position, fromHere);
    });
    list.setDropAcceptor([this](const pa::Pasteboard& pasteboard, const qt::DropPosition& position, bool) {
        return acceptDrop(pasteboard, position);
    });
    list.setDragWriter([this](const std::set<std::size_t>& indexes, pa::Pasteboard& pasteboard) {
        if (indexes.empty() || !glyphwright_) return false;
        const auto pictures = glyphwright_->imageInputs();
        const std::size_t index = *indexes.begin();
        if (index >= pictures.size()) return false;
        indexOfItemBeingDragged = index;
        pasteboard.clearContents();
        return pasteboard.writeObjects({pictures[index].get()});
    });
    list.setDragEndedHandler([this](Qt::DropAction) { indexOfItemBeingDragged.reset(); });
    // "Front, layer 1 of 3": the name and the place in the stack, for a screen reader.
    list.setItemNamer([](const pa::ArrayController::Element& object, std::size_t index, std::size_t count) {
        const auto picture = object.as<ImageInput>();
        const auto place = LocalizedString::text("layer-editing.row.place", std::to_string(index + 1), std::to_string(count));
        return QString::fromStdString(
            LocalizedString::text("layer-editing.row", picture ? picture->imageName() : std::string(), place));
    });
}

void LayerEditingViewController::setImageStackAssetType(ImageStackAssetType type) {
    type_ = type;
    renewCanvasAspectRatio();
}

void LayerEditingViewController::renewCanvasAspectRatio() {
    auto* canvas = dynamic_cast<Canvas*>(canvasView);
    if (!canvas) return;
    const auto size = canvasSize(type_);
    canvas->ratio = size.width / size.height;
    canvas->setFixedHeight(canvas->heightForWidth(canvas->width()));
    layOutCanvas();
}

void LayerEditingViewController::setGlyphwright(std::shared_ptr<Glyphwright> engine) {
    if (engine && !engine->collectionViewArrayController())
        throw std::logic_error("The engine has no array controller");
    glyphwright_ = std::move(engine);
    std::vector<pa::ArrayController::Element> content;
    if (glyphwright_) content = glyphwright_->collectionViewArrayController()->arrangedObjects();
    arrayController_->setContent(std::move(content));
}

std::shared_ptr<LayerFrame> LayerEditingViewController::frameOf(const ImageInput& input) const {
    return type_ == ImageStackAssetType::appIcon ? input.tvOSAppIconlayerFrame() : input.tvOSLeaderboardLayerFrame();
}

void LayerEditingViewController::viewWillAppear() {
    refresh();
    if (!arrayController_->selectionIndexes().empty() && arrayController_->count() > 0)
        arrayController_->setSelectionIndexes({arrayController_->count() - 1});
    platform::appkit::ViewAppearance::willAppear(*this, false);
}

void LayerEditingViewController::refresh() {
    if (!glyphwright_ || !glyphwright_->collectionViewArrayController()) return;
    const auto arranged = glyphwright_->collectionViewArrayController()->arrangedObjectsAs<ImageInput>();
    if (!arranged) return;
    const auto& pictures = *arranged;
    const bool leaderboard = type_ == ImageStackAssetType::leaderboard;
    if (!layerFramesFillCanvas(leaderboard, pictures)) makeDefaultLayerFrames(leaderboard, pictures);
    for (const auto& picture : pictures)
        if (const auto frame = frameOf(*picture)) frame->setDelegate(weak_from_this());
    updateCanvas(pictures);
    std::vector<pa::ArrayController::Element> content;
    for (const auto& picture : pictures) content.push_back(pa::ArrayController::Element::of(picture));
    arrayController_->setContent(std::move(content));
    setUpBindings();
    if (const auto scrubber = scrubber_.lock()) {
        scrubber->imageInputs.assign(pictures.begin(), pictures.end());
        scrubber->scrubber()->reloadData();
        scrubber->setSelectedIndex(arrayController_->valueForKey("selectionIndex").integerValue());
    }
}

void LayerEditingViewController::updateCanvas(const std::vector<ImageInputPtr>& pictures) {
    emptyPlaceholderLabel->setHidden(!pictures.empty());
    if (!canvasView) return;
    auto views = layerViews();
    for (auto* view : views) {
        if (std::find(pictures.begin(), pictures.end(), view->imageInput()) == pictures.end()) {
            layouts_.erase(view);
            delete view;
        }
    }
    views = layerViews();
    for (auto it = pictures.rbegin(); it != pictures.rend(); ++it) {
        LayerImageView* view = nullptr;
        for (auto* candidate : views)
            if (candidate->imageInput() == *it) view = candidate;
        if (!view) {
            view = new LayerImageView(*it, canvasView);
            if (const auto frame = frameOf(**it)) frame->setDelegate(weak_from_this());
            view->widthConstraint = view->heightConstraint = view->leftConstraint = view->topConstraint = 0.0;
            view->show();
        }
        // Each picture's view above the one of the picture behind it.
        view->raise();
        updateLayout(*view);
    }
    emptyPlaceholderLabel->setGeometry(canvasView->rect());
}

void LayerEditingViewController::updateLayout(LayerImageView& view) {
    const auto frame = frameOf(*view.imageInput());
    if (!frame) return;
    const double s = canvasView ? canvasView->width() / canvasSize(type_).width : 0.0;
    view.widthConstraint = frame->width() * s;
    view.heightConstraint = frame->height() * s;
    view.leftConstraint = frame->centerX() * s;
    view.topConstraint = frame->centerY() * s;
    view.setGeometry(view.placedGeometry());
    ++layouts_[&view];
}

void LayerEditingViewController::layOutCanvas() {
    if (!canvasView) return;
    for (auto* view : layerViews()) updateLayout(*view);
    if (emptyPlaceholderLabel) emptyPlaceholderLabel->setGeometry(canvasView->rect());
}

std::vector<LayerImageView*> LayerEditingViewController::layerViews() const {
    std::vector<LayerImageView*> views;
    if (!canvasView) return views;
    // Children are kept in stacking order, back first.
    for (auto* child : canvasView->children())
        if (auto* view = dynamic_cast<LayerImageView*>(child)) views.push_back(view);
    return views;
}

std::size_t LayerEditingViewController::layoutCount(const LayerImageView& view) const {
    const auto found = layouts_.find(&view);
    return found == layouts_.end() ? 0 : found->second;
}

void LayerEditingViewController::setUpBindings() {
    if (arrangedObjectsObservation_ && observedController_) observedController_->removeObserver(*arrangedObjectsObservation_);
    arrangedObjectsObservation_.reset();
    observedController_.reset();
    if (glyphwright_ && glyphwright_->collectionViewArrayController()) {
        observedController_ = glyphwright_->collectionViewArrayController();
        const std::weak_ptr<LayerEditingViewController> weak = weak_from_this();
        arrangedObjectsObservation_ = observedController_->addObserver(pa::ArrayController::Key::arrangedObjects, [weak] {
            if (const auto editor = weak.lock()) editor->refresh();
        });
    }
    if (!arrayController_) throw std::logic_error("Lost the array controller");
    const std::string prefix = "selection." + framePropertyName(type_) + ".";
    const auto& controller = std::static_pointer_cast<pa::KeyValueCoding>(arrayController_);
    const std::vector<std::pair<QWidget*, const char*>> values = {
        {widthTextField, "width"}, {widthStepper, "width"},     {heightTextField, "height"}, {heightStepper, "height"},
        {xTextField, "centerX"},   {xStepper, "centerX"},       {yTextField, "centerY"},     {yStepper, "centerY"},
    };
    for (const auto& [control, key] : values) qt::bind(*control, "value", controller, prefix + key);
    pa::BindingOptions negate;
    negate.valueTransformerName = std::string(pa::negateBooleanTransformerName);
    for (const auto& [control, key] : values) qt::bind(*control, "enabled", controller, prefix + "isLocked", negate);
    qt::bind(*lockAspectRatioButton, "enabled", controller, prefix + "isLocked", negate);
    qt::bind(*centeredButton, "enabled", controller, prefix + "isLocked", negate);
    qt::bind(*lockAspectRatioButton, "value", controller, prefix + "isAspectRatioLocked");
    qt::bind(*centeredButton, "value", controller, prefix + "isCenteredInCanvas");
    qt::bind(*nonBottomLayersAdviceLabel, "hidden", controller, prefix + "isLocked");
    qt::bind(*bottomLayersAdviceLabel, "hidden", controller, prefix + "isLocked", negate);
}

void LayerEditingViewController::closePressed() {
    if (const auto d = delegate.lock()) d->layerEditingViewControllerDidRequestClose(*this);
}

void LayerEditingViewController::deleteImagePressed(QWidget* sender) {
    if (!sender) return;
    const auto ancestors = superviews(*sender);
    auto* cell = ancestors.size() >= 2 ? dynamic_cast<CollectionViewLayerCell*>(ancestors[1]) : nullptr;
    if (!cell || !glyphwright_ || !cell->imageInput()) return;
    glyphwright_->collectionViewArrayController()->removeObjects({pa::ArrayController::Element::of(cell->imageInput())});
}

void LayerEditingViewController::keyDetectingCollectionView(KeyDetectingCollectionView&,
                                                            const CollectionViewKeyCommand& command) {
    if (!glyphwright_) return;
    const auto& controller = glyphwright_->collectionViewArrayController();
    if (!controller) return;
    using Kind = CollectionViewKeyCommand::Kind;
    switch (command.kind) {
    case Kind::deleteSelection:
        controller->removeObjects(controller->selectedObjects());
        break;
    case Kind::moveSelectedItemEarlier:
    case Kind::moveSelectedItemLater:
        moveSelectedLayer(command.kind == Kind::moveSelectedItemEarlier ? -1 : 1);
        break;
    case Kind::moveLeft:
    case Kind::moveRight:
    case Kind::moveToBeginningOfLine:
    case Kind::moveToEndOfLine:
        // The arrows choose the layer, so the keyboard reaches each one.
        collectionView->performKeyCommand(command);
        break;
    default:
        break;
    }
}

void LayerEditingViewController::moveSelectedLayer(int step) {
    const auto selected = arrayController_->selectionIndexes();
    const auto count = arrayController_->arrangedObjects().size();
    if (selected.size() != 1 || !glyphwright_) return;
    const std::size_t from = *selected.begin();
    if ((step < 0 && from == 0) || (step > 0 && from + 1 >= count)) return;
    const std::size_t to = step < 0 ? from - 1 : from + 1;
    // The same move a drag in the list makes; the layer stays chosen at its new place.
    glyphwright_->collectionViewArrayController()->moveObject(from, to);
    arrayController_->setSelectionIndexes({to});
}

void LayerEditingViewController::keyDetectingCollectionView(KeyDetectingCollectionView&, QMouseEvent*) {}

void LayerEditingViewController::layerFrameDidChange(LayerFrame& frame) {
    if (glyphwright_) glyphwright_->updateReadyState();
    for (auto* view : layerViews()) {
        const auto own = frameOf(*view->imageInput());
        if (own.get() != &frame) continue;
        updateLayout(*view);
        canvasView->update();
        return;
    }
}

bool LayerEditingViewController::validateDrop(const pa::Pasteboard& pasteboard, qt::DropPosition& position,
                                              bool fromThisView) {
    if (!pasteboard.availableTypeFromArray(supportedTypes())) return false;
    (void)position;
    (void)fromThisView;
    return true;
}

bool LayerEditingViewController::acceptDrop(const pa::Pasteboard& pasteboard, const qt::DropPosition& position) {
    const auto type = pasteboard.availableTypeFromArray(supportedTypes());
    if (!type) return false;
    const std::size_t k = position.index;
    if (*type != imageInputPasteboardType()) {
        loadImages(pasteboard, completionFor(std::weak_ptr<IndexedDropTarget>(weak_from_this()), k));
        return true;
    }
    const auto data = pasteboard.dataForType(*type);
    if (!data) return false;
    const auto dragged = ImageInput::unarchive(*data);
    if (!dragged) return false;
    if (position.operation == qt::DropOperation::on || !glyphwright_) return true;
    const auto pictures = glyphwright_->imageInputs();
    if (pictures.empty()) return true;
    const auto found = std::find_if(pictures.begin(), pictures.end(),
                                    [&](const ImageInputPtr& p) { return p->id() == dragged->id(); });
    if (found == pictures.end()) return true;
    const auto i = static_cast<std::size_t>(found - pictures.begin());
    glyphwright_->collectionViewArrayController()->moveObject(i, i < k ? k - 1 : k);
    return true;
}

void LayerEditingViewController::handleLoadedPasteboardItems(const PasteboardLoadResult& result, std::size_t index) {
    if (!glyphwright_) return;
    if (glyphwright_->imageInputCollectionType() != ImageInputCollection::CollectionType::variants)
        glyphwright_->setImageInputCollectionType(ImageInputCollection::CollectionType::variants);
    switch (result.kind()) {
    case PasteboardLoadResult::Kind::images:
        glyphwright_->insert(droppedPictures(result), index);
        break;
    case PasteboardLoadResult::Kind::fileURLs:
        try {
            glyphwright_->addImages(result.urls(), index);
        } catch (...) {
            if (presentError_) presentError_(std::current_exception());
        }
        break;
    case PasteboardLoadResult::Kind::failure:
        if (presentError_) presentError_(result.error());
        break;
    }
}

std::string LayerEditingViewController::touchBarIdentifier(std::string_view suffix) {
    return platform::foundation::Bundle::main().bundleIdentifier() + std::string(suffix);
}

std::shared_ptr<pa::TouchBar> LayerEditingViewController::makeTouchBar() {
    auto bar = std::make_shared<pa::TouchBar>();
    bar->delegate = weak_from_this();
    bar->customizationIdentifier = touchBarIdentifier(".layerEditingWindow");
    const std::vector<std::string> items = {touchBarIdentifier(".layers"), touchBarIdentifier(".width"),
                                            touchBarIdentifier(".height"), touchBarIdentifier(".x"),
                                            touchBarIdentifier(".y")};
    bar->defaultItemIdentifiers = items;
    bar->defaultItemIdentifiers.emplace_back(pa::touchBarItemIdentifierOtherItemsProxy);
    bar->customizationAllowedItemIdentifiers = items;
    return bar;
}

std::shared_ptr<pa::TouchBarItem> LayerEditingViewController::makeItemForIdentifier(pa::TouchBar&,
                                                                                 const pa::TouchBarItemIdentifier& id) {
    const auto controller = std::static_pointer_cast<pa::KeyValueCoding>(arrayController_);
    if (id == touchBarIdentifier(".layers")) {
        auto item = ImageInputsScrubberItem::make(id);
        if (glyphwright_)
            for (const auto& picture : glyphwright_->imageInputs()) item->imageInputs.push_back(picture);
        item->scrubber()->reloadData();
        pa::BindingOptions continuous;
        continuous.continuouslyUpdatesValue = true;
        const std::weak_ptr<ImageInputsScrubberItem> weakItem = item;
        item->bindings().bind("selectedIndex", controller, "selectionIndex", continuous, [weakItem](const pa::BoundValue& v) {
            if (const auto strong = weakItem.lock()) strong->setSelectedIndex(v.value.isNil() || v.value.isMarker() ? -1 : v.value.integerValue());
        });
        item->delegate = weak_from_this();
        scrubber_ = item;
        return item;
    }
    const std::vector<std::tuple<std::string, const char*, const char*, qt::NumberTextField*>> buttons = {
        {".width", "touch-bar.layer-editing-view.button-title.width", "", widthTextField},
        {".height", "touch-bar.layer-editing-view.button-title.height", "", heightTextField},
        {".x", "touch-bar.layer-editing-view.button-title.x", "", xTextField},
        {".y", "touch-bar.layer-editing-view.button-title.y", "", yTextField},
    };
    for (const auto& [suffix, key, unused, field] : buttons) {
        (void)unused;
        if (id != touchBarIdentifier(suffix)) continue;
        QPointer<qt::NumberTextField> target(field);
        auto button = std::make_shared<pa::TouchBarButton>(LocalizedString::text(key), [target] {
            if (target) target->setFocus(Qt::OtherFocusReason);
        });
        pa::BindingOptions negate;
        negate.valueTransformerName = std::string(pa::negateBooleanTransformerName);
        const std::weak_ptr<pa::TouchBarButton> weakButton = button;
        button->bindings().bind("enabled", controller, "selection." + framePropertyName(type_) + ".isLocked", negate,
                                [weakButton](const pa::BoundValue& v) {
                                    if (const auto strong = weakButton.lock())
                                        strong->setEnabled(v.editable && !v.value.isMarker() && v.value.boolValue());
                                });
        auto item = std::make_shared<pa::CustomTouchBarItem>(id);
        item->setView(button);
        return item;
    }
    return nullptr;
}

void LayerEditingViewController::imageInputsScrubberItem(ImageInputsScrubberItem&, std::size_t index) {
    arrayController_->setValueForKey("selectionIndex", pa::KeyValue(static_cast<std::int64_t>(index)));
}

}  // namespace gw
