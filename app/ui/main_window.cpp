#include "app/ui/main_window.hpp"

#include "app/engine/image_creation_operation.hpp"
#include "app/engine/analytics_tracker.hpp"
#include "app/engine/catalog_search.hpp"
#include "app/engine/conversion_warning.hpp"
#include "app/engine/definition_validators.hpp"
#include "app/engine/contracts/file_writing_intent.hpp"
#include "app/foundation/image_wrapper.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"
#include "app/foundation/user_defaults_key.hpp"
#include "app/shell/prompt_frameworks.hpp"
#include "app/ui/asset_size_view.hpp"
#include "app/ui/splash_preview_view_controller.hpp"
#include "platform/appkit/qt/alert.hpp"
#include "platform/appkit/qt/bundle_image.hpp"
#include "platform/appkit/user_notification.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "platform/foundation/utf8.hpp"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScrollArea>
#include <QShowEvent>
#include <QVBoxLayout>

#include <fmt/format.h>

namespace gw {

namespace pa = platform::appkit;
namespace pf = platform::foundation;
namespace qt = platform::appkit::qt;
using platform::dispatch::DispatchQueue;

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

bool defaultsBool(UserDefaultsKey key) { return pf::UserDefaults::standard().boolForKey(rawValue(key)); }

bool isOrInsideAssetCatalog(const pf::URL& url) { return isAssetCatalog(url) || isInsideAssetCatalog(url); }

// Hosts a layer editor's view without owning it: the editor deletes its own view, so a
// panel that goes first hands the view back instead of deleting it.
// Each time it is shown, the editor gets ready for it (layer frames, selection) first.
class LayerEditingPanel : public qt::Panel {
public:
    LayerEditingPanel(QWidget* parent, const std::shared_ptr<LayerEditingViewController>& editor)
        : qt::Panel(parent), editorView_(editor->view()), editor_(editor) {}
    ~LayerEditingPanel() override {
        if (editorView_) editorView_->setParent(nullptr);
    }

protected:
    void showEvent(QShowEvent* event) override {
        if (!event->spontaneous()) {
            if (auto editor = editor_.lock()) editor->viewWillAppear();
        }
        qt::Panel::showEvent(event);
    }

private:
    QPointer<QWidget> editorView_;
    std::weak_ptr<LayerEditingViewController> editor_;
};

}  // namespace

// --- ProgressIndicator ---

ProgressIndicator::ProgressIndicator(QWidget* parent) : QProgressBar(parent) {
    setRange(0, 1000);
    setValue(0);
    setTextVisible(false);
}

void ProgressIndicator::setDoubleValue(double value) {
    value_ = value;
    if (value == 0) highest_ = 0;
    else if (value > highest_) highest_ = value;
    render();
}

void ProgressIndicator::setMaxValue(double max) {
    max_ = max;
    render();
}

void ProgressIndicator::render() {
    const double fraction = max_ > 0 ? std::clamp(value_ / max_, 0.0, 1.0) : 0.0;
    setValue(static_cast<int>(fraction * 1000.0 + 0.5));
}

// --- MainWindow ---

void MainWindow::keyPressEvent(QKeyEvent* event) {
    // Escape is the controller's cancelOperation: swallowed. Closing the main window
    // would ask to quit.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        return;
    }
    Window::keyPressEvent(event);
}

// --- MainViewViewController ---

std::shared_ptr<MainViewViewController> MainViewViewController::make() {
    std::shared_ptr<MainViewViewController> controller(new MainViewViewController());
    controller->answers_ = std::make_shared<PictureListAnswers>();
    const std::weak_ptr<MainViewViewController> weak = controller;
    controller->answers_->setOpenFileDialogHandler([weak] {
        if (auto self = weak.lock()) self->imagePressed();
    });
    const auto present = [weak](std::exception_ptr error) {
        if (auto self = weak.lock()) self->presentError(error);
    };
    controller->answers_->setErrorPresenter(present);
    controller->answers_->setWellErrorPresenter(present);
    controller->buildInterface();
    return controller;
}

MainViewViewController::MainViewViewController() : dropImage_(qt::bundleImage("Drop An Image Here")) {}

MainViewViewController::~MainViewViewController() {
    // The editors' panels belong to the window; the view may outlive this controller.
    if (currentSheet_) currentSheet_->deleteLater();
}

QWidget* MainViewViewController::mainWindow() const { return view_ ? view_->window() : nullptr; }

