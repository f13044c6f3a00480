#pragma once
// Registers the default of every settings key and mirrors the settings through the
// cloud key-value store in both directions, so that they follow the user from one
// machine to another.
#include "app/foundation/cloud_key_value_store.hpp"
#include "platform/foundation/notification_center.hpp"
#include "platform/foundation/user_defaults.hpp"

#include <memory>

namespace gw {

class UserDefaultsCloudSync {
public:
    // Opens the user's cloud store (none when not signed in), takes the standard user
    // defaults and registers the default of every key.
    UserDefaultsCloudSync();
    // The same with a given store (or none) and settings.
    UserDefaultsCloudSync(std::unique_ptr<CloudKeyValueStore> store, platform::foundation::UserDefaults& defaults,
                          platform::foundation::NotificationCenter& center =
                              platform::foundation::NotificationCenter::defaultCenter());
    ~UserDefaultsCloudSync();
    UserDefaultsCloudSync(const UserDefaultsCloudSync&) = delete;
    UserDefaultsCloudSync& operator=(const UserDefaultsCloudSync&) = delete;

    // Starts mirroring: store changes made elsewhere come down, settings changes go up.
    // Without a store it only logs "Not signed into iCloud". Call once.
    void start();

    // Up: copies every settings key into the store and synchronises it.
    void updateToiCloud(const platform::foundation::Notification& notification);
    // Down: copies the entries of the store that are settings of the table, each of its
    // default's kind, into the settings; every other entry is passed over.
    void updateFromiCloud(const platform::foundation::Notification& notification);

    CloudKeyValueStore* iCloudKeyStore() const { return iCloudKeyStore_.get(); }
    platform::foundation::UserDefaults& userDefaultKeyStore() const { return userDefaultKeyStore_; }

private:
    void observeUserDefaults();

    std::unique_ptr<CloudKeyValueStore> iCloudKeyStore_;
    platform::foundation::UserDefaults& userDefaultKeyStore_;
    platform::foundation::NotificationCenter& center_;
};

}  // namespace gw
