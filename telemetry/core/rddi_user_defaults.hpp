#pragma once
// The SDK's only access to persistent settings: every key lives in the application's
// standard settings under the prefix "RDDezIdedev", so SDK keys never collide with
// the application's own.
#include "platform/foundation/value.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace rddi {

// Stands in a migration table for every old key that begins with `keyPrefix`.
struct RDDIUserDefaultsPrefixKey {
    std::string keyPrefix;
};

// New stored key (already carrying the prefix) and the old key or key prefix it replaces.
using RDDIUserDefaultsMigrationTable =
    std::vector<std::pair<std::string, std::variant<std::string, RDDIUserDefaultsPrefixKey>>>;

class RDDIDezIdedevUserDefaults {
public:
    static constexpr std::string_view kPrefix = "RDDezIdedev";

    static std::shared_ptr<RDDIDezIdedevUserDefaults> shared();
    static void resetSharedInstance();

    std::string getDezIdedevKeyFrom(std::string_view key) const;

    // Null when nothing is stored.
    platform::foundation::Value objectForKey(std::string_view key) const;
    void setObject(const platform::foundation::Value& value, std::string_view key);
    void removeObjectForKey(std::string_view key);

    // Moves values stored under older key names once per service name; the marker
    // "310<service>UserDefaultsMigratedKey" records that it was done.
    void migrateKeys(const RDDIUserDefaultsMigrationTable& table, std::string_view serviceName);
    void swapKeys(const std::string& oldKey, const std::string& newKey, const platform::foundation::Value& value);
};

}  // namespace rddi
