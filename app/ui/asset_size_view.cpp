#include "app/ui/asset_size_view.hpp"

#include "app/foundation/device_type.hpp"
#include "app/foundation/image_input.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/ui/value_transformers.hpp"
#include "app/ui/small_controls.hpp"
#include "platform/appkit/qt/bundle_image.hpp"
#include "platform/appkit/qt/control_bindings.hpp"

#include <QGridLayout>
#include <QHBoxLayout>

#include <fmt/format.h>

namespace gw {

namespace qt = platform::appkit::qt;
namespace pa = platform::appkit;
namespace pf = platform::foundation;

// --- presets ---------------------------------------------------------------------------

std::string OLVPresetSize::description() const {
    // As the size fields show the numbers: a preset of 83.5 points does not read "84".
    const pa::NumberFormatter points(2);
    auto size = points.stringFromNumber(width) + "x" + points.stringFromNumber(height);
    return name ? fmt::format("{} ({})", *name, size) : size;
}

std::shared_ptr<OLVPresetSize> OLVPresetSize::sizeWithDictionary(const pf::Dictionary& dictionary) {
    auto preset = std::make_shared<OLVPresetSize>();
    auto read = [&](const char* key) -> float {
        auto it = dictionary.find(key);
        return it == dictionary.end() ? 0.0f : static_cast<float>(it->second.doubleValue());
    };
    if (auto it = dictionary.find("name"); it != dictionary.end()) {
        if (auto* text = it->second.asString()) preset->name = *text;
    }
    preset->width = read("width");
    preset->height = read("height");
    return preset;
}

std::vector<pa::ArrayController::Element> OLVPresetSizesArrayController::content(const ConfigFile& config) {
    std::vector<Element> entries;
    entries.push_back(Element::of(std::make_shared<OLVNoPresetSize>()));
    for (const auto& value : config.assetPresetSizesArray()) {
        if (auto* dictionary = value.asDictionary()) entries.push_back(Element::of(OLVPresetSize::sizeWithDictionary(*dictionary)));
    }
    return entries;
}

OLVPresetSizesArrayController::OLVPresetSizesArrayController() : OLVPresetSizesArrayController(ConfigFile()) {}

OLVPresetSizesArrayController::OLVPresetSizesArrayController(const ConfigFile& config)
    : ArrayController(content(config)) {}

void OLVPresetSizesArrayController::updateSelectionWithWidth(float width, float height) {
    auto selected = selectedObjects();
    if (!selected.empty()) {
        if (auto preset = selected.front().as<OLVPresetSize>(); preset && preset->width == width && preset->height == height)
            return;
    }
    const auto arranged = arrangedObjects();
    std::size_t match = 0;  // the no-preset entry
    for (std::size_t i = 0; i < arranged.size(); ++i) {
        if (auto preset = arranged[i].as<OLVPresetSize>(); preset && preset->width == width && preset->height == height)
            match = i;
    }
    setSelectionIndexes({match});
}

std::vector<std::string> OLVPresetSizesArrayController::titles() const {
    std::vector<std::string> result;
    for (const auto& entry : arrangedObjects()) {
        auto preset = entry.as<OLVPresetSize>();
        result.push_back(preset ? preset->description() : LocalizedString::text("asset-size.no-preset"));
    }
    return result;
}

// --- the view ---------------------------------------------------------------------------

AssetSizeView::AssetSizeView(QWidget* parent) : QWidget(parent) {}

void AssetSizeView::setArrayController(std::shared_ptr<pa::ArrayController> controller) {
    arrayController_ = std::move(controller);
}

void AssetSizeView::setSizeArrayController(const std::shared_ptr<OLVPresetSizesArrayController>& controller) {
    sizeArrayController_ = controller;
}

void AssetSizeView::setDeviceTypeSegmentedControl(qt::SegmentedControl* control) { deviceTypeSegmentedControl_ = control; }

void AssetSizeView::setPaddingSlider(qt::Slider* slider) {
    paddingSlider_ = slider;
    if (!slider) return;
    slider->setMinValue(0.0);
    slider->setMaxValue(0.99);
}

void AssetSizeView::setPaddingStepper(qt::Stepper* stepper) {
    paddingStepper_ = stepper;
    if (!stepper) return;
    stepper->setMinValue(0.0);
    stepper->setMaxValue(0.99);
    stepper->setIncrement(0.01);
}

void AssetSizeView::setPaddedImageView(PaddedImageView* view) {
    paddedImageView_ = view;
    if (!view) return;
    pa::BindingOptions imageOptions;
    imageOptions.allowsEditingMultipleValuesSelection = true;
    imageOptions.setMultipleValuesPlaceholder(qt::bundleImage("Multiple Images"));
    imageOptions.valueTransformerName = std::string(OLVImageWithMultipleValuesPlaceholder::className);
    QPointer<PaddedImageView> guard(view);
    qt::bindCustom(*view, "image", arrayController_, "selection.imageWrapper.image", imageOptions,
                   [guard](const pa::BoundValue& shown) {
                       if (guard) guard->setImage(shown.value.image());
                   });
    qt::bindCustom(*view, "padding", arrayController_, "selection.padding", {}, [guard](const pa::BoundValue& shown) {
        if (guard) guard->setPadding(shown.value.isNumber() ? shown.value.doubleValue() : 0.0);
    });
    // The frame takes the proportions the pictures are written at.
    const auto showOutputSize = [guard, weak = QPointer<AssetSizeView>(this)](const pa::BoundValue&) {
        if (!guard || !weak || !weak->arrayController_) return;
        const auto w = pa::valueForKeyPath(*weak->arrayController_, "selection.assetPointWidth");
        const auto h = pa::valueForKeyPath(*weak->arrayController_, "selection.assetPointHeight");
        if (w.isNumber() && h.isNumber()) {
            guard->setOutputSize(platform::graphics::Size{w.doubleValue(), h.doubleValue()});
        } else {
            guard->setOutputSize(std::nullopt);
        }
    };
    qt::bindCustom(*view, "outputWidth", arrayController_, "selection.assetPointWidth", {}, showOutputSize);
    qt::bindCustom(*view, "outputHeight", arrayController_, "selection.assetPointHeight", {}, showOutputSize);
}

void AssetSizeView::awakeFromNib() {
    observations_.clear();
    QPointer<AssetSizeView> weak(this);
    for (const char* path : {"selection.assetPointWidth", "selection.assetPointHeight"}) {
        observations_.push_back(std::make_unique<pa::KeyPathObservation>(arrayController_, path, [weak] {
            if (weak) weak->presetFollowUp();
        }));
    }
    observations_.push_back(std::make_unique<pa::KeyPathObservation>(arrayController_, "selection", [weak] {
        if (weak) weak->showDeviceTypes();
    }));
    if (auto presets = sizeArrayController()) {
        observations_.push_back(std::make_unique<pa::KeyPathObservation>(presets, "selectionIndexes", [weak] {
            if (weak) weak->showPresetSelection();
        }));
    }
    presetFollowUp();
    showDeviceTypes();
    showPresetSelection();
}

void AssetSizeView::presetSizesChanged() {
    auto presets = sizeArrayController();
    if (!presets || !arrayController_) return;
    auto selected = presets->selectedObjects();
    if (selected.empty()) return;
    auto preset = selected.front().as<OLVPresetSize>();
    if (!preset) return;
    // The lock goes off first, so the width does not drag the height along.
    pa::setValueForKeyPath(*arrayController_, "selection.isAspectRatioLocked", false);
    pa::setValueForKeyPath(*arrayController_, "selection.assetPointWidth", static_cast<double>(preset->width));
    pa::setValueForKeyPath(*arrayController_, "selection.assetPointHeight", static_cast<double>(preset->height));
}

void AssetSizeView::presetFollowUp() {
    if (!arrayController_) return;
    auto width = pa::valueForKeyPath(*arrayController_, "selection.assetPointWidth");
    auto height = pa::valueForKeyPath(*arrayController_, "selection.assetPointHeight");
    if (!width.isNumber() || !height.isNumber()) return;
    if (auto presets = sizeArrayController()) presets->updateSelectionWithWidth(width.floatValue(), height.floatValue());
}

void AssetSizeView::showDeviceTypes() {
    auto* control = deviceTypeSegmentedControl_.data();
    if (!control || !arrayController_) return;
    auto raw = pa::valueForKeyPath(*arrayController_, "selection.deviceTypesRawValues").integerSet();
    auto selected = arrayController_->selectedObjectsAs<ImageInput>();
    if (!raw || !selected || selected->empty()) {
        control->setSelectedSegment(-1);
        return;
    }
    const auto first = selected->front()->deviceTypesRawValues();
    for (int i = 0; i < control->segmentCount(); ++i) control->setSelected(first.count(i) > 0, i);
}

void AssetSizeView::changeDeviceType() {
    auto* control = deviceTypeSegmentedControl_.data();
    if (!control || !arrayController_) return;
    std::set<std::int64_t> chosen;
    for (int i = 0; i < std::min(control->segmentCount(), 6); ++i) {
        if (control->isSelectedForSegment(i)) chosen.insert(i);
    }
    auto selected = arrayController_->selectedObjectsAs<ImageInput>();
    if (!selected) return;
    for (const auto& picture : *selected) {
        picture->setDeviceTypesRawValues(chosen);
        picture->updatePointSizeFromImage();
    }
}

void AssetSizeView::showPresetSelection() {
    auto presets = sizeArrayController();
    if (!presets || !presetPopUp_) return;
    auto indexes = presets->selectionIndexes();
    presetPopUp_->selectItemAtIndex(indexes.empty() ? -1 : static_cast<int>(*indexes.begin()));
}

AssetSizeView* AssetSizeView::makeWithInterface(std::shared_ptr<pa::ArrayController> pictures,
                                                std::shared_ptr<OLVPresetSizesArrayController> presets,
                                                QWidget* parent) {
    auto* view = new AssetSizeView(parent);
    view->keptPresets_ = presets;  // the interface owns its preset controller
    auto* grid = new QGridLayout(view);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);

