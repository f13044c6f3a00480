#include "app/ui/splash_preview_view_controller.hpp"

#include "app/engine/batch_resize_operation.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"
#include "app/foundation/user_defaults_key.hpp"
#include "app/ui/value_transformers.hpp"
#include "app/ui/small_controls.hpp"
#include "platform/appkit/qt/bundle_image.hpp"
#include "platform/appkit/qt/control_bindings.hpp"
#include "platform/appkit/user_defaults_controller.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/user_defaults.hpp"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <QShowEvent>

namespace gw {

namespace qt = platform::appkit::qt;
namespace pa = platform::appkit;
namespace pg = platform::graphics;
using platform::dispatch::DispatchQueue;

namespace {

// Each device drawing with where its screen sits in it, in points.
struct DeviceFrame {
    const char* black;
    const char* white;
    QSize size;
    QRect screen;
    const char* nameKey;
};
// iPhone 4, iPhone 5, iPhone 6 Plus, horizontal iPad, vertical iPad (the outlet order).
constexpr std::array<DeviceFrame, 5> deviceFrames = {{
    {"iPhone_4S_black", "iPhone_4S_white", {190, 370}, {15, 65, 160, 240}, "splash.device.iphone-4"},
    {"iPhone_5s_black", "iPhone_5s_white", {190, 412}, {15, 64, 160, 284}, "splash.device.iphone-5"},
    {"iPhone_6_Plus_Horz_SpaceGray", "iPhone_6_Plus_Horz_Slvr", {472, 231}, {52, 12, 368, 207},
     "splash.device.iphone-6-plus"},
    {"iPad_mini_Horz_black", "iPad_mini_Horz_white", {320, 232}, {32, 20, 256, 192}, "splash.device.ipad-horizontal"},
    {"iPad_mini_Vert_black", "iPad_mini_Vert_white", {232, 320}, {20, 32, 192, 256}, "splash.device.ipad-vertical"},
}};

}  // namespace

// The panel as an engine delegate: shared (the engine keeps it weakly), and cut off
// from the panel when the panel goes.
class SplashPreviewViewController::DelegateBridge : public GlyphwrightDelegate {
public:
    explicit DelegateBridge(SplashPreviewViewController* owner) : owner_(owner) {}
    void detach() { owner_ = nullptr; }
    void glyphwrightShowEditingPanel(Glyphwright&, const ImageInputPtr& input) override {
        if (owner_) owner_->glyphwrightShowEditingPanel(input);
    }
    void glyphwrightImageInputsDidChange(Glyphwright&, const std::vector<ImageInputPtr>&) override {
        if (owner_) owner_->glyphwrightImageInputsDidChange();
    }
    void glyphwrightSelectionDidChange(Glyphwright&, const std::vector<ImageInputPtr>&) override {
        if (owner_) owner_->glyphwrightSelectionDidChange();
    }
    void glyphwrightCollectionTypeDidChange(Glyphwright&, CollectionType) override {
        if (owner_) owner_->glyphwrightCollectionTypeDidChange();
    }

private:
    SplashPreviewViewController* owner_;
};

SplashPreviewViewController::SplashPreviewViewController(QWidget* parent)
    : QWidget(parent), operationQueue_(std::make_unique<platform::dispatch::OperationQueue>()),
      delegateBridge_(std::make_shared<DelegateBridge>(this)) {
    operationQueue_->setMaxConcurrentOperationCount(1);

    // The devices in two rows, the controls beside the wide phone, so the panel fits a
    // screen of 1024 × 768; each device keeps its drawing's size, which is also the size
    // its preview is rendered at.
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    auto* bottom = new QHBoxLayout;
    layout->addLayout(top);
    layout->addLayout(bottom);
    std::array<QWidget*, 5> holders{};
    std::array<qt::ImageView*, 5> screens{};
    for (std::size_t i = 0; i < deviceFrames.size(); ++i) {
        holders[i] = new QWidget(this);
        holders[i]->setFixedSize(deviceFrames[i].size);
        backgrounds_[i] = new qt::ImageView(holders[i]);
        backgrounds_[i]->setGeometry(QRect(QPoint(0, 0), deviceFrames[i].size));
        screens[i] = new qt::ImageView(holders[i]);
        screens[i]->setGeometry(deviceFrames[i].screen);
        qt::describeControl(*holders[i], LocalizedString::text(deviceFrames[i].nameKey), {});
    }
    iPhone4ScreenImageView_ = screens[0];
    iPhone5ScreenImageView_ = screens[1];
    iPhone6PlusImageView_ = screens[2];
    iPadHorizontalScreenImageView_ = screens[3];
    iPadVerticalScreenImageView_ = screens[4];
    top->addStretch(1);
    for (std::size_t i : {0u, 1u, 4u, 3u}) top->addWidget(holders[i], 0, Qt::AlignBottom);
    top->addStretch(1);
    bottom->addWidget(holders[2], 0, Qt::AlignTop);

    // Every control with a label, a tooltip and an accessible name.
    auto* controls = new QGridLayout;
    bottom->addLayout(controls, 1);
    const auto labelled = [this, controls](int row, QWidget* control, const char* key,
                                           Qt::Alignment alignment = Qt::AlignLeft) {
        controls->addWidget(labelForControl(*control, key, this), row, 0);
        controls->addWidget(control, row, 1, alignment);
    };
    scaleTypeSegmentedControl_ = new qt::SegmentedControl(this);
    scaleTypeSegmentedControl_->setSegmentCount(3);
    const char* scaleKeys[] = {"splash.scale-type.stretch", "splash.scale-type.fill", "splash.scale-type.fit"};
    for (int i = 0; i < 3; ++i) {
        scaleTypeSegmentedControl_->setLabel(LocalizedString::text(scaleKeys[i]), i);
        scaleTypeSegmentedControl_->setToolTip(LocalizedString::text(std::string(scaleKeys[i]) + ".tooltip"), i);
    }
    scaleTypeSegmentedControl_->setSelectedSegment(0);
    scaleTypeSegmentedControl_->setAction([this](qt::SegmentedControl&) { scaleTypeChanged(); });
    labelled(0, scaleTypeSegmentedControl_, "splash.label.scale-type");

    deviceBlackWhiteSegmentedControl_ = new qt::SegmentedControl(this);
    deviceBlackWhiteSegmentedControl_->setSegmentCount(2);
    for (auto [segment, key] : {std::pair{0, "splash.device-colour.black"}, std::pair{1, "splash.device-colour.white"}}) {
        deviceBlackWhiteSegmentedControl_->setLabel(LocalizedString::text(key), segment);
        deviceBlackWhiteSegmentedControl_->setToolTip(LocalizedString::text(std::string(key) + ".tooltip"), segment);
    }
    deviceBlackWhiteSegmentedControl_->setAction([this](qt::SegmentedControl& sender) { deviceColorChanged(sender); });
    labelled(1, deviceBlackWhiteSegmentedControl_, "splash.label.device-colour");

    colorWell_ = new qt::ColorWell(this);
    colorWell_->setAction([this](qt::ColorWell&) { backgroundColorChanged(); });
    labelled(2, colorWell_, "splash.label.background");
    autoSelectColorCheckbox_ = new QCheckBox(QString::fromStdString(LocalizedString::text("splash.auto-colour")), this);
    describeControlByKey(*autoSelectColorCheckbox_, "splash.auto-colour");
    connect(autoSelectColorCheckbox_, &QCheckBox::clicked, this, [this] { autoSelectColorCheckboxPressed(); });
    controls->addWidget(autoSelectColorCheckbox_, 3, 1);

    auto* slider = new qt::Slider(this);
    slider->setMaxValue(3.0);
    slider->setAction([this](qt::Slider& sender) { zoomChanged(&sender); });
    setZoomSlider(slider);
    labelled(4, slider, "splash.label.zoom", {});  // the whole row, not only its start
    auto* zoomRow = new QHBoxLayout;
    zoomAmountTextField_ = new QLineEdit(this);
    zoomAmountTextField_->setReadOnly(true);
    zoomAmountTextField_->setMaximumWidth(64);
    describeControlByKey(*zoomAmountTextField_, "splash.label.zoom-amount");
    zoomRow->addWidget(zoomAmountTextField_);
    resetZoomButton_ = new QPushButton(QString::fromStdString(LocalizedString::text("splash.reset-zoom")), this);
    describeControlByKey(*resetZoomButton_, "splash.reset-zoom");
    connect(resetZoomButton_, &QPushButton::clicked, this, [this] { resetZoomPressed(); });
    zoomRow->addWidget(resetZoomButton_);
    zoomRow->addStretch(1);
    controls->addLayout(zoomRow, 5, 1);
    controls->setRowStretch(6, 1);
    controls->setColumnStretch(1, 1);
}

SplashPreviewViewController::~SplashPreviewViewController() {
    alive_.reset();
    delegateBridge_->detach();
    arrangedObjectsObservation_.reset();
    operationQueue_->cancelAllOperations();
}

SplashPreviewViewController* SplashPreviewViewController::makeWithInterface(const std::shared_ptr<Glyphwright>& engine,
                                                                            QWidget* parent) {
    auto* controller = new SplashPreviewViewController(parent);
    controller->setGlyphwright(engine);
    controller->viewDidLoad();
    return controller;
}

void SplashPreviewViewController::setZoomSlider(qt::Slider* slider) {
    zoomSlider_ = slider;
    if (slider) slider->setMinValue(0.01);
}

std::array<qt::ImageView*, 5> SplashPreviewViewController::screenImageViews() const {
    // The vertical iPad comes before the horizontal one; the preview sizes follow this order.
    return {iPhone4ScreenImageView_, iPhone5ScreenImageView_, iPhone6PlusImageView_, iPadVerticalScreenImageView_,
            iPadHorizontalScreenImageView_};
}

std::vector<pg::Size> SplashPreviewViewController::screenSizes() const {
    std::vector<pg::Size> sizes;
    for (auto* view : screenImageViews()) sizes.push_back({double(view->width()), double(view->height())});
    return sizes;
}

void SplashPreviewViewController::setGlyphwright(const std::shared_ptr<Glyphwright>& engine) {
    glyphwright_ = engine;
    if (!engine) return;
    engine->appendDelegate(std::make_shared<WeakGlyphwrightDelegateWrapper>(WeakGlyphwrightDelegateWrapper{delegateBridge_}));
    arrayController_ = std::make_shared<pa::ArrayController>(engine->collectionViewArrayController()->arrangedObjects());
}

void SplashPreviewViewController::viewDidLoad() {
    auto engine = glyphwright();
    if (engine && engine->collectionViewArrayController()) {
        std::weak_ptr<int> alive = alive_;
        arrangedObjectsObservation_ = std::make_unique<pa::KeyPathObservation>(
            engine->collectionViewArrayController(), "arrangedObjects", [this, alive] {
                if (!alive.expired()) arrangedObjectsChanged();
            });
    }
    // The interface's own bindings: the frame colour follows the setting.
    qt::bind(*deviceBlackWhiteSegmentedControl_, "selectedIndex", pa::UserDefaultsController::shared(),
             "values." + std::string(rawValue(UserDefaultsKey::deviceColor)));
    if (arrayController_) {
        qt::bind(*zoomSlider_, "value", arrayController_, "selection.zoom");
        // The zoom as a person reads it, "150%", beside the slider.
        registerInterfaceValueTransformers();
        pa::BindingOptions percent;
        percent.valueTransformerName = std::string(OLVFloatToPercentageStringTransformer::className);
        qt::bind(*zoomAmountTextField_, "value", arrayController_, "selection.zoom", percent);
    }
    updateColorWell();
    updateDeviceFrames();
    updatePreviews();
}

void SplashPreviewViewController::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) viewDidAppear();
}

