// The Qt-free hooks through which components outside the application see its
// activation, its appearing windows and its delegate.
#include "platform/appkit/application_delegate.hpp"
#include "platform/appkit/application_state.hpp"
#include "platform/appkit/view_appearance.hpp"
#include "platform/foundation/notification_center.hpp"

#include <gtest/gtest.h>

namespace gw::ui {
class PreferencesWindow {
public:
    virtual ~PreferencesWindow() = default;
};
class SettingsPanel : public PreferencesWindow {};
}  // namespace gw::ui

namespace {

using namespace platform::appkit;
namespace pf = platform::foundation;

TEST(ApplicationHooksTest, ActivationChangesArePostedOncePerChangeInOrder) {
    auto& state = ApplicationState::shared();
    state.reset();
    std::vector<std::string> notices;
    auto& center = pf::NotificationCenter::defaultCenter();
    int owner = 0;
    for (const char* name : {kApplicationWillBecomeActiveNotification, kApplicationDidResignActiveNotification}) {
        center.addObserver(
            name, nullptr,
            [&notices, &state](const pf::Notification& notice) {
                // The flag is still off before becoming active, and already off after resigning.
                notices.push_back(notice.name + (state.isActive() ? " active" : " inactive"));
            },
            &owner);
    }
    for (bool active : {true, true, false, false, true}) state.setActive(active);
    center.removeObserver(&owner);
    state.reset();
    EXPECT_EQ(notices, (std::vector<std::string>{
                           "NSApplicationWillBecomeActiveNotification inactive",
                           "NSApplicationDidResignActiveNotification inactive",
                           "NSApplicationWillBecomeActiveNotification inactive",
                       }));
}

TEST(ApplicationHooksTest, AppearancesNameTheDynamicClassAndReachObserversUntilRemoved) {
    std::vector<std::pair<std::string, bool>> heard;
    const auto token = ViewAppearance::addObserver(
        [&](const std::string& className, bool isContainer) { heard.emplace_back(className, isContainer); });
    const gw::ui::SettingsPanel panel;
    const gw::ui::PreferencesWindow& asBase = panel;
    ViewAppearance::willAppear(asBase, false);
    ViewAppearance::willAppear("TabsController", true);
    ViewAppearance::removeObserver(token);
    ViewAppearance::willAppear("Unheard", false);
    EXPECT_EQ(heard, (std::vector<std::pair<std::string, bool>>{{"gw::ui::SettingsPanel", false},
                                                                 {"TabsController", true}}));
}

class Delegate final : public ApplicationDelegate {
public:
    std::vector<std::string> forwardedCallbacks() const override { return {"applicationDidFinishLaunching:"}; }
};

TEST(ApplicationHooksTest, AnInstalledDelegateIsReportedToObservers) {
    ApplicationDelegateRegistry::reset();
    std::vector<std::string> reported;
    ApplicationDelegateRegistry::addObserver(
        [&](const std::shared_ptr<ApplicationDelegate>& delegate) { reported.push_back(delegate->delegateClassName()); });
    auto delegate = std::make_shared<Delegate>();
    ApplicationDelegateRegistry::setDelegate(delegate);
    ApplicationDelegateRegistry::setDelegate(nullptr);  // removing one reports nothing
    EXPECT_EQ(ApplicationDelegateRegistry::delegate(), nullptr);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_NE(reported[0].find("Delegate"), std::string::npos);
    ApplicationDelegateRegistry::reset();
}

}  // namespace
