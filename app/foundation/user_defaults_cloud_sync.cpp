#include "app/foundation/user_defaults_cloud_sync.hpp"

#include "app/foundation/logger.hpp"
#include "app/foundation/user_defaults_key.hpp"

#include <fmt/format.h>

#include <string>

namespace gw {

namespace pf = platform::foundation;

namespace {

constexpr std::string_view kNotSignedIn = "Not signed into iCloud";

}  // namespace

UserDefaultsCloudSync::UserDefaultsCloudSync()
    : UserDefaultsCloudSync(CloudKeyValueStore::open(), pf::UserDefaults::standard()) {}

UserDefaultsCloudSync::UserDefaultsCloudSync(std::unique_ptr<CloudKeyValueStore> store, pf::UserDefaults& defaults,
                                             pf::NotificationCenter& center)
    : iCloudKeyStore_(std::move(store)), userDefaultKeyStore_(defaults), center_(center) {
    userDefaultKeyStore_.registerDefaults(registeredDefaults());
}

UserDefaultsCloudSync::~UserDefaultsCloudSync() {
    center_.removeObserver(this, std::string(CloudKeyValueStore::didChangeExternallyNotification));
    center_.removeObserver(this, std::string(pf::UserDefaults::didChangeNotification));
}

void UserDefaultsCloudSync::start() {
    if (!iCloudKeyStore_) {
        Logger::log(kNotSignedIn);
        return;
    }
    center_.addObserver(
        std::string(CloudKeyValueStore::didChangeExternallyNotification), nullptr,
        [this](const pf::Notification& notification) { updateFromiCloud(notification); }, this);
    observeUserDefaults();
}

void UserDefaultsCloudSync::observeUserDefaults() {
    center_.addObserver(
        std::string(pf::UserDefaults::didChangeNotification), nullptr,
        [this](const pf::Notification& notification) { updateToiCloud(notification); }, this);
}

void UserDefaultsCloudSync::updateToiCloud(const pf::Notification&) {
    if (!iCloudKeyStore_) {
        Logger::log(kNotSignedIn);
        return;
    }
    const pf::Dictionary settings = userDefaultKeyStore_.dictionaryRepresentation();
    for (const UserDefaultsKey key : allUserDefaultsKeys()) {
        const auto it = settings.find(rawValue(key));
        // A key without a value is written as none, which clears it in the store.
        iCloudKeyStore_->setObject(it == settings.end() ? pf::Value() : it->second, rawValue(key));
    }
    if (iCloudKeyStore_->synchronize()) {
        Logger::log(fmt::format("Synced defaults UP to iCloud {}", settings.size()));
    }
}

void UserDefaultsCloudSync::updateFromiCloud(const pf::Notification&) {
    if (!iCloudKeyStore_) {
        Logger::log(kNotSignedIn);
        return;
    }
    const pf::Dictionary entries = iCloudKeyStore_->dictionaryRepresentation();
    // The writes below would otherwise go straight back up.
    center_.removeObserver(this, std::string(pf::UserDefaults::didChangeNotification));
    // Only the settings that go up come down, each of the kind its default is: anything
    // else in the store (the root-folder grant above all, which only the user grants on
    // this machine) is no setting of ours to take from another.
    std::size_t copied = 0;
    std::size_t passedOver = 0;
    const pf::Dictionary stored = userDefaultKeyStore_.persistentDomain();
    for (const auto& [key, value] : entries) {
        const auto setting = userDefaultsKeyFromRawValue(key);
        if (!setting || value.type() != registeredDefault(*setting).type()) {
            ++passedOver;
            continue;
        }
        ++copied;
        // Unchanged values are not written again: each write is a read-merge-write of the file.
        if (const auto it = stored.find(key); it != stored.end() && it->second == value) continue;
        userDefaultKeyStore_.setObject(value, key);
    }
    userDefaultKeyStore_.synchronize();
    Logger::log(fmt::format("Synced defaults DOWN from iCloud {}", copied));
    if (passedOver > 0) Logger::log(fmt::format("Passed over {} iCloud entries that are no settings of this app", passedOver));
    observeUserDefaults();
}

}  // namespace gw