void MainViewViewController::buildInterface() {
    auto* view = new QWidget();
    view->setObjectName(QStringLiteral("mainView"));
    view_ = view;
    auto* layout = new QVBoxLayout(view);

    // The collection type, then the well or a list under it.
    collectionTypeControl_ = new qt::SegmentedControl(view);
    collectionTypeControl_->setSegmentCount(3);
    collectionTypeControl_->setLabel(LocalizedString::text("main.collection-type.single"), 0);
    collectionTypeControl_->setLabel(LocalizedString::text("main.collection-type.variants"), 1);
    collectionTypeControl_->setLabel(LocalizedString::text("main.collection-type.batch"), 2);
    collectionTypeControl_->setSelectedSegment(0);
    const std::weak_ptr<MainViewViewController> weak = weak_from_this();
    collectionTypeControl_->setAction([weak](qt::SegmentedControl&) {
        if (auto self = weak.lock()) self->collectionTypeSelected();
    });
    layout->addWidget(collectionTypeControl_, 0, Qt::AlignHCenter);

    auto* pages = new QStackedWidget(view);
    collectionPages_ = pages;
    auto* wellPage = new QWidget(pages);
    auto* wellLayout = new QVBoxLayout(wellPage);
    auto* well = new MyImageView(wellPage);
    well->setMinimumSize(256, 256);
    describeControlByKey(*well, "main.well");
    wellLayout->addWidget(well, 1);
    auto* placeholder = new QLabel(qs(LocalizedString::text("main.well.placeholder")), wellPage);
    placeholder->setAlignment(Qt::AlignCenter);
    auto* placeholder2 = new QLabel(qs(LocalizedString::text("main.well.placeholder.formats")), wellPage);
    placeholder2->setAlignment(Qt::AlignCenter);
    wellLayout->addWidget(placeholder);
    wellLayout->addWidget(placeholder2);
    pages->addWidget(wellPage);
    // The lists scroll: a folder may hold more pictures than the window shows.
    const auto scrolling = [pages](QWidget* list) {
        auto* area = new QScrollArea(pages);
        area->setFrameShape(QFrame::NoFrame);
        area->setWidgetResizable(true);
        area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        area->setWidget(list);
        pages->addWidget(area);
    };
    auto* variants = new KeyDetectingCollectionView(pages);
    describeControlByKey(*variants, "main.list.variants");
    scrolling(variants);
    auto* batch = new KeyDetectingCollectionView(pages);
    describeControlByKey(*batch, "main.list.batch");
    scrolling(batch);
    for (auto* list : {variants, batch}) {
        list->setItemNamer([](const pa::ArrayController::Element& object, std::size_t, std::size_t) {
            const auto picture = object.as<ImageInput>();
            return picture ? qs(picture->imageName()) : QString();
        });
    }
    layout->addWidget(pages, 1);

    // Output type, folder, disclosure and help.
    auto* typesBox = new QWidget(view);
    iconTypesBox_ = typesBox;
    auto* typesLayout = new QHBoxLayout(typesBox);
    typesLayout->setContentsMargins(0, 0, 0, 0);
    outputTypePopUp_ = new qt::PopUpButton(typesBox);
    typesLayout->addWidget(outputTypePopUp_, 1);
    typeDisclosure_ = new QPushButton(QStringLiteral("▸"), typesBox);
    typeDisclosure_->setToolTip(qs(LocalizedString::text("main.button.tooltip.disclosure")));
    typesLayout->addWidget(typeDisclosure_);
    // Two symbols for the eye, words for the tooltip and for assistive tools; a font
    // without the gear shows the word instead of an empty box.
    questionMarkButton_ = new QPushButton(QStringLiteral("?"), typesBox);
    describeControlByKey(*questionMarkButton_, "main.button.help");
    typesLayout->addWidget(questionMarkButton_);
    settingsButton_ = new QPushButton(typesBox);
    settingsButton_->setText(QFontMetrics(settingsButton_->font()).inFontUcs4(0x2699)
                                 ? QStringLiteral("\u2699")
                                 : qs(LocalizedString::text("main.button.preferences")));
    describeControlByKey(*settingsButton_, "main.button.preferences");
    typesLayout->addWidget(settingsButton_);
    layout->addWidget(typesBox);

    outputDirectoryButton_ = new QPushButton(qs(LocalizedString::text("main.button.title.output-directory")), view);
    layout->addWidget(outputDirectoryButton_);

    warningTextField_ = new QLabel(view);
    warningTextField_->setWordWrap(true);
    warningTextField_->hide();
    layout->addWidget(warningTextField_);

    auto* bottom = new QHBoxLayout();
    notificationLabel_ = new OLVTextFieldAnimatingDots(view);
    notificationLabel_->hide();
    bottom->addWidget(notificationLabel_, 1);
    activityIndicator_ = new ProgressIndicator(view);
    activityIndicator_->hide();
    bottom->addWidget(activityIndicator_, 1);
    createAssetCatalogButton_ = new QPushButton(qs(LocalizedString::text("main.button.title.create-catalog")), view);
    createAssetCatalogButton_->setDefault(true);
    bottom->addWidget(createAssetCatalogButton_);
    layout->addLayout(bottom);

    auto connectButton = [weak](QPushButton* button, void (MainViewViewController::*action)()) {
        QObject::connect(button, &QPushButton::clicked, button, [weak, action] {
            if (auto self = weak.lock()) ((*self).*action)();
        });
    };
    connectButton(outputDirectoryButton_, &MainViewViewController::outputDirectoryButtonPressed);
    connectButton(typeDisclosure_, &MainViewViewController::disclosureButtonPressed);
    connectButton(questionMarkButton_, &MainViewViewController::questionMarkButtonPressed);
    connectButton(settingsButton_, &MainViewViewController::settingsButtonPressed);
    connectButton(createAssetCatalogButton_, &MainViewViewController::createAssetCatalogPressed);

    // Outlets in the order the interface connects them.
    setImageWell(well);
    setImageViewEmptyPlaceholders(placeholder, placeholder2);
    setMultipleSizesCollectionView(variants);
    setBatchExportCollectionView(batch);

    // What loading the view runs.
    updateImageWell();
    updateTypeDisclosure();
    updateCreateButton();
}

