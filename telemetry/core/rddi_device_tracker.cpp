#include "telemetry/core/rddi_device_tracker.hpp"

#include "platform/appkit/screen_registry.hpp"
#include "platform/foundation/bundle.hpp"
#include "telemetry/core/rddi_kept_values.hpp"
#include "telemetry/core/rddi_utility.hpp"

#include <algorithm>
#include <ctime>

namespace rddi {

namespace pf = platform::foundation;

namespace {

constexpr const char* kPastDevicesKey = "PastDevices";

// The tracker's lock, and the state that outlives a tracker instance.
std::recursive_mutex& trackerLock() {
    static std::recursive_mutex lock;
    return lock;
}
std::shared_ptr<RDDIDeviceTracker> gShared;
std::shared_ptr<RDDIWrapperSdk> gWrapperSdk;
std::optional<std::string> gCountryCode;
bool gUpToDate = false;

std::mutex gSourcesLock;
std::optional<pf::HostFactsSources> gSources;

pf::HostFacts hostFacts() {
    std::lock_guard lock(gSourcesLock);
    return pf::HostFacts(gSources.value_or(pf::HostFactsSources{}));
}

std::optional<std::string> infoString(const char* key) {
    const pf::Value value = pf::Bundle::main().objectForInfoDictionaryKey(key);
    if (const auto* text = value.asString()) return *text;
    return std::nullopt;
}

// Index of the first entry whose timestamp is not earlier than `time`.
std::size_t insertionIndex(const std::vector<std::shared_ptr<RDDIDeviceHistoryInfo>>& history, pf::Date time) {
    const auto it = std::lower_bound(history.begin(), history.end(), time,
                                     [](const auto& entry, pf::Date t) { return *entry->timestamp < t; });
    return static_cast<std::size_t>(it - history.begin());
}

}  // namespace

std::shared_ptr<RDDIDeviceTracker> RDDIDeviceTracker::sharedInstance() {
    std::lock_guard lock(trackerLock());
    if (!gShared) gShared = std::make_shared<RDDIDeviceTracker>();
    return gShared;
}

void RDDIDeviceTracker::resetSharedInstance() {
    std::lock_guard lock(trackerLock());
    gShared.reset();
    gWrapperSdk.reset();
    gCountryCode.reset();
    gUpToDate = false;
}

RDDIDeviceTracker::RDDIDeviceTracker() {
    auto history = RDDILoadHistory<RDDIDeviceHistoryInfo>(kPastDevicesKey);
    // Entries without a time or a device cannot be searched or answered with.
    const bool complete = std::all_of(history.begin(), history.end(),
                                      [](const auto& entry) { return entry->timestamp && entry->device; });
    if (!complete) {
        RDDIUtility::logUnarchivingFailure("A stored device record lacks its time or its device.");
        history.clear();
    }
    std::stable_sort(history.begin(), history.end(),
                     [](const auto& a, const auto& b) { return *a->timestamp < *b->timestamp; });
    history_ = std::move(history);
}

std::shared_ptr<RDDIDevice> RDDIDeviceTracker::device() {
    std::lock_guard lock(trackerLock());
    if (device_ && gUpToDate) return device_;
    device_ = updatedDevice();
    const pf::Date now = pf::Date::now();
    history_.insert(history_.begin() + static_cast<std::ptrdiff_t>(insertionIndex(history_, now)),
                    std::make_shared<RDDIDeviceHistoryInfo>(now, device_));
    if (history_.size() > kMaxHistory) history_.erase(history_.begin());
    saveHistory();
    return device_;
}

std::shared_ptr<RDDIDevice> RDDIDeviceTracker::deviceForTimestamp(const std::optional<pf::Date>& timestamp) {
    {
        // Read under the lock: another thread may be rebuilding the history.
        std::lock_guard lock(trackerLock());
        if (timestamp && !history_.empty()) {
            const std::size_t index = insertionIndex(history_, *timestamp);
            return history_[index == 0 ? 0 : index - 1]->device;
        }
    }
    return device();
}

void RDDIDeviceTracker::setWrapperSdk(std::shared_ptr<RDDIWrapperSdk> wrapperSdk) {
    // Every later log carries the device: one unsendable field would cost all of them.
    if (wrapperSdk && !wrapperSdk->fieldsAcceptedBy("setWrapperSdk")) return;
    std::lock_guard lock(trackerLock());
    gWrapperSdk = std::move(wrapperSdk);
    gUpToDate = false;
    // The newest entry described the device without the new wrapper values.
    if (!history_.empty()) history_.pop_back();
    device();
}

std::shared_ptr<RDDIWrapperSdk> RDDIDeviceTracker::wrapperSdk() const {
    std::lock_guard lock(trackerLock());
    return gWrapperSdk;
}

void RDDIDeviceTracker::setCountryCode(const std::optional<std::string>& countryCode) {
    if (!RDDIAcceptKeptText("setCountryCode", "the country code", countryCode)) return;
    std::lock_guard lock(trackerLock());
    gCountryCode = countryCode;
    gUpToDate = false;
}

std::optional<std::string> RDDIDeviceTracker::countryCode() const {
    std::lock_guard lock(trackerLock());
    return gCountryCode;
}

void RDDIDeviceTracker::refreshDeviceNextTime() {
    std::lock_guard lock(trackerLock());
    gUpToDate = false;
}

void RDDIDeviceTracker::clearDevices() {
    std::lock_guard lock(trackerLock());
    if (history_.size() >= 2) history_.erase(history_.begin(), history_.end() - 1);
    saveHistory();
}

std::shared_ptr<RDDIDevice> RDDIDeviceTracker::updatedDevice() {
    std::lock_guard lock(trackerLock());
    auto device = std::make_shared<RDDIDevice>();
    device->sdkName = RDDIUtility::sdkName();
    device->sdkVersion = RDDIUtility::sdkVersion();
    device->model = deviceModel();
    device->oemName = oemName();
    device->osName = osName();
    device->osVersion = osVersion();
    device->osBuild = osBuild();
    device->locale = locale();
    device->timeZoneOffset = timeZoneOffset();
    device->screenSize = screenSize();
    device->appVersion = appVersion();
    device->appBuild = appBuild();
    device->appNamespace = appNamespace();
    device->carrierCountry = gCountryCode;
    refreshWrapperSdk(*device);
    gUpToDate = true;
    return device;
}

void RDDIDeviceTracker::refreshWrapperSdk(RDDIDevice& device) const {
    std::lock_guard lock(trackerLock());
    if (!gWrapperSdk) return;
    device.wrapperSdkVersion = gWrapperSdk->wrapperSdkVersion;
    device.wrapperSdkName = gWrapperSdk->wrapperSdkName;
    device.wrapperRuntimeVersion = gWrapperSdk->wrapperRuntimeVersion;
    device.liveUpdateReleaseLabel = gWrapperSdk->liveUpdateReleaseLabel;
    device.liveUpdateDeploymentKey = gWrapperSdk->liveUpdateDeploymentKey;
    device.liveUpdatePackageHash = gWrapperSdk->liveUpdatePackageHash;
}

std::vector<RDDIDeviceHistoryInfo> RDDIDeviceTracker::deviceHistory() const {
    std::lock_guard lock(trackerLock());
    std::vector<RDDIDeviceHistoryInfo> copies;
    for (const auto& entry : history_) copies.push_back(*entry);
    return copies;
}

void RDDIDeviceTracker::saveHistory() { RDDISaveHistory(kPastDevicesKey, history_); }

void RDDIDeviceTracker::setHostFactsSources(std::optional<pf::HostFactsSources> sources) {
    std::lock_guard lock(gSourcesLock);
    gSources = std::move(sources);
}

std::string RDDIDeviceTracker::deviceModel() { return hostFacts().model(); }
std::string RDDIDeviceTracker::oemName() { return hostFacts().oemName(); }
std::string RDDIDeviceTracker::osName() { return hostFacts().osName(); }
std::string RDDIDeviceTracker::osVersion() { return hostFacts().osVersion(); }
std::string RDDIDeviceTracker::osBuild() { return hostFacts().osBuild(); }
std::string RDDIDeviceTracker::locale() { return hostFacts().localeIdentifier(); }
std::int64_t RDDIDeviceTracker::timeZoneOffset() { return pf::HostFacts::timeZoneOffsetMinutes(std::time(nullptr)); }

std::optional<std::string> RDDIDeviceTracker::screenSize() {
    const auto size = platform::appkit::ScreenRegistry::shared().primaryScreenSize();
    if (!size) return std::nullopt;
    return std::to_string(size->width) + "x" + std::to_string(size->height);
}

std::optional<std::string> RDDIDeviceTracker::appVersion() { return infoString("CFBundleShortVersionString"); }
std::optional<std::string> RDDIDeviceTracker::appBuild() { return infoString("CFBundleVersion"); }
std::optional<std::string> RDDIDeviceTracker::appNamespace() { return pf::Bundle::main().bundleIdentifier(); }

}  // namespace rddi
