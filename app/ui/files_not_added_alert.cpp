#include "app/ui/files_not_added_alert.hpp"

#include "app/foundation/localized_string.hpp"
#include "platform/appkit/qt/alert.hpp"
#include "platform/appkit/qt/application.hpp"
#include "platform/appkit/qt/window.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/utf8.hpp"

namespace gw {

namespace qt = platform::appkit::qt;

void FilesNotAddedAlert::add(std::string why) {
    std::lock_guard lock(mutex_);
    if (waiting_.size() < kNamed) {
        waiting_.push_back(std::move(why));
    } else {
        ++waitingUnnamed_;
    }
    if (scheduled_) return;
    scheduled_ = true;
    platform::dispatch::DispatchQueue::main().async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->show();
    });
}

void FilesNotAddedAlert::show() {
    std::vector<std::string> reasons;
    std::size_t unnamed = 0;
    {
        std::lock_guard lock(mutex_);
        reasons.swap(waiting_);
        unnamed = std::exchange(waitingUnnamed_, 0);
        scheduled_ = false;
    }
    if (reasons.empty()) return;
    // Answered since: what comes now opens an alert of its own.
    if (!alert_) {
        named_.clear();
        unnamed_ = 0;
    }
    for (auto& why : reasons) {
        if (named_.size() < kNamed) {
            named_.push_back(std::move(why));
        } else {
            ++unnamed_;
        }
    }
    unnamed_ += unnamed;
    // One reason a line: each escaped, not the lines between them.
    std::string informative;
    for (const auto& why : named_) {
        informative += (informative.empty() ? "" : "\n") + platform::foundation::escapedForDisplay(why);
    }
    if (unnamed_ > 0) informative += "\n" + LocalizedString::text("add-images.skipped.more", std::to_string(unnamed_));
    const auto message = LocalizedString::text(named_.size() + unnamed_ == 1 ? "add-image.alert.message-Text"
                                                                              : "add-images.skipped.message");
    if (alert_) {
        alert_->setText(QString::fromStdString(message));
        alert_->setInformativeText(QString::fromStdString(informative));
        // Grown from its corner: centred over the window again.
        if (alert_->isVisible()) qt::centreOver(*alert_, alert_->parentWidget());
        return;
    }
    alert_ = qt::presentError(qt::Application::shared() ? qt::Application::shared()->mainWindow() : nullptr, message,
                              informative);
}

}  // namespace gw
