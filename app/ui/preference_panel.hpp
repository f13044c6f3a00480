#pragma once
// The preferences window: two three-segment controls kept in step with the six icon-effect
// settings, and the switch that enables the command line with its Terminal hint.
#include "app/foundation/user_defaults_key.hpp"
#include "app/shell/command_line_enabled_controller.hpp"
#include "platform/appkit/qt/small_controls.hpp"
#include "platform/foundation/notification_center.hpp"
#include "platform/foundation/user_defaults.hpp"

#include <QCheckBox>
#include <QLabel>
#include <QPointer>
#include <QWidget>

#include <array>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace gw {

enum class IconEffect { roundCorners, pad, shadow };

inline constexpr std::array<IconEffect, 3> kAllIconEffects = {IconEffect::roundCorners, IconEffect::pad,
                                                               IconEffect::shadow};
std::string_view rawValue(IconEffect effect);
std::string iconEffectLabel(IconEffect effect);
std::string iconEffectToolTip(IconEffect effect);

// Drives one segmented control (segment i is effect i) from and to its three settings.
class IconEffectSegmentedControlController {
public:
    IconEffectSegmentedControlController(platform::appkit::qt::SegmentedControl* segmentedControl,
                                         std::map<IconEffect, UserDefaultsKey> settingToDefaultKey);
    ~IconEffectSegmentedControlController();
    IconEffectSegmentedControlController(const IconEffectSegmentedControlController&) = delete;
    IconEffectSegmentedControlController& operator=(const IconEffectSegmentedControlController&) = delete;

    void updateSegmentedControlWithDefaultsData();
    void segmentedControlAction();

private:
    void updateSegments();

    platform::foundation::UserDefaults& defaults_;
    std::map<IconEffect, UserDefaultsKey> settingToDefaultKey_;
    QPointer<platform::appkit::qt::SegmentedControl> segmentedControl_;
    bool updatingDefaultsLock_ = false;
    platform::foundation::NotificationCenter::Token observation_ = 0;
    // Cleared at destruction, so updates already queued on the main queue do nothing.
    std::shared_ptr<IconEffectSegmentedControlController*> alive_;
};

// "<path> -help" hint text: every space in the path escaped with a backslash.
std::string terminalHint(const std::filesystem::path& command);
// The `glyphwright` command beside the running binary, absolute.
std::filesystem::path commandLineExecutablePath();

class PreferencePanel : public QWidget {
public:
    explicit PreferencePanel(QWidget* parent = nullptr);
    ~PreferencePanel() override;

    void setCatalinaIconEffectSegmentedControl(platform::appkit::qt::SegmentedControl* control);
    void setMacOSIconEffectSegmentedControl(platform::appkit::qt::SegmentedControl* control);
    // A grant that fails is shown to the user in an alert.
    void setCommandLineEnabledController(std::shared_ptr<CommandLineEnabledController> controller);
    void setEnableCommandLineInterfaceButton(QAbstractButton* button);
    void setCommandLineLabel(QLabel* label);
    void enableCommandLineInterface();

    platform::appkit::qt::SegmentedControl* catalinaIconEffectSegmentedControl() const { return catalina_; }
    platform::appkit::qt::SegmentedControl* macOSIconEffectSegmentedControl() const { return macOS_; }
    QAbstractButton* enableCommandLineInterfaceButton() const { return button_; }
    QLabel* commandLineLabel() const { return label_; }
    // Gives the keyboard to the first segment of the first control.
    void focusFirstControl();

    // The panel as the interface file lays it out: both controls (select-any) under
    // captions naming the icons they shape, the switch and the hint, outlets connected in
    // order (the controller before the switch). The content of the preferences window.
    static PreferencePanel* make(std::shared_ptr<CommandLineEnabledController> controller, QWidget* parent = nullptr);

private:
    std::unique_ptr<IconEffectSegmentedControlController> catalinaController_;
    std::unique_ptr<IconEffectSegmentedControlController> macOSController_;
    QPointer<platform::appkit::qt::SegmentedControl> catalina_;
    QPointer<platform::appkit::qt::SegmentedControl> macOS_;
    std::shared_ptr<CommandLineEnabledController> commandLineEnabledController_;
    QPointer<QAbstractButton> button_;
    QPointer<QLabel> label_;
};

}  // namespace gw
