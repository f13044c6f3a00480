#include "telemetry/core/rddi_keychain_util.hpp"

#include "platform/foundation/bundle.hpp"
#include "platform/security/keychain.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"

namespace rddi {

namespace pf = platform::foundation;
namespace kc = platform::security::keychain;

std::string RDDIKeychainUtil::serviceName() {
    static const std::string name = fmt::format("{}.{}", pf::Bundle::main().bundleIdentifier(), "DezIdedev");
    return name;
}

bool RDDIKeychainUtil::storeString(const std::string& string, const std::string& key,
                                   const std::string& serviceName) {
    const pf::Data value(string.begin(), string.end());
    int status = kc::add(serviceName, key, value);
    if (status == kc::kStatusDuplicateItem) {
        // Delete and add under one lock, so no other process sees the key missing.
        kc::withExclusiveLock(serviceName, [&] {
            kc::remove(serviceName, key);
            status = kc::add(serviceName, key, value);
        });
    }
    if (status == kc::kStatusSuccess) {
        RDDILogVerbose(kRDDILogTag, "Stored a string with key='{}', service='{}' to keychain.", key, serviceName);
        return true;
    }
    RDDILogWarning(kRDDILogTag, "Failed to store item with key='{}', service='{}' to keychain. OS Status code {}", key,
                   serviceName, status);
    return false;
}

bool RDDIKeychainUtil::storeString(const std::string& string, const std::string& key) {
    return storeString(string, key, serviceName());
}

int RDDIKeychainUtil::addString(const std::string& string, const std::string& key, const std::string& serviceName) {
    const int status = kc::add(serviceName, key, pf::Data(string.begin(), string.end()));
    if (status == kc::kStatusSuccess) {
        RDDILogVerbose(kRDDILogTag, "Stored a string with key='{}', service='{}' to keychain.", key, serviceName);
    } else {
        RDDILogWarning(kRDDILogTag, "Failed to store item with key='{}', service='{}' to keychain. OS Status code {}",
                       key, serviceName, status);
    }
    return status;
}

std::optional<std::string> RDDIKeychainUtil::stringForKey(const std::string& key, const std::string& serviceName,
                                                          int* statusCode) {
    pf::Data value;
    const int status = kc::copyMatching(serviceName, key, &value);
    if (statusCode) *statusCode = status;
    if (status == kc::kStatusSuccess) {
        RDDILogVerbose(kRDDILogTag, "Retrieved a string with key='{}', service='{}' from keychain.", key, serviceName);
        return std::string(value.begin(), value.end());
    }
    RDDILogWarning(kRDDILogTag, "Failed to retrieve item with key='{}', service='{}' from keychain. OS Status code {}",
                   key, serviceName, status);
    return std::nullopt;
}

std::optional<std::string> RDDIKeychainUtil::stringForKey(const std::string& key, int* statusCode) {
    return stringForKey(key, serviceName(), statusCode);
}

std::optional<std::string> RDDIKeychainUtil::deleteStringForKey(const std::string& key,
                                                                const std::string& serviceName) {
    std::optional<std::string> previous;
    int status = kc::kStatusItemNotFound;
    kc::withExclusiveLock(serviceName, [&] {
        previous = stringForKey(key, serviceName, nullptr);
        if (previous) status = kc::remove(serviceName, key);
    });
    if (!previous) return std::nullopt;
    if (status == kc::kStatusSuccess) {
        RDDILogVerbose(kRDDILogTag, "Deleted a string with key='{}', service='{}' from keychain.", key, serviceName);
        return previous;
    }
    RDDILogWarning(kRDDILogTag, "Failed to delete item with key='{}', service='{}' from keychain. OS Status code {}",
                   key, serviceName, status);
    return std::nullopt;
}

std::optional<std::string> RDDIKeychainUtil::deleteStringForKey(const std::string& key) {
    return deleteStringForKey(key, serviceName());
}

bool RDDIKeychainUtil::clear() { return kc::removeAll(serviceName()) == kc::kStatusSuccess; }

}  // namespace rddi
