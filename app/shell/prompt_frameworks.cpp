#include "app/shell/prompt_frameworks.hpp"

#include "platform/foundation/user_defaults.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace gw {

namespace pf = platform::foundation;

namespace {

std::string currentVersion() {
    const pf::Value version = pf::Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString");
    const auto* text = version.asString();
    return text ? *text : std::string();
}

}  // namespace

// --- Ratewell ------------------------------------------------------------------------

Ratewell::Ratewell(std::shared_ptr<ratewell::EventTrackingLogger> eventLogger,
                   std::shared_ptr<ratewell::DebugLogger> debugLogger)
    : eventLogger_(std::move(eventLogger)), debugLogger_(std::move(debugLogger)) {
    if (!eventLogger_) throw std::invalid_argument("Ratewell needs an event logger");
}

void Ratewell::debug(const std::string& message) const {
    if (debugLogger_) debugLogger_->log(message);
}

void Ratewell::promptForReviewIfAllowed(const std::function<void(bool)>& completion) {
    auto& defaults = pf::UserDefaults::standard();
    const std::int64_t count = pf::saturatingAdd(defaults.integerForKey(kRequestCountKey), 1);
    defaults.setInteger(count, kRequestCountKey);
    const std::string version = currentVersion();
    const bool allowed = count >= kRequestsBeforePrompt && defaults.stringForKey(kPromptedVersionKey) != version;
    bool shown = false;
    if (allowed && presenter_) {
        shown = presenter_();
        if (shown) {
            defaults.setObject(pf::Value(version), kPromptedVersionKey);
            eventLogger_->log("review_prompt_shown");
        }
    }
    debug(fmt::format("review request {}: {}", count, shown ? "prompt shown" : "no prompt"));
    if (completion) completion(shown);
}

// --- Siblingcast ---------------------------------------------------------------------

SiblingcastController::SiblingcastController(std::string appStoreID, std::string appName, pf::URL configURL,
                                             std::int64_t initialSuppressionCount,
                                             std::shared_ptr<siblingcast::EventTrackingLogger> eventLogger,
                                             std::shared_ptr<siblingcast::DebugLogger> debugLogger)
    : appStoreID_(std::move(appStoreID)),
      appName_(std::move(appName)),
      configURL_(std::move(configURL)),
      initialSuppressionCount_(std::max<std::int64_t>(initialSuppressionCount, 0)),
      eventLogger_(std::move(eventLogger)),
      debugLogger_(std::move(debugLogger)) {}

std::int64_t SiblingcastController::suppressionRemaining() const {
    const pf::Value stored = pf::UserDefaults::standard().objectForKey(kSuppressionKey);
    return stored.isNull() ? initialSuppressionCount_ : stored.integerValue();
}

void SiblingcastController::prepare(const std::function<void()>& completion) {
    if (!prepared_) {
        prepared_ = true;
        const std::int64_t remaining = suppressionRemaining();
        const std::int64_t left = std::max<std::int64_t>(pf::saturatingAdd(remaining, -1), 0);
        pf::UserDefaults::standard().setInteger(left, kSuppressionKey);
        if (debugLogger_) debugLogger_->log(fmt::format("launches before the prompt: {}", left));
    }
    if (completion) completion();
}

bool SiblingcastController::shouldPrompt() const {
    return prepared_ && presenter_ && suppressionRemaining() == 0;
}

void SiblingcastController::showPrompt() {
    if (!shouldPrompt()) return;
    if (!presenter_()) return;
    pf::UserDefaults::standard().setInteger(initialSuppressionCount_, kSuppressionKey);
    if (eventLogger_) eventLogger_->log("other_apps_prompt_shown");
}

// --- Bundle --------------------------------------------------------------------------

std::optional<std::string> bundleDisplayName(const pf::Bundle& bundle) {
    for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
        const pf::Value value = bundle.objectForInfoDictionaryKey(key);
        if (const auto* text = value.asString(); text && !text->empty()) return *text;
    }
    return std::nullopt;
}

}  // namespace gw