void SplashPreviewViewController::viewDidAppear() {
    // The list observer does nothing while the panel is hidden: take up the pictures
    // that came or went meanwhile before showing them.
    if (auto engine = glyphwright(); engine && arrayController_) {
        const auto current = engine->collectionViewArrayController()->arrangedObjects();
        if (current != arrayController_->arrangedObjects()) {
            arrayController_->setContent(current);
            arrayController_->selectAll();
        }
    }
    updatePreviews();
    updateColorWell();
}

bool SplashPreviewViewController::isShowing() const { return window() && window()->isVisible() && isVisible(); }

std::vector<ImageInputPtr> SplashPreviewViewController::selectedPictures() const {
    if (!arrayController_) return {};
    return arrayController_->selectedObjectsAs<ImageInput>().value_or(std::vector<ImageInputPtr>{});
}

void SplashPreviewViewController::arrangedObjectsChanged() {
    auto engine = glyphwright();
    if (!engine || !isShowing() || !arrayController_) return;
    arrayController_->setContent(engine->collectionViewArrayController()->arrangedObjects());
    arrayController_->selectAll();
    updateColorWell();
    updatePreviews();
}

void SplashPreviewViewController::writeEveryPicture(const char* keyPath, const pa::KeyValue& value) {
    if (auto engine = glyphwright()) pa::setValueForKeyPath(*engine->collectionViewArrayController(), keyPath, value);
}