    auto* popUp = new qt::PopUpButton(view);
    for (const auto& title : presets->titles()) popUp->addItemWithTitle(title);
    view->presetPopUp_ = popUp;
    QPointer<AssetSizeView> weak(view);
    popUp->setAction([weak](qt::PopUpButton& sender) {
        if (!weak) return;
        if (auto controller = weak->sizeArrayController()) {
            const int index = sender.indexOfSelectedItem();
            controller->setSelectionIndexes(index < 0 ? std::set<std::size_t>{} : std::set<std::size_t>{std::size_t(index)});
        }
        weak->presetSizesChanged();
    });
    grid->addWidget(labelForControl(*popUp, "asset-size.label.preset", view), 0, 0);
    grid->addWidget(popUp, 0, 1, 1, 3);

    // Sizes in points, shown to a hundredth: a third of a point is "341.33", not its
    // seventeen digits.
    auto* width = new qt::NumberTextField(view);
    auto* height = new qt::NumberTextField(view);
    for (auto* field : {width, height}) field->setFormatter(pa::NumberFormatter(2));
    view->widthField_ = width;
    view->heightField_ = height;
    qt::bind(*width, "value", pictures, "selection.assetPointWidth");
    qt::bind(*height, "value", pictures, "selection.assetPointHeight");
    grid->addWidget(labelForControl(*width, "asset-size.label.width", view), 1, 0);
    grid->addWidget(width, 1, 1);
    grid->addWidget(labelForControl(*height, "asset-size.label.height", view), 1, 2);
    grid->addWidget(height, 1, 3);

