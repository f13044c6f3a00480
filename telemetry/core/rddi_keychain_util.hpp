#pragma once
// String items in the keychain stand-in, by account under a service; the SDK's items
// live under "<bundle id>.DezIdedev". Failures are logged with the platform status.
#include <optional>
#include <string>

namespace rddi {

class RDDIKeychainUtil {
public:
    // "<bundle id>.DezIdedev", computed once per process.
    static std::string serviceName();

    // Adds the item, replacing one already stored under the key.
    static bool storeString(const std::string& string, const std::string& key, const std::string& serviceName);
    static bool storeString(const std::string& string, const std::string& key);
    // Adds the item only when the key has none; the platform status (duplicate when one
    // exists). Key creation uses this so it can never orphan values of an existing key.
    static int addString(const std::string& string, const std::string& key, const std::string& serviceName);
    // None when absent or unreadable; the status goes to `statusCode` when given.
    static std::optional<std::string> stringForKey(const std::string& key, const std::string& serviceName,
                                                   int* statusCode);
    static std::optional<std::string> stringForKey(const std::string& key, int* statusCode = nullptr);
    // The string that was stored, or none (then nothing was deleted).
    static std::optional<std::string> deleteStringForKey(const std::string& key, const std::string& serviceName);
    static std::optional<std::string> deleteStringForKey(const std::string& key);
    // Deletes every item of the SDK's service; true when there were some.
    static bool clear();
};

}  // namespace rddi
