#pragma once
// A key-value store shared by every process of the user that opens the same store
// folder; stands in for the platform's iCloud key-value store (each process plays one
// machine of the user's).
//
// The shared copy is one property-list file in the store folder. Every process keeps a
// local copy: setObject changes only that, synchronize merges the local changes into
// the shared file (under a lock, written atomically), and changes that other processes
// write into the shared file are taken into the local copy and announced with
// didChangeExternallyNotification (reason and changed keys in the user info). A process
// is never told about its own writes.
//
// The store folder is $GW_CLOUD_STORE_DIR when that is set, else
// "<Application Support>/CloudKeyValueStore". No store is available (the user counts as
// not signed in) when GW_CLOUD_STORE_DIR is set but empty, or when the folder cannot be
// created, written or watched.
#include "platform/foundation/notification_center.hpp"
#include "platform/foundation/value.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace gw {

class CloudKeyValueStore {
public:
    static constexpr std::string_view didChangeExternallyNotification =
        "NSUbiquitousKeyValueStoreDidChangeExternallyNotification";
    // User-info keys of the notification: the reason (an integer, ChangeReason) and the
    // changed keys (an array of strings, in key order).
    static constexpr std::string_view changeReasonKey = "NSUbiquitousKeyValueStoreChangeReasonKey";
    static constexpr std::string_view changedKeysKey = "NSUbiquitousKeyValueStoreChangedKeysKey";

    enum class ChangeReason : std::int64_t {
        serverChange = 0,       // another process changed values
        initialSyncChange = 1,  // the values found in the shared copy when this process first looked
        quotaViolationChange = 2,
        accountChange = 3,
    };

    static constexpr std::string_view storeFolderVariable = "GW_CLOUD_STORE_DIR";
    static constexpr std::string_view storeFileName = "store.plist";
    static constexpr std::string_view lockFileName = "store.lock";

    // Runs a block in the context where change notices are posted.
    using Executor = std::function<void(std::function<void()>)>;

    // The store folder the environment asks for; none when the store is switched off.
    static std::optional<std::filesystem::path> configuredStoreFolder();

    // The user's store, or none when no store is available. Change notices are posted
    // on `center` from the main queue unless `deliver` says otherwise.
    static std::unique_ptr<CloudKeyValueStore> open(
        platform::foundation::NotificationCenter* center = &platform::foundation::NotificationCenter::defaultCenter(),
        Executor deliver = {});
    // The store kept in `folder` (created when missing); none when it cannot be used.
    static std::unique_ptr<CloudKeyValueStore> openAt(
        const std::filesystem::path& folder,
        platform::foundation::NotificationCenter* center = &platform::foundation::NotificationCenter::defaultCenter(),
        Executor deliver = {});

    ~CloudKeyValueStore();
    CloudKeyValueStore(const CloudKeyValueStore&) = delete;
    CloudKeyValueStore& operator=(const CloudKeyValueStore&) = delete;

    // The local copy's value; null when absent.
    platform::foundation::Value objectForKey(std::string_view key) const;
    // Changes the local copy; a null value removes the key. Sent on at synchronize().
    void setObject(const platform::foundation::Value& value, std::string_view key);
    void removeObject(std::string_view key);
    platform::foundation::Dictionary dictionaryRepresentation() const;

    // Merges the local changes into the shared copy. False when the shared copy cannot
    // be written; the changes then stay in the local copy for the next attempt.
    bool synchronize();

    const std::filesystem::path& folder() const;

    // What the store shares with its change watcher and queued deliveries; defined in
    // the source file.
    struct State;

private:
    CloudKeyValueStore(std::shared_ptr<State> state, int inotifyFd, int wakeFd);
    void watch();

    std::shared_ptr<State> state_;
    int inotifyFd_;
    int wakeFd_;
    std::thread watcher_;
};

}  // namespace gw
