#pragma once
// The asset-size panel of the plain image set: point size (with named presets),
// padding and device types of the selected pictures, written straight into them
// through the picture list's controller.
#include "app/definitions/config_file.hpp"
#include "app/ui/padded_image_view.hpp"
#include "platform/appkit/array_controller.hpp"
#include "platform/appkit/qt/pop_up_button.hpp"
#include "platform/appkit/qt/small_controls.hpp"

#include <QLabel>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace gw {

// One named size preset, in points.
struct OLVPresetSize {
    std::optional<std::string> name;
    float width = 0;
    float height = 0;

    // "Banner (320x50)"; without a name the size alone, "320x50"; a fraction shows as the
    // size fields show it, "83.5x83.5".
    std::string description() const;
    // A missing or unreadable "width" or "height" gives 0; numeric text is read.
    static std::shared_ptr<OLVPresetSize> sizeWithDictionary(const platform::foundation::Dictionary& dictionary);
};

// The entry that stands for no preset.
struct OLVNoPresetSize {};

// The presets of the pop-up: the no-preset entry first, then one per entry of the
// manifest's "assetSizePresets" list, read once when the controller is made.
class OLVPresetSizesArrayController : public platform::appkit::ArrayController {
public:
    OLVPresetSizesArrayController();
    explicit OLVPresetSizesArrayController(const ConfigFile& config);

    static std::vector<Element> content(const ConfigFile& config);
    // Selects the last preset of exactly that size (32-bit comparison), or the
    // no-preset entry; a selected preset of that size stays selected.
    void updateSelectionWithWidth(float width, float height);
    // The title of each arranged entry, for the pop-up.
    std::vector<std::string> titles() const;
};

class AssetSizeView : public QWidget {
public:
    explicit AssetSizeView(QWidget* parent = nullptr);

    // Makes the panel's controls and connects them in the interface's order: picture
    // list, presets, device types, padding controls, preview, then awakeFromNib. Every
    // control has a label, a tooltip and an accessible name.
    static AssetSizeView* makeWithInterface(std::shared_ptr<platform::appkit::ArrayController> pictures,
                                            std::shared_ptr<OLVPresetSizesArrayController> presets,
                                            QWidget* parent = nullptr);

    const std::shared_ptr<platform::appkit::ArrayController>& arrayController() const { return arrayController_; }
    void setArrayController(std::shared_ptr<platform::appkit::ArrayController> controller);
    std::shared_ptr<OLVPresetSizesArrayController> sizeArrayController() const { return sizeArrayController_.lock(); }
    void setSizeArrayController(const std::shared_ptr<OLVPresetSizesArrayController>& controller);
    platform::appkit::qt::SegmentedControl* deviceTypeSegmentedControl() const { return deviceTypeSegmentedControl_; }
    void setDeviceTypeSegmentedControl(platform::appkit::qt::SegmentedControl* control);
    platform::appkit::qt::Slider* paddingSlider() const { return paddingSlider_; }
    void setPaddingSlider(platform::appkit::qt::Slider* slider);
    platform::appkit::qt::Stepper* paddingStepper() const { return paddingStepper_; }
    void setPaddingStepper(platform::appkit::qt::Stepper* stepper);
    PaddedImageView* paddedImageView() const { return paddedImageView_; }
    void setPaddedImageView(PaddedImageView* view);

    // The controls of the interface (present after makeWithInterface).
    platform::appkit::qt::PopUpButton* presetPopUp() const { return presetPopUp_; }
    platform::appkit::qt::NumberTextField* widthField() const { return widthField_; }
    platform::appkit::qt::NumberTextField* heightField() const { return heightField_; }

    void awakeFromNib();
    void presetSizesChanged();
    void changeDeviceType();
    // Has no effect, so the panel offers no button for it: a blank button that does
    // nothing would only puzzle.
    void automaticNamingPressed() {}

private:
    void presetFollowUp();
    void showDeviceTypes();
    void showPresetSelection();

    std::shared_ptr<platform::appkit::ArrayController> arrayController_;
    std::weak_ptr<OLVPresetSizesArrayController> sizeArrayController_;
    QPointer<platform::appkit::qt::SegmentedControl> deviceTypeSegmentedControl_;
    QPointer<platform::appkit::qt::Slider> paddingSlider_;
    QPointer<platform::appkit::qt::Stepper> paddingStepper_;
    QPointer<PaddedImageView> paddedImageView_;
    QPointer<platform::appkit::qt::PopUpButton> presetPopUp_;
    QPointer<platform::appkit::qt::NumberTextField> widthField_;
    QPointer<platform::appkit::qt::NumberTextField> heightField_;
    std::shared_ptr<OLVPresetSizesArrayController> keptPresets_;
    std::vector<std::unique_ptr<platform::appkit::KeyPathObservation>> observations_;
};

}  // namespace gw