void MainViewViewController::setImageWell(MyImageView* well) {
    imageWell_ = well;
    if (well) answers_->setUpWell(*well);
}

void MainViewViewController::setImageViewEmptyPlaceholders(QWidget* first, QWidget* second) {
    // Drops go through to the well.
    for (QWidget* placeholder : {first, second}) {
        if (placeholder) placeholder->setAcceptDrops(false);
    }
    placeholder_ = first;
    placeholder2_ = second;
}

void MainViewViewController::setMultipleSizesCollectionView(KeyDetectingCollectionView* view) {
    multipleSizesCollectionView_ = view;
    if (view) answers_->setUpList(*view);
}

void MainViewViewController::setBatchExportCollectionView(KeyDetectingCollectionView* view) {
    batchExportCollectionView_ = view;
    if (view) answers_->setUpList(*view);
}

void MainViewViewController::setCreateAssetCatalogMenuItem(pa::MenuItemPtr item) {
    createAssetCatalogMenuItem_ = std::move(item);
    if (createAssetCatalogMenuItem_) {
        const std::weak_ptr<MainViewViewController> weak = weak_from_this();
        createAssetCatalogMenuItem_->setAction([weak](pa::MenuItem&) {
            if (auto self = weak.lock()) self->createAssetCatalogPressed();
        });
    }
    updateCreateButton();
}

void MainViewViewController::setPanels(qt::Panel* assetSize, qt::Panel* help, qt::Panel* splashPreviews) {
    assetSizePanel_ = assetSize;
    helpPanel_ = help;
    splashPreviewsPanel_ = splashPreviews;
}

std::shared_ptr<LayerEditingViewController> MainViewViewController::makeLayerEditor(ImageStackAssetType type,
                                                                                    QPointer<qt::Panel>& panel) {
    auto editor = LayerEditingViewController::make(type);
    editor->delegate = weak_from_this();
    const std::weak_ptr<MainViewViewController> weak = weak_from_this();
    editor->setErrorPresenter([weak](std::exception_ptr error) {
        if (auto self = weak.lock()) self->presentError(error);
    });
    // A tool window of the main window, without a maximise button.
    auto* made = new LayerEditingPanel(mainWindow(), editor);
    made->setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    made->setWindowTitle(qs(panelTitle(type)));
    made->setContentView(editor->view());
    panel = made;
    if (glyphwright_) editor->setGlyphwright(glyphwright_);
    return editor;
}

const std::shared_ptr<LayerEditingViewController>& MainViewViewController::appIconLayerEditingViewController() {
    if (!appIconEditor_) appIconEditor_ = makeLayerEditor(ImageStackAssetType::appIcon, appIconPanel_);
    return appIconEditor_;
}

