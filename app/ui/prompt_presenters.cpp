#include "app/ui/prompt_presenters.hpp"

#include "app/foundation/localized_string.hpp"
#include "platform/appkit/qt/alert.hpp"
#include "platform/appkit/workspace.hpp"

namespace gw {

namespace {

PromptPresenter presenter(std::string messageKey, std::string acceptKey, std::string link) {
    return [messageKey = std::move(messageKey), acceptKey = std::move(acceptKey), link = std::move(link)] {
        platform::appkit::qt::Alert alert;
        alert.messageText = LocalizedString::text(messageKey);
        alert.buttons = {LocalizedString::text(acceptKey), LocalizedString::text("prompt.not-now")};
        alert.style = platform::appkit::qt::AlertStyle::informational;
        if (alert.runModal() == platform::appkit::qt::kAlertFirstButtonReturn) platform::appkit::Workspace::open(link);
        return true;
    };
}

}  // namespace

PromptPresenter makeOtherAppsPresenter(std::string developerPageURL) {
    return presenter("prompt.other-apps.message", "prompt.other-apps.show", std::move(developerPageURL));
}

PromptPresenter makeReviewPresenter(std::string reviewPageURL) {
    return presenter("prompt.review.message", "prompt.review.rate", std::move(reviewPageURL));
}

}  // namespace gw
