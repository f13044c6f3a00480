#include "app/ui/norvane_support_controller.hpp"

#include "app/foundation/localized_string.hpp"
#include "platform/appkit/qt/alert.hpp"
#include "platform/appkit/qt/application.hpp"
#include "platform/appkit/sharing_service.hpp"
#include "platform/appkit/workspace.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/error.hpp"

#include <array>

namespace gw {

namespace pa = platform::appkit;
namespace pf = platform::foundation;

namespace {

// The maker's addresses.
constexpr std::string_view kWebsite = "https://norvane.example/";
constexpr std::string_view kMailingList = "https://norvane.example/newsletter";
constexpr std::string_view kTwitterProfile = "https://twitter.com/norvane";
constexpr std::string_view kDeveloperPage = "macappstore://apps.apple.com/developer/norvane/id1000000001";
constexpr std::string_view kStoreAppPrefix = "macappstore://apps.apple.com/app/id";
constexpr std::string_view kPrivacyPolicy = "https://norvane.example/privacy";
constexpr std::string_view kTermsOfUse = "https://terms.norvane.example/norvane/terms-of-use";

pf::URL link(std::string_view text) {
    auto url = pf::URL::fromString(text);
    if (!url) pf::fatalError("Invalid support link");
    return *url;
}

}  // namespace

std::optional<NorvaneSupportController::Action> NorvaneSupportController::actionFromRawValue(std::int64_t rawValue) {
    if (rawValue < 0 || rawValue > 7) return std::nullopt;
    return static_cast<Action>(rawValue);
}

std::string NorvaneSupportController::description(Action action) {
    // The English titles are the keys of their own translations.
    switch (action) {
    case Action::openCompanyWebsite: return LocalizedString::text("Open Support Website");
    case Action::emailSupport: return LocalizedString::text("Email Support");
    case Action::joinListwell: return LocalizedString::text("Join Mailing List");
    case Action::openTwitter: return LocalizedString::text("Open Twitter Profile");
    case Action::openDeveloperOnMacAppStore: return LocalizedString::text("View More Developer Apps");
    case Action::writeAReview: return LocalizedString::text("Write a Review");
    case Action::privacyPolicy: return LocalizedString::text("Privacy Policy");
    case Action::termsOfUse: return LocalizedString::text("Terms of Use");
    }
    return {};
}

NorvaneSupportController::NorvaneSupportController(std::string appStoreID, std::string appName,
                                                   std::weak_ptr<NorvaneSupportControllerDelegate> delegate)
    : delegate(std::move(delegate)), appStoreID_(std::move(appStoreID)), appName_(std::move(appName)) {}

pa::MenuItemPtr NorvaneSupportController::addSupportMenu(pa::qt::Application& application) {
    return addSupportMenu(application.mainMenu());
}

pa::MenuItemPtr NorvaneSupportController::addSupportMenu(const pa::MenuPtr& mainMenu) {
    const auto title = LocalizedString::text("Support");
    auto top = pa::MenuItem::make(title);
    auto submenu = pa::Menu::make(title);
    std::weak_ptr<NorvaneSupportController*> self = self_;
    const auto add = [&](Action action) {
        auto item = pa::MenuItem::make(description(action), [self](pa::MenuItem& sender) {
            if (const auto controller = self.lock()) (*controller)->performAction(&sender);
        });
        item->setTag(static_cast<std::int64_t>(action));
        submenu->addItem(std::move(item));
    };
    add(Action::openCompanyWebsite);
    add(Action::emailSupport);
    add(Action::joinListwell);
    submenu->addItem(pa::MenuItem::separatorItem());
    add(Action::writeAReview);
    submenu->addItem(pa::MenuItem::separatorItem());
    add(Action::openTwitter);
    add(Action::openDeveloperOnMacAppStore);
    submenu->addItem(pa::MenuItem::separatorItem());
    add(Action::privacyPolicy);
    add(Action::termsOfUse);
    top->setSubmenu(std::move(submenu));
    if (mainMenu) mainMenu->addItem(top);
    return top;
}

void NorvaneSupportController::performAction(const std::any& sender) {
    const pa::MenuItem* item = nullptr;
    if (const auto* raw = std::any_cast<pa::MenuItem*>(&sender)) item = *raw;
    else if (const auto* shared = std::any_cast<pa::MenuItemPtr>(&sender)) item = shared->get();
    const auto action = item ? actionFromRawValue(item->tag()) : std::nullopt;
    if (!action) pf::fatalError("Unkown tag");
    perform(*action);
}

std::optional<pf::URL> NorvaneSupportController::linkURL(Action action) const {
    switch (action) {
    case Action::openCompanyWebsite: return link(kWebsite);
    case Action::emailSupport: return std::nullopt;
    case Action::joinListwell: return link(kMailingList);
    case Action::openTwitter: return link(kTwitterProfile);
    case Action::openDeveloperOnMacAppStore: return link(kDeveloperPage);
    case Action::writeAReview: return link(std::string(kStoreAppPrefix) + appStoreID_ + "?action=write-review");
    case Action::privacyPolicy: return link(kPrivacyPolicy);
    case Action::termsOfUse: return link(kTermsOfUse);
    }
    return std::nullopt;
}

void NorvaneSupportController::perform(Action action) {
    if (action == Action::emailSupport) return emailSupport();
    if (const auto url = linkURL(action)) {
        // Without a browser (or a handler for the link) the desktop's opener fails only on
        // its error output: the user is told, with the address to visit by hand.
        const std::string shown = pa::Workspace::openableText(url->absoluteString());
        std::weak_ptr<NorvaneSupportController*> self = self_;
        pa::Workspace::open(*url, [self, shown](bool opened) {
            if (opened) return;
            platform::dispatch::DispatchQueue::main().async([self, shown] {
                if (const auto controller = self.lock()) (*controller)->linkCouldNotBeOpened(shown);
            });
        });
    }
    report(action);
}

void NorvaneSupportController::linkCouldNotBeOpened(const std::string& link) {
    pa::qt::Alert alert;
    alert.messageText = LocalizedString::text("support.link-failed.message");
    alert.informativeText = LocalizedString::text("support.link-failed.informative", link);
    alert.buttons = {LocalizedString::genericOk()};
    alert.runModal();
}

void NorvaneSupportController::emailSupport() {
    auto service = pa::SharingService::named(pa::SharingService::Name::composeEmail);
    const std::string address(kSupportAddress);
    if (service) {
        service->recipients = {address};
        service->subject = appName_ + " - Help, Support & Feedback";
        service->perform({"Hi"});
    }
    // The address is shown too, for users without a mail account set up, and for those
    // without a mail program at all, as the links that cannot be opened are.
    pa::qt::Alert alert;
    alert.messageText = LocalizedString::text("Email Support");
    alert.informativeText = LocalizedString::text("Please contact support on ") + address;
    alert.buttons = {LocalizedString::genericOk()};
    alert.style = pa::qt::AlertStyle::informational;
    alert.runModal();
    if (service) report(Action::emailSupport);
}

void NorvaneSupportController::report(Action action) {
    if (const auto told = delegate.lock()) told->supportControllerDidPerform(*this, action);
}

}  // namespace gw
