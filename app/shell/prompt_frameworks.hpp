#pragma once
// The maker's review, other-apps and mailing-list prompters. The frameworks the
// application was written against do not exist on Linux; these are our own small stand-ins
// with the calls the application delegate and the main window make. They keep their
// counters in the settings and show nothing until a user interface installs a presenter,
// so no caller ever waits on (or cancels a quit for) a prompt that cannot appear.
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/url.hpp"
#include "platform/foundation/value.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace gw {

namespace ratewell {
// Reports the prompter's own usage events.
class EventTrackingLogger {
public:
    virtual ~EventTrackingLogger() = default;
    virtual void log(const std::string& event) = 0;
    virtual void log(const std::string& event, const platform::foundation::Dictionary& properties) = 0;
};
// Receives the prompter's diagnostics.
class DebugLogger {
public:
    virtual ~DebugLogger() = default;
    virtual void log(const std::string& message) = 0;
};
}  // namespace ratewell

namespace siblingcast {
class EventTrackingLogger {
public:
    virtual ~EventTrackingLogger() = default;
    virtual void log(const std::string& event) = 0;
    virtual void log(const std::string& event, const platform::foundation::Dictionary& properties) = 0;
};
class DebugLogger {
public:
    virtual ~DebugLogger() = default;
    virtual void log(const std::string& message) = 0;
};
}  // namespace siblingcast

// Hands both frameworks a stateless event logger type, such as EventLogger.
template <class Logger>
class EventTrackingLoggerAdapter final : public ratewell::EventTrackingLogger, public siblingcast::EventTrackingLogger {
public:
    void log(const std::string& event) override { Logger().log(event); }
    void log(const std::string& event, const platform::foundation::Dictionary& properties) override {
        Logger().log(event, properties);
    }
};

// Shows a prompt; answers whether it was shown. Installed by the user interface.
using PromptPresenter = std::function<bool()>;

// Review prompts: counts the requests in the settings and asks for a review once per
// application version after enough of them.
class Ratewell {
public:
    static constexpr std::int64_t kRequestsBeforePrompt = 5;
    static constexpr const char* kRequestCountKey = "RatewellReviewRequestCount";
    static constexpr const char* kPromptedVersionKey = "RatewellPromptedVersion";

    // Throws std::invalid_argument without an event logger.
    Ratewell(std::shared_ptr<ratewell::EventTrackingLogger> eventLogger,
             std::shared_ptr<ratewell::DebugLogger> debugLogger);

    // Counts the request; when the rules allow and a presenter is installed, shows the
    // prompt. The completion learns whether it was shown.
    void promptForReviewIfAllowed(const std::function<void(bool)>& completion);
    void setPresenter(PromptPresenter presenter) { presenter_ = std::move(presenter); }

private:
    void debug(const std::string& message) const;

    std::shared_ptr<ratewell::EventTrackingLogger> eventLogger_;
    std::shared_ptr<ratewell::DebugLogger> debugLogger_;
    PromptPresenter presenter_;
};

// Promotion of the maker's other applications, offered at quit once the initial
// suppression count of launches has passed.
class SiblingcastController {
public:
    static constexpr const char* kSuppressionKey = "SiblingcastSuppressionRemaining";

    SiblingcastController(std::string appStoreID, std::string appName, platform::foundation::URL configURL,
                          std::int64_t initialSuppressionCount,
                          std::shared_ptr<siblingcast::EventTrackingLogger> eventLogger,
                          std::shared_ptr<siblingcast::DebugLogger> debugLogger);

    // Once per launch: counts the launch against the suppression count.
    void prepare(const std::function<void()>& completion);
    // Whether showPrompt() would show something now.
    bool shouldPrompt() const;
    void showPrompt();
    void setPresenter(PromptPresenter presenter) { presenter_ = std::move(presenter); }

    const std::string& appStoreID() const { return appStoreID_; }
    const std::string& appName() const { return appName_; }
    const platform::foundation::URL& configURL() const { return configURL_; }

private:
    std::int64_t suppressionRemaining() const;

    std::string appStoreID_;
    std::string appName_;
    platform::foundation::URL configURL_;
    std::int64_t initialSuppressionCount_;
    std::shared_ptr<siblingcast::EventTrackingLogger> eventLogger_;
    std::shared_ptr<siblingcast::DebugLogger> debugLogger_;
    PromptPresenter presenter_;
    bool prepared_ = false;
};

// Mailing-list sign-up: keeps what it was made with; nothing else is called on it.
class ListwellPrompter {
public:
    ListwellPrompter(std::string suiteName, std::string apiKey, std::string domain, std::string appIdentifier,
                     std::string appName)
        : suiteName_(std::move(suiteName)),
          apiKey_(std::move(apiKey)),
          domain_(std::move(domain)),
          appIdentifier_(std::move(appIdentifier)),
          appName_(std::move(appName)) {}

    const std::string& suiteName() const { return suiteName_; }
    const std::string& apiKey() const { return apiKey_; }
    const std::string& domain() const { return domain_; }
    const std::string& appIdentifier() const { return appIdentifier_; }
    const std::string& appName() const { return appName_; }

private:
    std::string suiteName_;
    std::string apiKey_;
    std::string domain_;
    std::string appIdentifier_;
    std::string appName_;
};

// The application's display name: Info "CFBundleDisplayName", else "CFBundleName".
std::optional<std::string> bundleDisplayName(const platform::foundation::Bundle& bundle);

}  // namespace gw
