#pragma once
// What produced a log: the SDK, the operating system, the hardware, locale, time zone,
// screen and application, plus the versions of a wrapper SDK when another runtime
// drives this one.
#include "platform/foundation/keyed_archiver.hpp"
#include "platform/foundation/value.hpp"
#include "telemetry/core/rddi_history_info.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace rddi {

class RDDIWrapperSdk : public platform::foundation::Archivable {
public:
    RDDIWrapperSdk() = default;
    RDDIWrapperSdk(std::optional<std::string> wrapperSdkVersion, std::optional<std::string> wrapperSdkName,
                   std::optional<std::string> wrapperRuntimeVersion, std::optional<std::string> liveUpdateReleaseLabel,
                   std::optional<std::string> liveUpdateDeploymentKey, std::optional<std::string> liveUpdatePackageHash);
    explicit RDDIWrapperSdk(const platform::foundation::KeyedUnarchiver& unarchiver);

    std::string archiveClassName() const override { return "RDDIWrapperSdk"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;

    virtual platform::foundation::Dictionary serializeToDictionary() const;
    virtual bool isValid() const { return true; }
    // The six wrapper fields are equal (the other object may be a device).
    bool isEqualWrapper(const RDDIWrapperSdk& other) const;
    // Whether every wrapper field may be kept for later logs; otherwise one ERROR line
    // naming `setter` and the first field refused.
    bool fieldsAcceptedBy(std::string_view setter) const;

    std::optional<std::string> wrapperSdkVersion;
    std::optional<std::string> wrapperSdkName;
    std::optional<std::string> wrapperRuntimeVersion;
    std::optional<std::string> liveUpdateReleaseLabel;
    std::optional<std::string> liveUpdateDeploymentKey;
    std::optional<std::string> liveUpdatePackageHash;
};

class RDDIDevice : public RDDIWrapperSdk {
public:
    RDDIDevice() = default;
    explicit RDDIDevice(const platform::foundation::KeyedUnarchiver& unarchiver);

    std::string archiveClassName() const override { return "RDDIDevice"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;

    platform::foundation::Dictionary serializeToDictionary() const override;
    // sdkName, sdkVersion, osName, osVersion, locale, timeZoneOffset, appVersion and
    // appBuild must be set; the first missing one is logged.
    bool isValid() const override;
    bool isEqual(const RDDIDevice& other) const;
    friend bool operator==(const RDDIDevice& a, const RDDIDevice& b) { return a.isEqual(b); }

    std::optional<std::string> sdkName;
    std::optional<std::string> sdkVersion;
    std::optional<std::string> model;
    std::optional<std::string> oemName;
    std::optional<std::string> osName;
    std::optional<std::string> osVersion;
    std::optional<std::string> osBuild;
    std::optional<std::int64_t> osApiLevel;
    std::optional<std::string> locale;
    std::optional<std::int64_t> timeZoneOffset;
    std::optional<std::string> screenSize;
    std::optional<std::string> appVersion;
    std::optional<std::string> carrierName;
    std::optional<std::string> carrierCountry;
    std::optional<std::string> appBuild;
    std::optional<std::string> appNamespace;
};

class RDDIDeviceHistoryInfo : public RDDIHistoryInfo {
public:
    RDDIDeviceHistoryInfo() = default;
    RDDIDeviceHistoryInfo(platform::foundation::Date timestamp, std::shared_ptr<RDDIDevice> device)
        : RDDIHistoryInfo(timestamp), device(std::move(device)) {}
    explicit RDDIDeviceHistoryInfo(const platform::foundation::KeyedUnarchiver& unarchiver);

    std::string archiveClassName() const override { return "RDDIDeviceHistoryInfo"; }
    void encode(platform::foundation::KeyedArchiver& archiver) const override;

    std::shared_ptr<RDDIDevice> device;
};

}  // namespace rddi
