#pragma once
// The editor of a tvOS image stack: the engine's pictures as a reorderable list of
// layers, drawn to scale on a canvas, and the selected layer's size and centre edited
// through bound fields and steppers. The first picture is the front layer; the last,
// the back layer, is locked to the whole canvas.
#include "app/engine/glyphwright.hpp"
#include "app/foundation/layer_frame.hpp"
#include "app/foundation/ui_contracts.hpp"
#include "app/ui/image_inputs_scrubber_item.hpp"
#include "app/ui/layer_views.hpp"
#include "app/ui/picture_views.hpp"
#include "platform/appkit/array_controller.hpp"
#include "platform/appkit/qt/small_controls.hpp"

#include <QCheckBox>
#include <QLabel>

#include <memory>
#include <optional>

namespace gw {

enum class ImageStackAssetType { appIcon, leaderboard };

// The canvas of the kind, in points: 400 × 240 or 659 × 371.
platform::graphics::Size canvasSize(ImageStackAssetType type);
// "tvOSAppIconlayerFrame" or "tvOSLeaderboardLayerFrame".
std::string framePropertyName(ImageStackAssetType type);
// "tvOS App Icon" or "tvOS Leaderboard".
std::string panelTitle(ImageStackAssetType type);

class LayerEditingViewController;

class LayerEditingViewControllerDelegate {
public:
    virtual ~LayerEditingViewControllerDelegate() = default;
    virtual void layerEditingViewControllerDidRequestClose(LayerEditingViewController& controller) = 0;
};

class LayerEditingViewController : public KeyDetectingCollectionViewDelegate,
                                   public LayerFrameDelegate,
                                   public IndexedDropTarget,
                                   public platform::appkit::TouchBarProvider,
                                   public platform::appkit::TouchBarDelegate,
                                   public ImageInputsScrubberItemDelegate,
                                   public std::enable_shared_from_this<LayerEditingViewController> {
public:
    using ErrorPresenter = std::function<void(std::exception_ptr)>;

    // The editor with its "LayerEditingView" interface built.
    static std::shared_ptr<LayerEditingViewController> make(ImageStackAssetType type = ImageStackAssetType::appIcon);
    ~LayerEditingViewController() override;

    // The editor's interface; a panel takes it as its content.
    QWidget* view() const { return view_.get(); }

    std::weak_ptr<LayerEditingViewControllerDelegate> delegate;
    ImageStackAssetType imageStackAssetType() const { return type_; }
    // Renews the canvas's aspect ratio.
    void setImageStackAssetType(ImageStackAssetType type);
    // "com.norvane.image-input", then the picture drop types.
    const std::vector<platform::appkit::PasteboardType>& supportedTypes() const;

    const std::shared_ptr<Glyphwright>& glyphwright() const { return glyphwright_; }
    // The editor's own controller takes the engine's pictures.
    void setGlyphwright(std::shared_ptr<Glyphwright> engine);
    const std::shared_ptr<platform::appkit::ArrayController>& arrayController() const { return arrayController_; }
    void setErrorPresenter(ErrorPresenter presenter) { presentError_ = std::move(presenter); }

    // Refreshes, then selects the back layer when anything is selected.
    void viewWillAppear();
    void refresh();
    void closePressed();
    // A delete button inside a layer row: removes that row's picture.
    void deleteImagePressed(QWidget* sender);

    // The outlets.
    QLabel* emptyPlaceholderLabel = nullptr;
    QLabel* nonBottomLayersAdviceLabel = nullptr;
    QLabel* bottomLayersAdviceLabel = nullptr;
    platform::appkit::qt::NumberTextField *widthTextField = nullptr, *heightTextField = nullptr,
                                          *xTextField = nullptr, *yTextField = nullptr;
    platform::appkit::qt::Stepper *widthStepper = nullptr, *heightStepper = nullptr, *xStepper = nullptr,
                                  *yStepper = nullptr;
    QCheckBox* lockAspectRatioButton = nullptr;
    QCheckBox* centeredButton = nullptr;
    QWidget* canvasView = nullptr;
    KeyDetectingCollectionView* collectionView = nullptr;
    QPushButton* closeButton = nullptr;
    std::optional<std::size_t> indexOfItemBeingDragged;

    // The layer views on the canvas, back to front.
    std::vector<LayerImageView*> layerViews() const;
    // How often each layer view was placed (layouts of its four values).
    std::size_t layoutCount(const LayerImageView& view) const;

    // Delegate answers.
    void keyDetectingCollectionView(KeyDetectingCollectionView& view, const CollectionViewKeyCommand& command) override;
    void keyDetectingCollectionView(KeyDetectingCollectionView& view, QMouseEvent* mouseDown) override;
    // The chosen layer one place nearer the front (-1) or the back (+1), still chosen.
    void moveSelectedLayer(int step);
    void layerFrameDidChange(LayerFrame& frame) override;
    void handleLoadedPasteboardItems(const PasteboardLoadResult& result, std::size_t index) override;

    // The bar: the layers scrubber and the four field buttons.
    std::shared_ptr<platform::appkit::TouchBar> makeTouchBar() override;
    std::shared_ptr<platform::appkit::TouchBarItem> makeItemForIdentifier(
        platform::appkit::TouchBar& bar, const platform::appkit::TouchBarItemIdentifier& identifier) override;
    void imageInputsScrubberItem(ImageInputsScrubberItem& item, std::size_t didSelectIndex) override;
    // The bundle identifier followed by `suffix`.
    static std::string touchBarIdentifier(std::string_view suffix);

    // The list's drop answers (also used by the tests of the drag paths).
    bool validateDrop(const platform::appkit::Pasteboard& pasteboard, platform::appkit::qt::DropPosition& position,
                      bool fromThisView);
    bool acceptDrop(const platform::appkit::Pasteboard& pasteboard, const platform::appkit::qt::DropPosition& position);

private:
    explicit LayerEditingViewController(ImageStackAssetType type);
    void buildInterface();
    void configureCollectionView();
    void renewCanvasAspectRatio();
    void updateCanvas(const std::vector<ImageInputPtr>& pictures);
    void updateLayout(LayerImageView& view);
    void layOutCanvas();
    void setUpBindings();
    std::shared_ptr<LayerFrame> frameOf(const ImageInput& input) const;

    class Canvas;
    ImageStackAssetType type_;
    std::unique_ptr<QWidget> view_;
    std::shared_ptr<platform::appkit::ArrayController> arrayController_;
    std::shared_ptr<Glyphwright> glyphwright_;
    std::shared_ptr<platform::appkit::ArrayController> observedController_;
    std::optional<platform::appkit::ArrayController::Token> arrangedObjectsObservation_;
    std::map<const LayerImageView*, std::size_t> layouts_;
    ErrorPresenter presentError_;
    std::weak_ptr<ImageInputsScrubberItem> scrubber_;
};

}  // namespace gw