const std::shared_ptr<LayerEditingViewController>& MainViewViewController::leaderboardLayerEditingViewController() {
    if (!leaderboardEditor_) leaderboardEditor_ = makeLayerEditor(ImageStackAssetType::leaderboard, leaderboardPanel_);
    return leaderboardEditor_;
}

qt::Panel* MainViewViewController::appIconlayerEditingPanel() {
    appIconLayerEditingViewController();
    return appIconPanel_.data();
}

qt::Panel* MainViewViewController::leaderboardLayerEditingPanel() {
    leaderboardLayerEditingViewController();
    return leaderboardPanel_.data();
}

std::vector<qt::Panel*> MainViewViewController::allPanels() {
    std::vector<qt::Panel*> panels;
    for (qt::Panel* panel : {splashPreviewsPanel_.data(), assetSizePanel_.data(), appIconlayerEditingPanel(),
                             leaderboardLayerEditingPanel(), helpPanel_.data()}) {
        if (panel) panels.push_back(panel);
    }
    return panels;
}

qt::Panel* MainViewViewController::panelFor(ConversionOutputType type) {
    switch (type) {
        case ConversionOutputType::asset: return assetSizePanel_.data();
        case ConversionOutputType::iOSSplash: return splashPreviewsPanel_.data();
        case ConversionOutputType::tvOSIcon: return appIconlayerEditingPanel();
        case ConversionOutputType::tvOSLeaderboard: return leaderboardLayerEditingPanel();
        default: return nullptr;
    }
}

void MainViewViewController::setGlyphwright(std::shared_ptr<Glyphwright> engine) {
    glyphwright_ = std::move(engine);
    answers_->setEngine(glyphwright_);
    if (glyphwright_) {
        auto wrapper = std::make_shared<WeakGlyphwrightDelegateWrapper>();
        wrapper->value = weak_from_this();
        glyphwright_->appendDelegate(wrapper);
    }
    leaderboardLayerEditingViewController()->setGlyphwright(glyphwright_);
    appIconLayerEditingViewController()->setGlyphwright(glyphwright_);
    if (!glyphwright_) return;
    // The progress closure is in place before the first run can report.
    const std::weak_ptr<MainViewViewController> weak = weak_from_this();
    glyphwright_->setProgressUpdateHandler([weak](float progress) {
        DispatchQueue::main().async([weak, progress] {
            auto self = weak.lock();
            if (!self || !self->activityIndicator_) return;
            self->activityIndicator_->setDoubleValue(progress);
            Logger::log(fmt::format("Asset Catalog Creation operation progress {}", progress));
        });
    });
    const auto type = glyphwright_->imageInputCollectionType();
    if (collectionTypeControl_) collectionTypeControl_->setSelectedSegment(static_cast<int>(type));
    showCollectionPage();
    updateImageWell();
    glyphwrightOutputDirectoryDidChange(*glyphwright_, glyphwright_->outputDirectory());
    glyphwrightReadyStateDidChange(*glyphwright_, glyphwright_->readyState());
    updateTypeDisclosure();
    updateCreateButton();
}

// --- actions ---

void MainViewViewController::imagePressed() {
    if (auto delegate = appDelegate_.lock()) delegate->showOpenFileDialog();
}

void MainViewViewController::outputDirectoryButtonPressed() {
    if (auto delegate = appDelegate_.lock()) delegate->showOutputDestinationDialog();
}

void MainViewViewController::settingsButtonPressed() {
    if (auto delegate = appDelegate_.lock()) delegate->showSettingsDialog();
}

void MainViewViewController::selectAllImages() {
    if (glyphwright_) glyphwright_->selectAll();
}

void MainViewViewController::deleteMultipleImagePressed(QWidget* sender) {
    auto* cell = sender ? dynamic_cast<CollectionViewImageCell*>(sender->parentWidget()) : nullptr;
    if (cell && cell->imageInput()) answers_->deleteMultipleImagePressed(cell->imageInput());
}

void MainViewViewController::orderMainWindowFront() {
    if (auto* window = mainWindow()) {
        window->show();
        window->raise();
        qt::makeKey(*window);
    }
}

void MainViewViewController::questionMarkButtonPressed() {
    if (!helpPanel_) return;
    if (helpPanel_->isVisible()) {
        helpPanel_->close();
        return;
    }
    helpPanel_->orderFront();
    orderMainWindowFront();
}

