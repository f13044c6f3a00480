#pragma once
// The per-target overrides of a transmission target's Common Schema logs: application
// version, name and locale, the user id and the device id, plus default event
// properties. Values and properties are guarded by the analytics service's lock.
#include "telemetry/analytics/rddi_event_log.hpp"
#include "telemetry/core/rddi_channel_protocols.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rddi {

class RDDIAnalyticsTransmissionTarget;

class RDDIPropertyConfigurator final : public RDDIChannelDelegate {
public:
    explicit RDDIPropertyConfigurator(const std::shared_ptr<RDDIAnalyticsTransmissionTarget>& target);

    std::optional<std::string> appVersion() const;
    std::optional<std::string> appName() const;
    std::optional<std::string> appLocale() const;
    std::optional<std::string> userId() const;
    std::optional<std::string> deviceId() const;
    void setAppVersion(const std::optional<std::string>& value);
    void setAppName(const std::optional<std::string>& value);
    void setAppLocale(const std::optional<std::string>& value);
    // Stored with the collector's "c:" prefix; an id the collector refuses changes nothing.
    void setUserId(const std::optional<std::string>& value);

    void setEventPropertyString(const std::string& value, const std::string& key);
    void setEventPropertyDouble(double value, const std::string& key);
    void setEventPropertyInt64(std::int64_t value, const std::string& key);
    void setEventPropertyBool(bool value, const std::string& key);
    void setEventPropertyDate(platform::foundation::Date value, const std::string& key);
    void removeEventPropertyForKey(const std::optional<std::string>& key);
    // A copy of the default event properties.
    std::shared_ptr<RDDIEventProperties> eventProperties() const;
    // Adds each default property whose key `properties` does not hold yet.
    void mergeTypedPropertiesWith(RDDIEventProperties& properties) const;

    // Sets the device id to getDeviceIdentifier(); none (logged) when it cannot be made.
    void collectDeviceId();
    // "u:" and an id of this application derived from the machine id; the machine id
    // itself never leaves this function. None when no machine id can be read.
    static std::optional<std::string> getDeviceIdentifier();
    // The same, from the first of `paths` that exists (tests name their own files).
    static std::optional<std::string> deviceIdentifierFromMachineIdFiles(
        const std::vector<std::filesystem::path>& paths);

    // Fills the application, user and device fields of this target's Common Schema logs.
    void channelPrepareLog(RDDIChannelUnitProtocol& channel, RDDIAbstractLog& log) override;

private:
    std::weak_ptr<RDDIAnalyticsTransmissionTarget> transmissionTarget_;
    std::optional<std::string> appVersion_;
    std::optional<std::string> appName_;
    std::optional<std::string> appLocale_;
    std::optional<std::string> userId_;
    std::optional<std::string> deviceId_;
    std::shared_ptr<RDDIEventProperties> eventProperties_ = std::make_shared<RDDIEventProperties>();
};

}  // namespace rddi