// --- actions -------------------------------------------------------------------------

void SplashPreviewViewController::scaleTypeChanged() { updatePreviews(); }

void SplashPreviewViewController::deviceColorChanged(qt::SegmentedControl& sender) {
    platform::foundation::UserDefaults::standard().setInteger(sender.selectedSegment(),
                                                              rawValue(UserDefaultsKey::deviceColor));
    updateDeviceFrames();
}

void SplashPreviewViewController::backgroundColorChanged() {
    autoSelectColorCheckbox_->setChecked(false);
    writeEveryPicture("arrangedObjects.backgroundColour", pa::KeyValue(colorWell_->color()));
    updatePreviews();
}

void SplashPreviewViewController::autoSelectColorCheckboxPressed() {
    if (!autoSelectColorCheckbox_->isChecked()) return;
    for (const auto& picture : selectedPictures()) picture->setBackgroundColour(picture->cornerPixelColor());
    updateColorWell();
    updatePreviews();
}

void SplashPreviewViewController::zoomChanged(QObject* sender) {
    auto* slider = dynamic_cast<qt::Slider*>(sender);
    if (!slider) return;
    writeEveryPicture("arrangedObjects.zoom", pa::KeyValue(static_cast<double>(slider->floatValue())));
    updatePreviews();
}

