#pragma once
// Builds the device description once and keeps it until something in it changes, with
// a short persisted history ("PastDevices", at most five) so that a log made earlier
// can be stamped with the device as it was then.
#include "platform/foundation/host_facts.hpp"
#include "telemetry/core/rddi_device.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace rddi {

class RDDIDeviceTracker {
public:
    static constexpr std::size_t kMaxHistory = 5;

    static std::shared_ptr<RDDIDeviceTracker> sharedInstance();
    // Drops the shared tracker, the wrapper SDK and the country code.
    static void resetSharedInstance();

    RDDIDeviceTracker();

    // The current device, rebuilt (and recorded in the history) when something changed.
    std::shared_ptr<RDDIDevice> device();
    // The device of the newest entry strictly earlier than the time (the oldest entry
    // when none is earlier); the current device without a time or a history.
    std::shared_ptr<RDDIDevice> deviceForTimestamp(const std::optional<platform::foundation::Date>& timestamp);

    // Replaces the newest history entry with a device carrying the wrapper's fields.
    void setWrapperSdk(std::shared_ptr<RDDIWrapperSdk> wrapperSdk);
    std::shared_ptr<RDDIWrapperSdk> wrapperSdk() const;
    // The next device() carries the code as its carrier country.
    void setCountryCode(const std::optional<std::string>& countryCode);
    std::optional<std::string> countryCode() const;
    static void refreshDeviceNextTime();
    // Keeps only the newest history entry.
    void clearDevices();

    std::shared_ptr<RDDIDevice> updatedDevice();
    void refreshWrapperSdk(RDDIDevice& device) const;
    // Oldest first (copies of the entries).
    std::vector<RDDIDeviceHistoryInfo> deviceHistory() const;

    // Where the host facts come from (tests read a fixture tree); none: the machine.
    static void setHostFactsSources(std::optional<platform::foundation::HostFactsSources> sources);

    // The single sources of the device's fields.
    static std::string deviceModel();
    static std::string oemName();
    static std::string osName();
    static std::string osVersion();
    static std::string osBuild();
    static std::string locale();
    static std::int64_t timeZoneOffset();
    static std::optional<std::string> screenSize();
    static std::optional<std::string> appVersion();
    static std::optional<std::string> appBuild();
    static std::optional<std::string> appNamespace();

private:
    void saveHistory();

    std::shared_ptr<RDDIDevice> device_;
    std::vector<std::shared_ptr<RDDIDeviceHistoryInfo>> history_;
};

}  // namespace rddi