void MainViewViewController::closePanelsExcept(qt::Panel* keep) {
    bool shown = false;
    for (qt::Panel* panel : allPanels()) {
        if (panel == keep) {
            panel->orderFront();
            shown = true;
        } else {
            panel->close();
        }
    }
    if (shown) orderMainWindowFront();
}

void MainViewViewController::disclosureButtonPressed() {
    closePanelsExcept(glyphwright_ ? panelFor(glyphwright_->resizeType()) : nullptr);
}

void MainViewViewController::showProgressWithString(const std::string& text) {
    if (!notificationLabel_) return;
    notificationLabel_->setText(qs(text));
    notificationLabel_->show();
    notificationLabel_->setIsAnimating(true);
}

void MainViewViewController::dismissProgress() {
    if (!notificationLabel_ || !notificationLabel_->isVisible()) return;
    notificationLabel_->stopAnimation();
    notificationLabel_->hide();
}

void MainViewViewController::collectionTypeSelected() {
    if (!glyphwright_ || !collectionTypeControl_) return;
    const int segment = collectionTypeControl_->selectedSegment();
    if (segment < 0 || segment > 2) return;
    glyphwright_->setImageInputCollectionType(static_cast<CollectionType>(segment));
}

void MainViewViewController::presentError(std::exception_ptr error) {
    qt::presentError(mainWindow(), errorDescription(error));
}

void MainViewViewController::createAssetCatalogPressed() {
    for (qt::Panel* panel : allPanels()) panel->close();
    if (notificationLabel_) notificationLabel_->hide();
    if (activityIndicator_) activityIndicator_->setDoubleValue(0);
    // A run over the same catalog never starts while one is on, whatever control asked.
    if (!glyphwright_ || running_) return;
    try {
        glyphwright_->createAssetCatalog();
    } catch (const FileWritingIntentError& error) {
        if (activityIndicator_) activityIndicator_->hide();
        Logger::log("User cancelled creating catalog");
    } catch (...) {
        presentError(std::current_exception());
        if (activityIndicator_) activityIndicator_->hide();
    }
}

// --- state of the controls ---

bool MainViewViewController::canCreateCatalog() const {
    return glyphwright_ && !running_ && glyphwright_->readyState().stateCase() != ReadyState::Case::error;
}

std::string MainViewViewController::createButtonTitle() const {
    const auto folder = glyphwright_ ? glyphwright_->outputDirectory() : std::nullopt;
    return LocalizedString::text(folder && isOrInsideAssetCatalog(*folder) ? "main.button.title.update-catalog"
                                                                           : "main.button.title.create-catalog");
}

void MainViewViewController::updateCreateButton() {
    const bool enabled = canCreateCatalog();
    const std::string title = createButtonTitle();
    if (createAssetCatalogButton_) {
        createAssetCatalogButton_->setEnabled(enabled);
        createAssetCatalogButton_->setText(qs(title));
    }
    if (createAssetCatalogMenuItem_) {
        createAssetCatalogMenuItem_->setEnabled(enabled);
        createAssetCatalogMenuItem_->setTitle(title);
    }
    auto& touchBarButton = createCatalogTouchBarButton();
    touchBarButton.setEnabled(enabled);
    touchBarButton.setTitle(title);
}

void MainViewViewController::updateTypeDisclosure() {
    if (!typeDisclosure_) return;
    bool hasPanel = false;
    if (glyphwright_) {
        const auto type = glyphwright_->resizeType();
        hasPanel = type == ConversionOutputType::asset || type == ConversionOutputType::iOSSplash ||
                   type == ConversionOutputType::tvOSIcon || type == ConversionOutputType::tvOSLeaderboard;
    }
    typeDisclosure_->setEnabled(hasPanel);
}

void MainViewViewController::updateImageWell() {
    const auto selected = glyphwright_ ? glyphwright_->selectedImageInputs() : std::vector<ImageInputPtr>{};
    const bool empty = selected.empty();
    if (imageWell_) {
        const auto wrapper = empty ? nullptr : selected.front()->imageWrapper();
        imageWell_->setImage(empty ? dropImage_ : (wrapper ? wrapper->image() : nullptr));
    }
    if (placeholder_) placeholder_->setVisible(empty);
    if (placeholder2_) placeholder2_->setVisible(empty);
    refreshTouchBar();
}

void MainViewViewController::showCollectionPage() {
    if (!collectionPages_ || !glyphwright_) return;
    collectionPages_->setCurrentIndex(static_cast<int>(glyphwright_->imageInputCollectionType()));
}

// --- engine notifications ---