void SplashPreviewViewController::resetZoomPressed() {
    writeEveryPicture("arrangedObjects.zoom", pa::KeyValue(1.0));
    updatePreviews();
}

// --- refreshes --------------------------------------------------------------------------

void SplashPreviewViewController::updatePreviews() {
    if (!isShowing()) return;
    operationQueue_->cancelAllOperations();
    // Whatever is still under way answers an older request from here on.
    const auto generation = ++generation_;
    const auto selected = selectedPictures();
    if (selected.empty()) {
        for (auto* screen : screenImageViews()) screen->setImage(nullptr);
        return;
    }
    auto engine = glyphwright();
    const CollectionType type = engine ? engine->imageInputCollectionType() : CollectionType::single;
    std::vector<ImageInputPtr> pictures;
    switch (type) {
        case CollectionType::single: pictures = {selected.front()}; break;
        case CollectionType::variants: pictures = selected; break;
        case CollectionType::batch: {
            auto placeholder = ImageInput::make();
            placeholder->setImageWrapper(ImageWrapper::make(qt::bundleImage("Multiple Images")));
            pictures = {placeholder};
            break;
        }
    }
    const int segment = scaleTypeSegmentedControl_->selectedSegment();
    if (segment < 0 || segment > 2) return;
    // The render reads what it needs from copies: the pictures themselves stay the main
    // thread's to edit (the zoom slider writes them while a render runs).
    for (auto& picture : pictures) {
        auto copy = ImageInput::make();
        copy->setImageWrapper(picture->imageWrapper());
        copy->setZoom(picture->zoom());
        copy->setBackgroundColour(picture->backgroundColour());
        picture = std::move(copy);
    }

    std::weak_ptr<int> alive = alive_;
    auto completion = [this, alive, generation](const std::vector<pg::ImagePtr>& images, bool cancelled) {
        if (alive.expired() || cancelled || images.size() != 5) {
            Logger::log("Splash completion returning");
            return;
        }
        DispatchQueue::main().async([this, alive, generation, images] {
            // On the main thread, where the panel is destroyed: once locked it stays.
            auto keep = alive.lock();
            if (!keep || generation != generation_) {
                Logger::log("Splash completion returning");
                return;
            }
            auto screens = screenImageViews();
            for (std::size_t i = 0; i < images.size(); ++i) screens[i]->setImage(images[i]);
            ++applied_;
        });
    };
    ++requests_;
    operationQueue_->addOperation(std::make_shared<BatchResizeOperation>(
        ImageInputCollection{pictures, type}, screenSizes(), static_cast<ScaleType>(segment), std::move(completion)));
}

