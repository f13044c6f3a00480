#pragma once
// The "Support" menu: the maker's website, e-mail support, mailing list, social profile,
// other apps, a review link, privacy policy and terms of use. Each use is reported to the
// delegate. Knows nothing of the rest of the program. Main thread only.
//
// Menu actions call the controller directly; there is no responder chain to join here.
// A link the desktop could not open is shown in an alert, with its address.
#include "platform/appkit/menu.hpp"
#include "platform/foundation/url.hpp"

#include <any>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform::appkit::qt {
class Application;
}

namespace gw {

class NorvaneSupportController;

class NorvaneSupportControllerDelegate;

class NorvaneSupportController {
public:
    // Raw values are the menu items' tags.
    enum class Action : std::int64_t {
        openCompanyWebsite = 0,
        emailSupport = 1,
        joinListwell = 2,
        openTwitter = 3,
        openDeveloperOnMacAppStore = 4,
        writeAReview = 5,
        privacyPolicy = 6,
        termsOfUse = 7,
    };
    // None for 8 and above (and below 0).
    static std::optional<Action> actionFromRawValue(std::int64_t rawValue);
    // The menu title.
    static std::string description(Action action);

    static constexpr std::string_view kSupportAddress = "support@norvane.example";

    NorvaneSupportController(std::string appStoreID, std::string appName,
                             std::weak_ptr<NorvaneSupportControllerDelegate> delegate);

    const std::string& appStoreID() const { return appStoreID_; }
    const std::string& appName() const { return appName_; }
    std::weak_ptr<NorvaneSupportControllerDelegate> delegate;

    // Builds the "Support" menu and appends it to the application's main menu (built but
    // shown nowhere when there is none). Returns the top-level item.
    platform::appkit::MenuItemPtr addSupportMenu(platform::appkit::qt::Application& application);
    // The same for a main menu given directly (none: built only).
    platform::appkit::MenuItemPtr addSupportMenu(const platform::appkit::MenuPtr& mainMenu);

    // The action of every item: `sender` must be a menu item (MenuItem* or MenuItemPtr)
    // whose tag is an action; anything else stops the program.
    void performAction(const std::any& sender);
    void perform(Action action);

    // The link an action opens; none for e-mail support.
    std::optional<platform::foundation::URL> linkURL(Action action) const;

    // Tells the user that `link` (as handed to the desktop) could not be opened.
    void linkCouldNotBeOpened(const std::string& link);

private:
    void emailSupport();
    void report(Action action);

    std::string appStoreID_;
    std::string appName_;
    // Menu items outlive this object in the menu; their actions hold this token weakly.
    std::shared_ptr<NorvaneSupportController*> self_ = std::make_shared<NorvaneSupportController*>(this);
};

class NorvaneSupportControllerDelegate {
public:
    virtual ~NorvaneSupportControllerDelegate() = default;
    virtual void supportControllerDidPerform(NorvaneSupportController& controller,
                                             NorvaneSupportController::Action action) = 0;
};

}  // namespace gw
