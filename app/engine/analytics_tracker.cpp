#include "app/engine/analytics_tracker.hpp"

#include "platform/foundation/bundle.hpp"
#include "platform/log/system_log.hpp"

namespace gw {

namespace pf = platform::foundation;

namespace {
std::mutex gTrackerLock;
std::shared_ptr<KKGATracker> gSharedTracker;
}  // namespace

std::unique_ptr<KKGADictionaryBuilder> KKGADictionaryBuilder::createEventWithCategory(
    const std::string& category, const std::string& action, const std::string& label,
    std::optional<std::int64_t> value) {
    auto builder = std::make_unique<KKGADictionaryBuilder>();
    builder->fields_["hitType"] = "event";
    builder->fields_["category"] = category;
    builder->fields_["action"] = action;
    builder->fields_["label"] = label;
    if (value) builder->fields_["value"] = static_cast<long long>(*value);
    return builder;
}

std::unique_ptr<KKGADictionaryBuilder> KKGADictionaryBuilder::createScreenView(const std::string& screenName) {
    auto builder = std::make_unique<KKGADictionaryBuilder>();
    builder->fields_["hitType"] = "screenview";
    builder->fields_["screenName"] = screenName;
    return builder;
}

std::optional<pf::Dictionary> KKGADictionaryBuilder::build() const {
    if (!fields_.contains("hitType")) return std::nullopt;
    return fields_;
}

void KKGALogTransport::sendHit(const pf::Dictionary& hit) {
    static const platform::log::SystemLog log(std::string(pf::kDefaultBundleIdentifier), "Analytics");
    log.info(pf::Value(hit).description());
}

KKGATracker::KKGATracker(std::shared_ptr<KKGATransport> transport) : transport_(std::move(transport)) {}

void KKGATracker::setTrackingID(const std::string& trackingID) {
    std::lock_guard lock(mutex_);
    trackingID_ = trackingID;
}

std::string KKGATracker::trackingID() const {
    std::lock_guard lock(mutex_);
    return trackingID_;
}

void KKGATracker::send(const pf::Dictionary& hit) {
    std::shared_ptr<KKGATransport> transport;
    pf::Dictionary stamped = hit;
    {
        std::lock_guard lock(mutex_);
        transport = transport_;
        if (!trackingID_.empty()) stamped["trackingId"] = trackingID_;
    }
    if (transport) transport->sendHit(stamped);
}

std::shared_ptr<KKGATracker> KKGAI() {
    std::lock_guard lock(gTrackerLock);
    return gSharedTracker;
}

void KKGASetSharedTracker(std::shared_ptr<KKGATracker> tracker) {
    std::lock_guard lock(gTrackerLock);
    gSharedTracker = std::move(tracker);
}

}  // namespace gw