void MainViewViewController::glyphwrightShowEditingPanel(Glyphwright& engine, const ImageInputPtr&) {
    qt::Panel* panel = panelFor(engine.resizeType());
    if (!panel) return;
    panel->makeKeyAndOrderFront();
    orderMainWindowFront();
}

void MainViewViewController::glyphwrightImageInputsDidChange(Glyphwright&, const std::vector<ImageInputPtr>&) {
    updateImageWell();
}

void MainViewViewController::glyphwrightSelectionDidChange(Glyphwright&, const std::vector<ImageInputPtr>&) {
    updateImageWell();
}

void MainViewViewController::glyphwrightCollectionTypeDidChange(Glyphwright& engine, CollectionType type) {
    if (collectionTypeControl_) collectionTypeControl_->setSelectedSegment(static_cast<int>(type));
    showCollectionPage();
    if (type != CollectionType::single) return;
    const auto& controller = engine.collectionViewArrayController();
    if (!controller) return;
    const auto selected = engine.selectedImageInputs();
    if (selected.empty()) return;
    controller->setSelectedObjects({pa::ArrayController::Element::of(selected.front())});
    if (imageWell_) {
        const auto wrapper = selected.front()->imageWrapper();
        imageWell_->setImage(wrapper ? wrapper->image() : nullptr);
    }
}

void MainViewViewController::glyphwrightOutputTypeDidChange(Glyphwright& engine, std::optional<ConversionOutputType>) {
    const auto type = engine.resizeType();
    closePanelsExcept(panelFor(type));
    if (notificationLabel_) notificationLabel_->hide();
    pf::UserDefaults::standard().setInteger(static_cast<std::int64_t>(type), rawValue(UserDefaultsKey::iconType));
    updateTypeDisclosure();
    updateCreateButton();
}

void MainViewViewController::glyphwrightOutputDirectoryDidChange(Glyphwright&, const std::optional<pf::URL>& url) {
    if (outputDirectoryButton_) {
        // path() is decoded already: decoding it again would mangle a name holding "%".
        outputDirectoryButton_->setText(
            qs(url ? pf::escapedForDisplay(url->path()) : LocalizedString::text("main.button.title.output-directory")));
    }
    updateCreateButton();
}

void MainViewViewController::glyphwrightReadyStateDidChange(Glyphwright&, const ReadyState& state) {
    if (warningTextField_) {
        switch (state.stateCase()) {
            case ReadyState::Case::warnings: {
                std::vector<std::string> lines;
                for (const auto& warning : state.warningList()) lines.push_back("⚠️ " + errorDescription(warning));
                std::string text;
                for (std::size_t i = 0; i < lines.size() && i < 2; ++i) text += (i ? "\n" : "") + lines[i];
                if (lines.size() > 2) {
                    text += LocalizedString::text("error.warning.concatenation.format",
                                                  static_cast<std::int64_t>(lines.size() - 2));
                }
                std::string toolTip;
                for (std::size_t i = 0; i < lines.size(); ++i) toolTip += (i ? "\n" : "") + lines[i];
                warningTextField_->setText(qs(text));
                warningTextField_->setToolTip(qs(toolTip));
                warningTextField_->show();
                break;
            }
            case ReadyState::Case::error: {
                const std::string text = "⛔️ " + errorDescription(state.errorValue());
                warningTextField_->setText(qs(text));
                warningTextField_->setToolTip(qs(text));
                warningTextField_->show();
                break;
            }
            case ReadyState::Case::ready: warningTextField_->hide(); break;
        }
    }
    updateCreateButton();
}

void MainViewViewController::glyphwrightDidStartCreating(Glyphwright& engine) {
    running_ = true;
    runFailed_ = false;
    revealedFolders_.clear();
    if (activityIndicator_) {
        activityIndicator_->setDoubleValue(0);
        activityIndicator_->setMaxValue(1.0);
        activityIndicator_->show();
    }
    // All three: neither the shortcut nor the Touch Bar may start a second run meanwhile.
    updateCreateButton();
    const std::weak_ptr<MainViewViewController> weak = weak_from_this();
    engine.setProgressUpdateHandler([weak](float progress) {
        DispatchQueue::main().async([weak, progress] {
            auto self = weak.lock();
            if (!self || !self->activityIndicator_) return;
            self->activityIndicator_->setDoubleValue(progress);
            Logger::log(fmt::format("Asset Catalog Creation operation progress {}", progress));
        });
    });
}

