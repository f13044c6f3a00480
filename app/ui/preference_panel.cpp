#include "app/ui/preference_panel.hpp"

#include "app/foundation/localized_string.hpp"
#include "platform/appkit/qt/alert.hpp"
#include "platform/appkit/qt/control_bindings.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/utf8.hpp"

#include <QFont>
#include <QVBoxLayout>

namespace gw {

namespace pf = platform::foundation;
namespace qt = platform::appkit::qt;

namespace {

std::size_t indexOf(IconEffect effect) { return static_cast<std::size_t>(effect); }

constexpr std::array<std::string_view, 3> kRaw = {"roundCorners", "pad", "shadow"};
constexpr std::array<std::string_view, 3> kLabelKeys = {"icon-effect.round-corners", "icon-effect.padding",
                                                        "icon-effect.shadow"};

}  // namespace

std::string_view rawValue(IconEffect effect) { return kRaw[indexOf(effect)]; }
std::string iconEffectLabel(IconEffect effect) { return LocalizedString::text(kLabelKeys[indexOf(effect)]); }
std::string iconEffectToolTip(IconEffect effect) {
    return LocalizedString::text(std::string(kLabelKeys[indexOf(effect)]) + ".tooltip");
}

IconEffectSegmentedControlController::IconEffectSegmentedControlController(
    qt::SegmentedControl* segmentedControl, std::map<IconEffect, UserDefaultsKey> settingToDefaultKey)
    : defaults_(pf::UserDefaults::standard()),
      settingToDefaultKey_(std::move(settingToDefaultKey)),
      segmentedControl_(segmentedControl),
      alive_(std::make_shared<IconEffectSegmentedControlController*>(this)) {
    observation_ = pf::NotificationCenter::defaultCenter().addObserver(
        std::string(pf::UserDefaults::didChangeNotification), nullptr,
        [this](const pf::Notification&) { updateSegmentedControlWithDefaultsData(); });
    if (segmentedControl_) {
        segmentedControl_->setSegmentCount(static_cast<int>(kAllIconEffects.size()));
        for (const auto effect : kAllIconEffects) {
            segmentedControl_->setLabel(iconEffectLabel(effect), static_cast<int>(indexOf(effect)));
            segmentedControl_->setToolTip(iconEffectToolTip(effect), static_cast<int>(indexOf(effect)));
        }
        segmentedControl_->setAction([this](qt::SegmentedControl&) { segmentedControlAction(); });
    }
    updateSegmentedControlWithDefaultsData();
}

IconEffectSegmentedControlController::~IconEffectSegmentedControlController() {
    pf::NotificationCenter::defaultCenter().removeObserver(observation_);
    *alive_ = nullptr;
    if (segmentedControl_) segmentedControl_->setAction({});
}

void IconEffectSegmentedControlController::updateSegmentedControlWithDefaultsData() {
    // Always later on the main queue, whichever thread posted the change.
    std::weak_ptr<IconEffectSegmentedControlController*> weak = alive_;
    platform::dispatch::DispatchQueue::main().async([weak] {
        const auto alive = weak.lock();
        if (alive && *alive) (*alive)->updateSegments();
    });
}

void IconEffectSegmentedControlController::updateSegments() {
    if (updatingDefaultsLock_ || !segmentedControl_) return;
    for (const auto effect : kAllIconEffects) {
        const auto key = settingToDefaultKey_.find(effect);
        if (key == settingToDefaultKey_.end()) continue;
        segmentedControl_->setSelected(defaults_.boolForKey(rawValue(key->second)), static_cast<int>(indexOf(effect)));
    }
}

void IconEffectSegmentedControlController::segmentedControlAction() {
    if (!segmentedControl_) return;
    updatingDefaultsLock_ = true;
    for (const auto effect : kAllIconEffects) {
        const auto key = settingToDefaultKey_.find(effect);
        if (key == settingToDefaultKey_.end()) continue;
        defaults_.setBool(segmentedControl_->isSelectedForSegment(static_cast<int>(indexOf(effect))),
                          rawValue(key->second));
    }
    updatingDefaultsLock_ = false;
}

std::string terminalHint(const std::filesystem::path& command) {
    std::string escaped;
    for (const char c : command.string()) {
        if (c == ' ') escaped += '\\';
        escaped += c;
    }
    return LocalizedString::text("preferences.command-line.hint", escaped);
}

std::filesystem::path commandLineExecutablePath() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return std::filesystem::absolute("glyphwright", error);
    return self.parent_path() / "glyphwright";
}

PreferencePanel::PreferencePanel(QWidget* parent) : QWidget(parent) {}

PreferencePanel::~PreferencePanel() {
    // The controllers go before the controls they drive.
    catalinaController_.reset();
    macOSController_.reset();
}

void PreferencePanel::setCatalinaIconEffectSegmentedControl(qt::SegmentedControl* control) {
    catalina_ = control;
    if (!control) return;
    catalinaController_ = std::make_unique<IconEffectSegmentedControlController>(
        control, std::map<IconEffect, UserDefaultsKey>{{IconEffect::roundCorners, UserDefaultsKey::catalinaMacIconRoundCorners},
                                                       {IconEffect::pad, UserDefaultsKey::catalinaMacIconPadding},
                                                       {IconEffect::shadow, UserDefaultsKey::catalinaMacIconDropShadow}});
}

