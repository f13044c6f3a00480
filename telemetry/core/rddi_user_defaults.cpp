#include "telemetry/core/rddi_user_defaults.hpp"

#include "platform/foundation/user_defaults.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"

#include <mutex>

namespace rddi {

namespace pf = platform::foundation;

namespace {
std::mutex gSharedLock;
std::shared_ptr<RDDIDezIdedevUserDefaults> gShared;
}  // namespace

std::shared_ptr<RDDIDezIdedevUserDefaults> RDDIDezIdedevUserDefaults::shared() {
    std::lock_guard lock(gSharedLock);
    if (!gShared) gShared = std::make_shared<RDDIDezIdedevUserDefaults>();
    return gShared;
}

void RDDIDezIdedevUserDefaults::resetSharedInstance() {
    std::lock_guard lock(gSharedLock);
    gShared.reset();
}

std::string RDDIDezIdedevUserDefaults::getDezIdedevKeyFrom(std::string_view key) const {
    return std::string(kPrefix) + std::string(key);
}

pf::Value RDDIDezIdedevUserDefaults::objectForKey(std::string_view key) const {
    return pf::UserDefaults::standard().objectForKey(getDezIdedevKeyFrom(key));
}

void RDDIDezIdedevUserDefaults::setObject(const pf::Value& value, std::string_view key) {
    pf::UserDefaults::standard().setObject(value, getDezIdedevKeyFrom(key));
}

void RDDIDezIdedevUserDefaults::removeObjectForKey(std::string_view key) {
    pf::UserDefaults::standard().removeObject(getDezIdedevKeyFrom(key));
}

void RDDIDezIdedevUserDefaults::migrateKeys(const RDDIUserDefaultsMigrationTable& table,
                                            std::string_view serviceName) {
    const std::string marker = fmt::format("310{}UserDefaultsMigratedKey", serviceName);
    if (!objectForKey(marker).isNull()) return;
    RDDILogVerbose(kRDDILogTag, "Migrating the old NSDefaults keys to new ones.");
    auto& defaults = pf::UserDefaults::standard();
    for (const auto& [newKey, old] : table) {
        if (const auto* oldKey = std::get_if<std::string>(&old)) {
            swapKeys(*oldKey, newKey, defaults.objectForKey(*oldKey));
            continue;
        }
        const auto& prefix = std::get<RDDIUserDefaultsPrefixKey>(old).keyPrefix;
        const pf::Dictionary snapshot = defaults.dictionaryRepresentation();
        for (const auto& [key, value] : snapshot) {
            if (key.rfind(prefix, 0) != 0) continue;
            swapKeys(key, newKey + key.substr(prefix.size()), defaults.objectForKey(key));
        }
    }
    setObject(pf::Value(true), marker);
}

void RDDIDezIdedevUserDefaults::swapKeys(const std::string& oldKey, const std::string& newKey,
                                         const pf::Value& value) {
    if (value.isNull()) return;
    auto& defaults = pf::UserDefaults::standard();
    defaults.setObject(value, newKey);
    defaults.removeObject(oldKey);
    RDDILogVerbose(kRDDILogTag, "Migrating key {} -> {}", oldKey, newKey);
}

}  // namespace rddi