void MainViewViewController::glyphwrightDidFinishFolder(Glyphwright&, const GlyphwrightResult& result) {
    const std::weak_ptr<MainViewViewController> weak = weak_from_this();
    DispatchQueue::main().async([weak, result] {
        if (auto self = weak.lock()) self->handleFolderResult(result);
    });
}

void MainViewViewController::glyphwrightDidFinishAllOperations(Glyphwright&) {
    const std::weak_ptr<MainViewViewController> weak = weak_from_this();
    DispatchQueue::main().async([weak] {
        if (auto self = weak.lock()) self->handleAllDone();
    });
}

void MainViewViewController::glyphwrightDidKeepReplacedItem(Glyphwright&, const ReplacedItem& item) {
    pa::UserNotification notification;
    if (item.isCatalog()) {
        notification.title = LocalizedString::text(item.inTrash ? "notification.catalog-replaced.title.trashed"
                                                                : "notification.catalog-replaced.title.kept");
    } else {
        notification.title = LocalizedString::text(item.inTrash ? "notification.asset-replaced.title.trashed"
                                                                : "notification.asset-replaced.title.kept");
    }
    notification.subtitle = item.description();
    // After the folders' notices, which the main queue hands on first.
    DispatchQueue::main().async([notification = std::move(notification)]() mutable {
        pa::UserNotificationCenter::defaultCenter().deliverInBackground(std::move(notification));
    });
}

void MainViewViewController::handleFolderResult(const GlyphwrightResult& result) {
    // The window is gone: nothing to show the result in.
    if (!view_) return;
    if (!result.isSuccess()) {
        runFailed_ = true;
        queueFailureSheet(result.error());
        return;
    }
    const auto& success = result.successValue();
    const std::string folderPath = success.outputDirectory.path();
    if (defaultsBool(UserDefaultsKey::openFinder) && revealedFolders_.insert(folderPath).second) {
        if (auto delegate = appDelegate_.lock()) delegate->openFinderAtURL(success.outputDirectory);
    }

    ImageInputPtr picture;
    try {
        picture = success.imageInputCollection.imageInput();
    } catch (...) {
        const auto definitions = allImageDefinitions(success.definition);
        if (!definitions.empty()) picture = definitions.front().imageInput;
    }
    pa::UserNotification notification;
    if (picture) {
        if (const auto wrapper = picture->imageWrapper()) notification.contentImage = wrapper->image();
    }
    notification.soundName = pa::UserNotification::defaultSoundName;
    notification.hasActionButton = true;
    notification.actionButtonTitle = LocalizedString::text("notification.catalog-created.action-button-title");
    notification.userInfo = {{"output_path", pf::Value(success.outputDirectory.absoluteString())}};
    notification.title = LocalizedString::text(isOrInsideAssetCatalog(success.outputDirectory)
                                                   ? "notification.catalog-created.title.updated"
                                                   : "notification.catalog-created.title.created");
    const std::string typeName = ConversionOutputTypes::displayName(success.resizeType);
    notification.subtitle = typeName;
    if (success.resizeType == ConversionOutputType::asset && picture) {
        notification.subtitle = pf::escapedForDisplay(picture->imageName()) + " " + typeName;
    }
    if (success.resizeType == ConversionOutputType::tvOSIcon ||
        success.resizeType == ConversionOutputType::tvOSLeaderboard) {
        notification.contentImage = nullptr;
    }
    // Its picture is scaled and sent off the main thread: a large one takes seconds.
    pa::UserNotificationCenter::defaultCenter().deliverInBackground(std::move(notification));

    if (auto tracker = KKGAI()) {
        if (auto hit = KKGADictionaryBuilder::createEventWithCategory("Usage", "Catalog Created", typeName, 0)->build()) {
            tracker->send(*hit);
        }
    }
}

void MainViewViewController::handleAllDone() {
    running_ = false;
    if (!view_ || !helpPanel_ || !questionMarkButton_) {
        updateCreateButton();
        return;
    }
    if (activityIndicator_) activityIndicator_->hide();
    const auto folder = glyphwright_ ? glyphwright_->outputDirectory() : std::nullopt;
    const bool intoCatalog = folder && isAssetCatalog(*folder);
    if (!intoCatalog && !runFailed_ && !helpPanel_->isVisible() && defaultsBool(UserDefaultsKey::showInstructions)) {
        questionMarkButtonPressed();
    }
    updateCreateButton();
    if (!defaultsBool(UserDefaultsKey::suppressAllPromptsToReview)) {
        if (auto delegate = appDelegate_.lock()) delegate->myPrompter().promptForReviewIfAllowed([](bool) {});
    }
}