void PreferencePanel::setMacOSIconEffectSegmentedControl(qt::SegmentedControl* control) {
    macOS_ = control;
    if (!control) return;
    macOSController_ = std::make_unique<IconEffectSegmentedControlController>(
        control, std::map<IconEffect, UserDefaultsKey>{{IconEffect::roundCorners, UserDefaultsKey::macIconRoundCorners},
                                                       {IconEffect::pad, UserDefaultsKey::macIconPadding},
                                                       {IconEffect::shadow, UserDefaultsKey::macIconDropShadow}});
}

void PreferencePanel::setCommandLineEnabledController(std::shared_ptr<CommandLineEnabledController> controller) {
    commandLineEnabledController_ = std::move(controller);
    if (!commandLineEnabledController_) return;
    commandLineEnabledController_->setErrorPresenter([](const std::exception& error) {
        qt::Alert alert;
        alert.messageText = LocalizedString::text("preferences.command-line.grant-failed");
        alert.informativeText = pf::escapedForDisplay(error.what());
        alert.buttons = {LocalizedString::genericOk()};
        alert.style = qt::AlertStyle::critical;
        alert.runModal();
    });
}

void PreferencePanel::focusFirstControl() {
    if (!macOS_) return;
    if (auto* first = macOS_->segmentButton(0)) first->setFocus(Qt::ActiveWindowFocusReason);
}

void PreferencePanel::setEnableCommandLineInterfaceButton(QAbstractButton* button) {
    button_ = button;
    if (!button) return;
    button->setCheckable(true);
    if (commandLineEnabledController_) {
        // One way: the switch shows the controller's state and turns on only through it.
        QPointer<QAbstractButton> guarded(button);
        qt::bindCustom(*button, "state", commandLineEnabledController_,
                       std::string(CommandLineEnabledController::isCommandLineInterfaceEnabledKey), {},
                       [guarded](const platform::appkit::BoundValue& v) {
                           if (!guarded) return;
                           QSignalBlocker block(guarded.data());
                           guarded->setChecked(v.value.boolValue());
                       });
    }
    QObject::connect(button, &QAbstractButton::clicked, this, [this] { enableCommandLineInterface(); });
}

void PreferencePanel::setCommandLineLabel(QLabel* label) {
    label_ = label;
    if (label) label->setText(QString::fromStdString(terminalHint(commandLineExecutablePath())));
}

void PreferencePanel::enableCommandLineInterface() {
    if (!commandLineEnabledController_) return;
    if (commandLineEnabledController_->isCommandLineInterfaceEnabled()) {
        commandLineEnabledController_->disableCommandLineInterface();
        return;
    }
    if (button_) {
        QSignalBlocker block(button_.data());
        button_->setChecked(false);
    }
    commandLineEnabledController_->chooseRootFolder();
}

PreferencePanel* PreferencePanel::make(std::shared_ptr<CommandLineEnabledController> controller, QWidget* parent) {
    auto* panel = new PreferencePanel(parent);
    auto* layout = new QVBoxLayout(panel);
    const auto caption = [panel](const char* key) {
        auto* label = new QLabel(QString::fromStdString(LocalizedString::text(key)), panel);
        QFont bold = label->font();
        bold.setBold(true);
        label->setFont(bold);
        return label;
    };
    auto* catalina = new qt::SegmentedControl(panel);
    auto* classic = new qt::SegmentedControl(panel);
    catalina->setObjectName(QStringLiteral("catalinaIconEffectSegmentedControl"));
    classic->setObjectName(QStringLiteral("macOSIconEffectSegmentedControl"));
    // Classic icons first: the switch a user of the macOS icon type looks for.
    const std::pair<const char*, qt::SegmentedControl*> groups[] = {{"preferences.icon-effects.macos", classic},
                                                                     {"preferences.icon-effects.catalyst", catalina}};
    for (const auto& [key, control] : groups) {
        control->setTrackingMode(qt::SegmentedControl::TrackingMode::selectAny);
        auto* title = caption(key);
        title->setBuddy(control);
        control->setAccessibleName(title->text());
        layout->addWidget(title);
        layout->addWidget(control, 0, Qt::AlignLeft);
        layout->addSpacing(8);
    }
    layout->addWidget(caption("preferences.command-line.title"));
    auto* button = new QCheckBox(QString::fromStdString(LocalizedString::text("preferences.command-line.enable")), panel);
    button->setObjectName(QStringLiteral("enableCommandLineInterfaceButton"));
    auto* label = new QLabel(panel);
    label->setObjectName(QStringLiteral("commandLineLabel"));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
    layout->addWidget(button);
    layout->addWidget(label);
    layout->addStretch(1);
    panel->setCatalinaIconEffectSegmentedControl(catalina);
    panel->setMacOSIconEffectSegmentedControl(classic);
    panel->setCommandLineEnabledController(std::move(controller));
    panel->setEnableCommandLineInterfaceButton(button);
    panel->setCommandLineLabel(label);
    return panel;
}

}  // namespace gw
