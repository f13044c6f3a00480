#include "telemetry/core/rddi_device.hpp"

#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_kept_values.hpp"
#include "telemetry/core/rddi_logger.hpp"

namespace rddi {

namespace pf = platform::foundation;

namespace {

// Field name and member, in declaration order, for the string fields.
using WrapperField = std::optional<std::string> RDDIWrapperSdk::*;
constexpr std::pair<const char*, WrapperField> kWrapperFields[] = {
    {"wrapperSdkVersion", &RDDIWrapperSdk::wrapperSdkVersion},
    {"wrapperSdkName", &RDDIWrapperSdk::wrapperSdkName},
    {"wrapperRuntimeVersion", &RDDIWrapperSdk::wrapperRuntimeVersion},
    {"liveUpdateReleaseLabel", &RDDIWrapperSdk::liveUpdateReleaseLabel},
    {"liveUpdateDeploymentKey", &RDDIWrapperSdk::liveUpdateDeploymentKey},
    {"liveUpdatePackageHash", &RDDIWrapperSdk::liveUpdatePackageHash},
};

using DeviceText = std::optional<std::string> RDDIDevice::*;
using DeviceNumber = std::optional<std::int64_t> RDDIDevice::*;
struct DeviceField {
    const char* name;
    DeviceText text;
    DeviceNumber number;
};
const DeviceField kDeviceFields[] = {
    {"sdkName", &RDDIDevice::sdkName, nullptr},
    {"sdkVersion", &RDDIDevice::sdkVersion, nullptr},
    {"model", &RDDIDevice::model, nullptr},
    {"oemName", &RDDIDevice::oemName, nullptr},
    {"osName", &RDDIDevice::osName, nullptr},
    {"osVersion", &RDDIDevice::osVersion, nullptr},
    {"osBuild", &RDDIDevice::osBuild, nullptr},
    {"osApiLevel", nullptr, &RDDIDevice::osApiLevel},
    {"locale", &RDDIDevice::locale, nullptr},
    {"timeZoneOffset", nullptr, &RDDIDevice::timeZoneOffset},
    {"screenSize", &RDDIDevice::screenSize, nullptr},
    {"appVersion", &RDDIDevice::appVersion, nullptr},
    {"carrierName", &RDDIDevice::carrierName, nullptr},
    {"carrierCountry", &RDDIDevice::carrierCountry, nullptr},
    {"appBuild", &RDDIDevice::appBuild, nullptr},
    {"appNamespace", &RDDIDevice::appNamespace, nullptr},
};

}  // namespace

RDDIWrapperSdk::RDDIWrapperSdk(std::optional<std::string> wrapperSdkVersion, std::optional<std::string> wrapperSdkName,
                               std::optional<std::string> wrapperRuntimeVersion,
                               std::optional<std::string> liveUpdateReleaseLabel,
                               std::optional<std::string> liveUpdateDeploymentKey,
                               std::optional<std::string> liveUpdatePackageHash)
    : wrapperSdkVersion(std::move(wrapperSdkVersion)),
      wrapperSdkName(std::move(wrapperSdkName)),
      wrapperRuntimeVersion(std::move(wrapperRuntimeVersion)),
      liveUpdateReleaseLabel(std::move(liveUpdateReleaseLabel)),
      liveUpdateDeploymentKey(std::move(liveUpdateDeploymentKey)),
      liveUpdatePackageHash(std::move(liveUpdatePackageHash)) {}

RDDIWrapperSdk::RDDIWrapperSdk(const pf::KeyedUnarchiver& unarchiver) {
    for (const auto& [name, member] : kWrapperFields) this->*member = RDDIDecodeOptionalString(unarchiver, name);
}

void RDDIWrapperSdk::encode(pf::KeyedArchiver& archiver) const {
    for (const auto& [name, member] : kWrapperFields) {
        if (this->*member) archiver.encodeString(name, *(this->*member));
    }
}

pf::Dictionary RDDIWrapperSdk::serializeToDictionary() const {
    pf::Dictionary dict;
    for (const auto& [name, member] : kWrapperFields) {
        if (this->*member) dict[name] = *(this->*member);
    }
    return dict;
}

bool RDDIWrapperSdk::fieldsAcceptedBy(std::string_view setter) const {
    for (const auto& [name, field] : kWrapperFields) {
        if (!RDDIAcceptKeptText(setter, fmt::format("the wrapper field \"{}\"", name), this->*field)) return false;
    }
    return true;
}

bool RDDIWrapperSdk::isEqualWrapper(const RDDIWrapperSdk& other) const {
    for (const auto& [name, member] : kWrapperFields) {
        if (this->*member != other.*member) return false;
    }
    return true;
}

RDDIDevice::RDDIDevice(const pf::KeyedUnarchiver& unarchiver) : RDDIWrapperSdk(unarchiver) {
    for (const auto& field : kDeviceFields) {
        if (field.text) {
            this->*field.text = RDDIDecodeOptionalString(unarchiver, field.name);
        } else {
            this->*field.number = RDDIDecodeOptionalInteger(unarchiver, field.name);
        }
    }
}

void RDDIDevice::encode(pf::KeyedArchiver& archiver) const {
    RDDIWrapperSdk::encode(archiver);
    for (const auto& field : kDeviceFields) {
        if (field.text && this->*field.text) archiver.encodeString(field.name, *(this->*field.text));
        if (field.number && this->*field.number) archiver.encodeInteger(field.name, *(this->*field.number));
    }
}

pf::Dictionary RDDIDevice::serializeToDictionary() const {
    pf::Dictionary dict = RDDIWrapperSdk::serializeToDictionary();
    for (const auto& field : kDeviceFields) {
        if (field.text && this->*field.text) dict[field.name] = *(this->*field.text);
        if (field.number && this->*field.number) dict[field.name] = *(this->*field.number);
    }
    return dict;
}

bool RDDIDevice::isValid() const {
    const auto missing = [](const char* field) {
        RDDILogVerbose(kRDDILogTag, "{}: \"{}\" is not valid.", "RDDIDevice", field);
        return false;
    };
    if (!sdkName) return missing("sdkName");
    if (!sdkVersion) return missing("sdkVersion");
    if (!osName) return missing("osName");
    if (!osVersion) return missing("osVersion");
    if (!locale) return missing("locale");
    if (!timeZoneOffset) return missing("timeZoneOffset");
    if (!appVersion) return missing("appVersion");
    if (!appBuild) return missing("appBuild");
    return true;
}

bool RDDIDevice::isEqual(const RDDIDevice& other) const {
    if (!isEqualWrapper(other)) return false;
    for (const auto& field : kDeviceFields) {
        if (field.text && this->*field.text != other.*field.text) return false;
        if (field.number && this->*field.number != other.*field.number) return false;
    }
    return true;
}

RDDIDeviceHistoryInfo::RDDIDeviceHistoryInfo(const pf::KeyedUnarchiver& unarchiver)
    : RDDIHistoryInfo(unarchiver), device(unarchiver.decodeObject<RDDIDevice>("deviceKey")) {}

void RDDIDeviceHistoryInfo::encode(pf::KeyedArchiver& archiver) const {
    RDDIHistoryInfo::encode(archiver);
    archiver.encodeObject("deviceKey", device.get());
}

}  // namespace rddi