void SplashPreviewViewController::updateColorWell() {
    if (!isShowing()) return;
    const auto selected = selectedPictures();
    if (selected.empty()) {
        colorWell_->setEnabled(false);
        return;
    }
    colorWell_->setEnabled(true);
    auto engine = glyphwright();
    const CollectionType type = engine ? engine->imageInputCollectionType() : CollectionType::single;
    const auto colour = selected.front()->backgroundColour();
    bool show = false;
    if (colour && type == CollectionType::single) {
        show = true;
    } else if (colour && type == CollectionType::variants) {
        show = std::all_of(selected.begin(), selected.end(),
                           [&](const ImageInputPtr& picture) { return picture->backgroundColour() == colour; });
    }
    colorWell_->setColor(show ? *colour : pg::Color::clear());
}

void SplashPreviewViewController::updateDeviceFrames() {
    const bool black = platform::foundation::UserDefaults::standard().integerForKey(rawValue(UserDefaultsKey::deviceColor)) == 0;
    for (std::size_t i = 0; i < deviceFrames.size(); ++i)
        backgrounds_[i]->setImage(qt::bundleImage(black ? deviceFrames[i].black : deviceFrames[i].white));
}

// --- engine notifications ------------------------------------------------------------------

void SplashPreviewViewController::glyphwrightShowEditingPanel(const ImageInputPtr& inserted) {
    auto engine = glyphwright();
    const CollectionType type = engine ? engine->imageInputCollectionType() : CollectionType::single;
    if (type == CollectionType::batch) {
        updatePreviews();
        updateColorWell();
        return;
    }
    if (type == CollectionType::single) {
        for (const auto& picture : selectedPictures()) {
            picture->setZoom(1.0);
            picture->setScaleType(ScaleType::stretch);
        }
        updatePreviews();
        updateColorWell();
        return;
    }
    const auto selected = selectedPictures();
    auto other = std::find_if(selected.begin(), selected.end(), [&](const ImageInputPtr& p) { return p != inserted; });
    if (other == selected.end() || !inserted) return;
    inserted->setZoom((*other)->zoom());
    inserted->setScaleType((*other)->scaleType());
    if (!autoSelectColorCheckbox_->isChecked()) inserted->setBackgroundColour((*other)->backgroundColour());
    updatePreviews();
    updateColorWell();
}

void SplashPreviewViewController::glyphwrightImageInputsDidChange() {
    if (arrayController_) arrayController_->selectAll();
}

void SplashPreviewViewController::glyphwrightSelectionDidChange() {
    if (!arrayController_) return;
    if (arrayController_->selectionIndexes().size() == arrayController_->count()) return;
    arrayController_->selectAll();
    updateColorWell();
    updatePreviews();
}

void SplashPreviewViewController::glyphwrightCollectionTypeDidChange() {
    updateColorWell();
    updatePreviews();
}

}  // namespace gw
