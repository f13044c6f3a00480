#include "telemetry/analytics/rddi_property_configurator.hpp"

#include "platform/foundation/uuid.hpp"
#include "platform/security/crypto.hpp"
#include "telemetry/analytics/rddi_analytics.hpp"
#include "telemetry/analytics/rddi_analytics_transmission_target.hpp"
#include "telemetry/core/rddi_common_schema_log.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_kept_values.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_user_id_context.hpp"

#include <array>
#include <cctype>
#include <fstream>

namespace rddi {

namespace pf = platform::foundation;

namespace {

std::recursive_mutex& analyticsLock() { return RDDIAnalytics::sharedInstance()->monitor(); }

// The fixed id of this application that the machine id is keyed over; changing it
// changes every device id the SDK has ever sent.
constexpr std::array<std::uint8_t, 16> kApplicationId = {0x6f, 0x1c, 0x3a, 0x52, 0x9d, 0x04, 0x4b, 0x7e,
                                                         0xa8, 0x21, 0x5c, 0xe0, 0x37, 0x96, 0x4d, 0x13};

// 32 hex digits (a trailing line break allowed) as 16 bytes; none otherwise.
std::optional<pf::Data> parseMachineId(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.size() != 32) return std::nullopt;
    pf::Data bytes;
    for (std::size_t i = 0; i < 32; i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    // An all-zero id is no machine's id.
    for (auto byte : bytes) {
        if (byte != 0) return bytes;
    }
    return std::nullopt;
}

bool keeps(std::string_view setter, std::string_view what, const std::optional<std::string>& value,
           std::size_t maxLength = kRDDIMaxKeptTextLength) {
    return RDDIAcceptKeptText(setter, what, value, maxLength, kRDDIAnalyticsLogTag);
}

// A key of a default event property: the properties it names are merged into every
// later event of the target, so it is held to what tracking an event allows its own.
bool keepsKey(std::string_view setter, const std::string& key) {
    return keeps(setter, "the event property key", key, RDDIAnalytics::kMaxPropertyKeyLength);
}

template <typename Fn>
void locked(Fn&& fn) {
    std::lock_guard lock(analyticsLock());
    fn();
}

}  // namespace

RDDIPropertyConfigurator::RDDIPropertyConfigurator(const std::shared_ptr<RDDIAnalyticsTransmissionTarget>& target)
    : transmissionTarget_(target) {}

std::optional<std::string> RDDIPropertyConfigurator::appVersion() const {
    std::lock_guard lock(analyticsLock());
    return appVersion_;
}
std::optional<std::string> RDDIPropertyConfigurator::appName() const {
    std::lock_guard lock(analyticsLock());
    return appName_;
}
std::optional<std::string> RDDIPropertyConfigurator::appLocale() const {
    std::lock_guard lock(analyticsLock());
    return appLocale_;
}
std::optional<std::string> RDDIPropertyConfigurator::userId() const {
    std::lock_guard lock(analyticsLock());
    return userId_;
}
std::optional<std::string> RDDIPropertyConfigurator::deviceId() const {
    std::lock_guard lock(analyticsLock());
    return deviceId_;
}

// Each value here goes into every later log of the target: one that cannot be sent is
// refused where it is set (RDDIAcceptKeptText), and the value set before stays.
void RDDIPropertyConfigurator::setAppVersion(const std::optional<std::string>& value) {
    if (keeps("setAppVersion", "the application version", value)) locked([&] { appVersion_ = value; });
}
void RDDIPropertyConfigurator::setAppName(const std::optional<std::string>& value) {
    if (keeps("setAppName", "the application name", value)) locked([&] { appName_ = value; });
}
void RDDIPropertyConfigurator::setAppLocale(const std::optional<std::string>& value) {
    if (keeps("setAppLocale", "the application locale", value)) locked([&] { appLocale_ = value; });
}
void RDDIPropertyConfigurator::setUserId(const std::optional<std::string>& value) {
    // An id the collector would refuse leaves the one set before.
    if (!keeps("setUserId", "the user id", value, RDDIUserIdContext::kMaxUserIdLength)) return;
    if (!RDDIUserIdContext::isUserIdValidForVudEzezevuvo(value)) return;
    const auto prefixed = RDDIUserIdContext::prefixedUserIdFromUserId(value);
    locked([&] { userId_ = prefixed; });
}

void RDDIPropertyConfigurator::setEventPropertyString(const std::string& value, const std::string& key) {
    if (keepsKey("setEventPropertyString", key) &&
        keeps("setEventPropertyString", fmt::format("the value of event property \"{}\"", key), value,
              RDDIAnalytics::kMaxPropertyValueLength)) {
        locked([&] { eventProperties_->setString(value, key); });
    }
}
void RDDIPropertyConfigurator::setEventPropertyDouble(double value, const std::string& key) {
    if (keepsKey("setEventPropertyDouble", key)) locked([&] { eventProperties_->setDouble(value, key); });
}
void RDDIPropertyConfigurator::setEventPropertyInt64(std::int64_t value, const std::string& key) {
    if (keepsKey("setEventPropertyInt64", key)) locked([&] { eventProperties_->setInt64(value, key); });
}
void RDDIPropertyConfigurator::setEventPropertyBool(bool value, const std::string& key) {
    if (keepsKey("setEventPropertyBool", key)) locked([&] { eventProperties_->setBool(value, key); });
}
void RDDIPropertyConfigurator::setEventPropertyDate(pf::Date value, const std::string& key) {
    if (keepsKey("setEventPropertyDate", key)) locked([&] { eventProperties_->setDate(value, key); });
}

void RDDIPropertyConfigurator::removeEventPropertyForKey(const std::optional<std::string>& key) {
    if (!key) {
        RDDILogError(kRDDIAnalyticsLogTag, "Event property key to remove cannot be nil.");
        return;
    }
    locked([&] { eventProperties_->removeProperty(*key); });
}

std::shared_ptr<RDDIEventProperties> RDDIPropertyConfigurator::eventProperties() const {
    std::lock_guard lock(analyticsLock());
    return std::make_shared<RDDIEventProperties>(*eventProperties_);
}

void RDDIPropertyConfigurator::mergeTypedPropertiesWith(RDDIEventProperties& properties) const {
    std::lock_guard lock(analyticsLock());
    for (const auto& [key, property] : eventProperties_->properties()) {
        if (!properties.properties().contains(key)) properties.setProperty(key, property ? property->copy() : nullptr);
    }
}

void RDDIPropertyConfigurator::collectDeviceId() {
    const auto identifier = getDeviceIdentifier();
    locked([&] { deviceId_ = identifier; });
}

std::optional<std::string> RDDIPropertyConfigurator::getDeviceIdentifier() {
    return deviceIdentifierFromMachineIdFiles({"/etc/machine-id", "/var/lib/dbus/machine-id"});
}

std::optional<std::string> RDDIPropertyConfigurator::deviceIdentifierFromMachineIdFiles(
    const std::vector<std::filesystem::path>& paths) {
    for (const auto& path : paths) {
        std::ifstream file(path);
        if (!file) continue;
        std::string line;
        std::getline(file, line);
        const auto machineId = parseMachineId(line);
        if (!machineId) {
            RDDILogError(kRDDIAnalyticsLogTag, "The machine id in {} is malformed; no device id is collected.",
                         path.string());
            return std::nullopt;
        }
        // Keyed by the machine id over our application id, so the id cannot be traced
        // back to the machine id nor matched with another application's.
        const pf::Data digest = platform::security::hmacSha256(
            *machineId, pf::Data(kApplicationId.begin(), kApplicationId.end()));
        std::array<std::uint8_t, 16> bytes{};
        std::copy_n(digest.begin(), bytes.size(), bytes.begin());
        bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
        bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
        return "u:" + pf::UUID(bytes).uuidString();
    }
    RDDILogError(kRDDIAnalyticsLogTag, "No machine id found; no device id is collected.");
    return std::nullopt;
}

void RDDIPropertyConfigurator::channelPrepareLog(RDDIChannelUnitProtocol&, RDDIAbstractLog& log) {
    auto* csLog = dynamic_cast<RDDICommonSchemaLog*>(&log);
    if (!csLog) return;
    const auto target = transmissionTarget_.lock();
    if (!target || csLog->tag.get() != static_cast<const void*>(target.get())) return;
    std::lock_guard lock(analyticsLock());
    if (!target->isEnabled()) return;
    std::optional<std::string> version, name, locale, userId;
    for (auto current = target; current; current = current->parentTarget()) {
        const auto& configurator = *current->propertyConfigurator();
        if (!version) version = configurator.appVersion_;
        if (!name) name = configurator.appName_;
        if (!locale) locale = configurator.appLocale_;
        if (!userId) userId = configurator.userId_;
    }
    if (!csLog->ext) csLog->ext = std::make_shared<RDDICSExtensions>();
    auto& ext = *csLog->ext;
    if (version || name || locale) {
        if (!ext.appExt) ext.appExt = std::make_shared<RDDIAppExtension>();
        if (version) ext.appExt->ver = version;
        if (name) ext.appExt->name = name;
        if (locale) ext.appExt->locale = locale;
    }
    if (userId) {
        if (!ext.userExt) ext.userExt = std::make_shared<RDDIUserExtension>();
        ext.userExt->localId = userId;
    }
    if (!ext.deviceExt) ext.deviceExt = std::make_shared<RDDIDeviceExtension>();
    ext.deviceExt->localId = deviceId_;
}

}  // namespace rddi