// --- failure sheets, one at a time ---

void MainViewViewController::queueFailureSheet(std::exception_ptr error) {
    pendingSheets_.push_back(std::move(error));
    if (!currentSheet_) showNextFailureSheet();
}

QMessageBox* MainViewViewController::currentFailureSheet() const { return currentSheet_.data(); }

void MainViewViewController::showNextFailureSheet() {
    if (pendingSheets_.empty() || !view_) return;
    const auto error = pendingSheets_.front();
    pendingSheets_.pop_front();
    std::string message;
    std::string informative;
    try {
        std::rethrow_exception(error);
    } catch (const AddImageAlertError& e) {
        message = e.messageText();
        informative = e.informativeText();
    } catch (...) {
    }
    if (message.empty()) message = LocalizedString::text("main.alert.conversion-failed");
    if (informative.empty()) informative = errorDescription(error);
    auto* sheet = new QMessageBox(QMessageBox::Warning, qs(message), qs(message), QMessageBox::Ok, mainWindow());
    sheet->setInformativeText(qs(informative));
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    currentSheet_ = sheet;
    const std::weak_ptr<MainViewViewController> weak = weak_from_this();
    QObject::connect(sheet, &QMessageBox::finished, sheet, [weak] {
        // The next sheet comes once this one is gone, on a later turn of the loop.
        DispatchQueue::main().async([weak] {
            if (auto self = weak.lock()) {
                self->currentSheet_ = nullptr;
                self->showNextFailureSheet();
            }
        });
    });
    sheet->open();
}

void MainViewViewController::layerEditingViewControllerDidRequestClose(LayerEditingViewController&) {
    if (appIconPanel_) appIconPanel_->close();
    if (leaderboardPanel_) leaderboardPanel_->close();
}

// --- the interface ---

MainInterface loadMainInterface(const std::shared_ptr<Glyphwright>& engine) {
    MainInterface ui;
    ui.window = std::make_unique<MainWindow>();
    ui.window->setWindowTitle(qs(LocalizedString::text("menu.application.title")));
    ui.controller = MainViewViewController::make();
    auto* layout = new QVBoxLayout(ui.window.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(ui.controller->view());
    ui.window->resize(560, 640);

    auto* help = new qt::Panel(ui.window.get());
    help->setWindowTitle(qs(LocalizedString::text("main.help.title")));
    auto* helpText = new QLabel(qs(LocalizedString::text("main.help.instructions")), help);
    helpText->setWordWrap(true);
    helpText->setMinimumWidth(360);
    helpText->setContentsMargins(10, 10, 10, 10);
    help->setContentView(helpText);

    auto* assetSize = new qt::Panel(ui.window.get());
    assetSize->setWindowTitle(qs(LocalizedString::text("main.panel.asset-size.title")));
    auto* splash = new qt::Panel(ui.window.get());
    splash->setWindowTitle(qs(LocalizedString::text("main.panel.splash-previews.title")));
    if (engine) {
        auto presets = std::make_shared<OLVPresetSizesArrayController>();
        assetSize->setContentView(
            AssetSizeView::makeWithInterface(engine->collectionViewArrayController(), presets, assetSize));
        splash->setContentView(SplashPreviewViewController::makeWithInterface(engine, splash));
    }
    ui.controller->setPanels(assetSize, help, splash);

    ui.outputTypeMenuItem = pa::MenuItem::make(LocalizedString::text("menu.output-type.title"));
    ui.outputTypeMenuItem->setSubmenu(pa::Menu::make(LocalizedString::text("menu.output-type.title")));
    ui.outputTypeSelectionHandler = OutputTypeSelectionHandler::make();
    ui.outputTypeSelectionHandler->setMenuItem(ui.outputTypeMenuItem);
    ui.outputTypeSelectionHandler->setOutputTypePopUpButton(ui.controller->outputTypePopUpButton());

    ui.createMenuItem = pa::MenuItem::make(LocalizedString::text("main.button.title.create-catalog"), {}, "b");
    ui.controller->setCreateAssetCatalogMenuItem(ui.createMenuItem);

    if (engine) {
        engine->setOutputTypeSelectionHandler(ui.outputTypeSelectionHandler);
        ui.controller->setGlyphwright(engine);
    }
    ui.touchBarStrip = new qt::TouchBarStrip(ui.window.get(), ui.controller->makeTouchBar());
    return ui;
}

}  // namespace gw
