#pragma once
// The main window: its controller shows the engine's state (picture, warnings, output
// folder, create controls), turns the user's actions into engine calls, shows the panel of
// the chosen output type and presents each conversion's results. Its interface is built in
// code by `loadMainInterface`, which connects the outlets in a fixed order.
#include "app/engine/glyphwright.hpp"
#include "app/ui/layer_editing_view_controller.hpp"
#include "app/ui/output_type_selection_handler.hpp"
#include "app/ui/picture_list_answers.hpp"
#include "app/ui/picture_views.hpp"
#include "app/ui/small_controls.hpp"
#include "platform/appkit/menu.hpp"
#include "platform/appkit/qt/small_controls.hpp"
#include "platform/appkit/qt/touch_bar_strip.hpp"
#include "platform/appkit/qt/window.hpp"
#include "platform/appkit/touch_bar.hpp"

#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>

#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <string>

class QMessageBox;

namespace gw {

class Ratewell;

// What the main window asks of the application delegate.
class OLVAppDelegateProtocol {
public:
    virtual ~OLVAppDelegateProtocol() = default;
    virtual void showOpenFileDialog() = 0;
    virtual void showOutputDestinationDialog() = 0;
    virtual void showSettingsDialog() = 0;
    // Shows the folder in the desktop's file manager.
    virtual void openFinderAtURL(const platform::foundation::URL& url) = 0;
    virtual Ratewell& myPrompter() = 0;
};

// The main window: a window whose Escape does nothing (it would close the window, and
// with it the application).
class MainWindow : public platform::appkit::qt::Window {
public:
    using Window::Window;

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// A determinate progress bar over 0…maxValue with a floating-point value.
class ProgressIndicator : public QProgressBar {
public:
    explicit ProgressIndicator(QWidget* parent = nullptr);
    double doubleValue() const { return value_; }
    void setDoubleValue(double value);
    double maxValue() const { return max_; }
    void setMaxValue(double max);
    // The highest value shown since the last reset to 0.
    double highestValue() const { return highest_; }

private:
    void render();
    double value_ = 0;
    double max_ = 1;
    double highest_ = 0;
};

class MainViewViewController : public GlyphwrightDelegate,
                               public LayerEditingViewControllerDelegate,
                               public platform::appkit::TouchBarProvider,
                               public platform::appkit::TouchBarDelegate,
                               public platform::appkit::ScrubberDataSource,
                               public platform::appkit::ScrubberDelegate,
                               public std::enable_shared_from_this<MainViewViewController> {
public:
    static std::shared_ptr<MainViewViewController> make();
    ~MainViewViewController() override;
    MainViewViewController(const MainViewViewController&) = delete;
    MainViewViewController& operator=(const MainViewViewController&) = delete;

    // The content view of the main window, built in code with every control below.
    QWidget* view() const { return view_.data(); }

    // --- outlets ---
    MyImageView* imageWell() const { return imageWell_.data(); }
    void setImageWell(MyImageView* well);
    QWidget* imageViewEmptyPlaceholder() const { return placeholder_.data(); }
    QWidget* imageViewEmptyPlaceholder2() const { return placeholder2_.data(); }
    void setImageViewEmptyPlaceholders(QWidget* first, QWidget* second);
    KeyDetectingCollectionView* multipleSizesCollectionView() const { return multipleSizesCollectionView_.data(); }
    void setMultipleSizesCollectionView(KeyDetectingCollectionView* view);
    KeyDetectingCollectionView* batchExportCollectionView() const { return batchExportCollectionView_.data(); }
    void setBatchExportCollectionView(KeyDetectingCollectionView* view);
    // Single shows the well, variants and batch their lists.
    platform::appkit::qt::SegmentedControl* collectionTypeControl() const { return collectionTypeControl_.data(); }
    platform::appkit::qt::PopUpButton* outputTypePopUpButton() const { return outputTypePopUp_.data(); }
    QPushButton* outputDirectoryButton() const { return outputDirectoryButton_.data(); }
    QPushButton* typeDisclosure() const { return typeDisclosure_.data(); }
    QPushButton* createAssetCatalogButton() const { return createAssetCatalogButton_.data(); }
    const platform::appkit::MenuItemPtr& createAssetCatalogMenuItem() const { return createAssetCatalogMenuItem_; }
    void setCreateAssetCatalogMenuItem(platform::appkit::MenuItemPtr item);
    QPushButton* questionMarkButton() const { return questionMarkButton_.data(); }
    QPushButton* settingsButton() const { return settingsButton_.data(); }
    OLVTextFieldAnimatingDots* notificationLabel() const { return notificationLabel_.data(); }
    ProgressIndicator* activityIndicator() const { return activityIndicator_.data(); }
    QLabel* warningTextField() const { return warningTextField_.data(); }

    platform::appkit::qt::Panel* assetSizePanel() const { return assetSizePanel_.data(); }
    platform::appkit::qt::Panel* helpPanel() const { return helpPanel_.data(); }
    platform::appkit::qt::Panel* splashPreviewsPanel() const { return splashPreviewsPanel_.data(); }
    void setPanels(platform::appkit::qt::Panel* assetSize, platform::appkit::qt::Panel* help,
                   platform::appkit::qt::Panel* splashPreviews);
    // The two layer editors and their panels, made on first use.
    const std::shared_ptr<LayerEditingViewController>& appIconLayerEditingViewController();
    const std::shared_ptr<LayerEditingViewController>& leaderboardLayerEditingViewController();
    platform::appkit::qt::Panel* appIconlayerEditingPanel();
    platform::appkit::qt::Panel* leaderboardLayerEditingPanel();
    // Splash previews, asset size, app-icon layers, leaderboard layers, help: those that exist.
    std::vector<platform::appkit::qt::Panel*> allPanels();
    // The panel of an output type, when it has one (made if it is a layer panel).
    platform::appkit::qt::Panel* panelFor(ConversionOutputType type);

    void setAppDelegate(std::weak_ptr<OLVAppDelegateProtocol> delegate) { appDelegate_ = std::move(delegate); }
    QWidget* mainWindow() const;

    const std::shared_ptr<Glyphwright>& glyphwright() const { return glyphwright_; }
    // Registers the controller with the engine and hands the engine to both layer editors.
    void setGlyphwright(std::shared_ptr<Glyphwright> engine);
    const std::shared_ptr<PictureListAnswers>& pictureListAnswers() const { return answers_; }

    // --- actions ---
    void imagePressed();
    void outputDirectoryButtonPressed();
    void settingsButtonPressed();
    void createAssetCatalogPressed();
    void selectAllImages();
    void deleteMultipleImagePressed(QWidget* sender);
    void questionMarkButtonPressed();
    void disclosureButtonPressed();
    void cancelOperation() {}
    void showProgressWithString(const std::string& text);
    void dismissProgress();
    void collectionTypeSelected();

    // Enables and titles the three create controls.
    void updateCreateButton();
    void updateTypeDisclosure();
    bool canCreateCatalog() const;
    std::string createButtonTitle() const;
    // The sheet on screen and the ones waiting their turn.
    QMessageBox* currentFailureSheet() const;
    std::size_t pendingFailureSheetCount() const { return pendingSheets_.size(); }

    // --- engine notifications ---
    void glyphwrightShowEditingPanel(Glyphwright& engine, const ImageInputPtr& imageInput) override;
    void glyphwrightImageInputsDidChange(Glyphwright& engine, const std::vector<ImageInputPtr>& inputs) override;
    void glyphwrightSelectionDidChange(Glyphwright& engine, const std::vector<ImageInputPtr>& selected) override;
    void glyphwrightCollectionTypeDidChange(Glyphwright& engine, CollectionType type) override;
    void glyphwrightOutputTypeDidChange(Glyphwright& engine, std::optional<ConversionOutputType> type) override;
    void glyphwrightOutputDirectoryDidChange(Glyphwright& engine,
                                             const std::optional<platform::foundation::URL>& url) override;
    void glyphwrightReadyStateDidChange(Glyphwright& engine, const ReadyState& state) override;
    void glyphwrightDidStartCreating(Glyphwright& engine) override;
    void glyphwrightDidFinishFolder(Glyphwright& engine, const GlyphwrightResult& result) override;
    void glyphwrightDidFinishAllOperations(Glyphwright& engine) override;
    // Where a catalog or asset set the run replaced went (the Trash, or beside the new one): a notification.
    void glyphwrightDidKeepReplacedItem(Glyphwright& engine, const ReplacedItem& item) override;

    void layerEditingViewControllerDidRequestClose(LayerEditingViewController& controller) override;

    // --- Touch Bar ---
    static std::string touchBarIdentifier(std::string_view suffix);
    std::shared_ptr<platform::appkit::TouchBar> makeTouchBar() override;
    std::shared_ptr<platform::appkit::TouchBarItem> makeItemForIdentifier(
        platform::appkit::TouchBar& bar, const platform::appkit::TouchBarItemIdentifier& identifier) override;
    std::size_t numberOfItemsForScrubber(platform::appkit::Scrubber& scrubber) override;
    platform::graphics::ImagePtr scrubberImageForItemAt(platform::appkit::Scrubber& scrubber,
                                                        std::size_t index) override;
    void scrubberDidSelectItemAt(platform::appkit::Scrubber& scrubber, std::size_t index) override;
    const std::shared_ptr<platform::appkit::Scrubber>& scrubber() const { return scrubber_; }
    const std::shared_ptr<platform::appkit::CustomTouchBarItem>& selectAllTouchBarItem();
    const std::shared_ptr<platform::appkit::CustomTouchBarItem>& createCatalogTouchBarItem();
    platform::appkit::TouchBarButton& createCatalogTouchBarButton();
    void refreshTouchBar();

    // The picture shown in the well when there is none.
    const platform::graphics::ImagePtr& dropImage() const { return dropImage_; }

private:
    MainViewViewController();
    void buildInterface();
    void updateImageWell();
    void showCollectionPage();
    void presentError(std::exception_ptr error);
    void handleFolderResult(const GlyphwrightResult& result);
    void handleAllDone();
    void queueFailureSheet(std::exception_ptr error);
    void showNextFailureSheet();
    void closePanelsExcept(platform::appkit::qt::Panel* keep);
    void orderMainWindowFront();
    std::shared_ptr<LayerEditingViewController> makeLayerEditor(ImageStackAssetType type,
                                                                QPointer<platform::appkit::qt::Panel>& panel);
    void syncScrubberSelection();

    QPointer<QWidget> view_;
    QPointer<MyImageView> imageWell_;
    QPointer<QWidget> placeholder_;
    QPointer<QWidget> placeholder2_;
    QPointer<QStackedWidget> collectionPages_;
    QPointer<KeyDetectingCollectionView> multipleSizesCollectionView_;
    QPointer<KeyDetectingCollectionView> batchExportCollectionView_;
    QPointer<platform::appkit::qt::SegmentedControl> collectionTypeControl_;
    QPointer<platform::appkit::qt::PopUpButton> outputTypePopUp_;
    QPointer<QPushButton> outputDirectoryButton_;
    QPointer<QWidget> iconTypesBox_;
    QPointer<QPushButton> typeDisclosure_;
    QPointer<QPushButton> createAssetCatalogButton_;
    platform::appkit::MenuItemPtr createAssetCatalogMenuItem_;
    QPointer<QPushButton> questionMarkButton_;
    QPointer<QPushButton> settingsButton_;
    QPointer<OLVTextFieldAnimatingDots> notificationLabel_;
    QPointer<ProgressIndicator> activityIndicator_;
    QPointer<QLabel> warningTextField_;
    QPointer<platform::appkit::qt::Panel> assetSizePanel_;
    QPointer<platform::appkit::qt::Panel> helpPanel_;
    QPointer<platform::appkit::qt::Panel> splashPreviewsPanel_;
    std::shared_ptr<LayerEditingViewController> appIconEditor_;
    std::shared_ptr<LayerEditingViewController> leaderboardEditor_;
    QPointer<platform::appkit::qt::Panel> appIconPanel_;
    QPointer<platform::appkit::qt::Panel> leaderboardPanel_;
    std::weak_ptr<OLVAppDelegateProtocol> appDelegate_;
    platform::graphics::ImagePtr dropImage_;
    std::shared_ptr<Glyphwright> glyphwright_;
    std::shared_ptr<PictureListAnswers> answers_;

    // A run is on from its start until all its operations have finished.
    bool running_ = false;
    // A folder of the current run failed: the help, which says the catalog is ready, stays
    // closed at its end.
    bool runFailed_ = false;
    // The folders revealed during the current run: each once.
    std::set<std::string> revealedFolders_;
    std::deque<std::exception_ptr> pendingSheets_;
    QPointer<QMessageBox> currentSheet_;

    std::shared_ptr<platform::appkit::Scrubber> scrubber_;
    std::shared_ptr<platform::appkit::CustomTouchBarItem> selectAllItem_;
    std::shared_ptr<platform::appkit::CustomTouchBarItem> createItem_;
};

// The main interface as its file makes it: the window with the controller's view, the
// output-type handler between the menu item and the pop-up, the panels, the create menu
// item (Ctrl+B) and, when the engine is given, the engine connected last.
struct MainInterface {
    std::unique_ptr<MainWindow> window;
    std::shared_ptr<MainViewViewController> controller;
    std::shared_ptr<OutputTypeSelectionHandler> outputTypeSelectionHandler;
    platform::appkit::MenuItemPtr outputTypeMenuItem;
    platform::appkit::MenuItemPtr createMenuItem;
    QPointer<platform::appkit::qt::TouchBarStrip> touchBarStrip;
};
MainInterface loadMainInterface(const std::shared_ptr<Glyphwright>& engine);

}  // namespace gw