    auto* devices = new qt::SegmentedControl(view);
    devices->setTrackingMode(qt::SegmentedControl::TrackingMode::selectAny);
    devices->setSegmentCount(6);
    for (auto type : allDeviceTypes) {
        const int segment = static_cast<int>(rawValue(type));
        devices->setLabel(std::string(idiom(type)), segment);
        devices->setToolTip(LocalizedString::text("asset-size.device.tooltip", idiom(type)), segment);
    }
    devices->setAction([weak](qt::SegmentedControl&) {
        if (weak) weak->changeDeviceType();
    });
    grid->addWidget(labelForControl(*devices, "asset-size.label.devices", view), 2, 0);
    grid->addWidget(devices, 2, 1, 1, 3);

    auto* slider = new qt::Slider(view);
    auto* stepper = new qt::Stepper(view);
    auto* percentage = new QLabel(view);
    pa::BindingOptions percent;
    percent.valueTransformerName = std::string(OLVFloatToPercentageStringTransformer::className);
    registerInterfaceValueTransformers();
    QPointer<QLabel> label(percentage);
    qt::bindCustom(*percentage, "value", pictures, "selection.padding", percent, [label](const pa::BoundValue& shown) {
        if (label) label->setText(QString::fromStdString(shown.value.stringValue()));
    });
    grid->addWidget(labelForControl(*slider, "asset-size.label.padding", view), 3, 0);
    describeControlByKey(*stepper, "asset-size.label.padding");
    auto* paddingRow = new QHBoxLayout;
    paddingRow->addWidget(slider, 1);
    paddingRow->addWidget(stepper);
    paddingRow->addWidget(percentage);
    grid->addLayout(paddingRow, 3, 1, 1, 3);

    // The picture as it will be written takes the room that is left.
    auto* preview = new PaddedImageView(view);
    preview->setMinimumSize(160, 120);
    describeControlByKey(*preview, "asset-size.preview");
    grid->addWidget(preview, 4, 0, 1, 4);
    grid->setRowStretch(4, 1);

    view->setArrayController(pictures);
    view->setSizeArrayController(presets);
    view->setDeviceTypeSegmentedControl(devices);
    view->setPaddingSlider(slider);
    view->setPaddingStepper(stepper);
    qt::bind(*slider, "value", pictures, "selection.padding");
    qt::bind(*stepper, "value", pictures, "selection.padding");
    view->setPaddedImageView(preview);
    view->awakeFromNib();
    return view;
}

}  // namespace gw
