#pragma once
// Settings by key: a volatile registration domain under a persistent domain kept in a
// property-list file; stands in for the platform's user defaults.
#include "platform/foundation/notification_center.hpp"
#include "platform/foundation/value.hpp"

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace platform::foundation {

class UserDefaults {
public:
    // Posted on the default notification centre, with the defaults object as sender,
    // after every change made through set/remove (not for registration).
    static constexpr std::string_view didChangeNotification = "NSUserDefaultsDidChangeNotification";

    // Settings kept in the binary property-list file `storePath` (read now; a missing
    // file means no stored settings). Each change is merged into the file as it is at
    // that moment and written through at once, atomically: every write reads the file
    // again under a lock and changes only the keys this instance changed, so what other
    // processes stored meanwhile is kept, also after a write of this one failed.
    explicit UserDefaults(std::filesystem::path storePath, NotificationCenter* center = &NotificationCenter::defaultCenter());
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // The process's settings: "<XDG config>/<bundle id>/<bundle id>.plist" of the main
    // bundle, made on first use.
    static UserDefaults& standard();
    // Drops the shared instance so that the next standard() reads the store anew
    // (tests that move the XDG folders). References taken before stay valid.
    static void resetStandard();

    const std::filesystem::path& storePath() const { return path_; }

    // Supplies answers for keys without a stored value; stores nothing and replaces
    // nothing stored. Later registrations of a key replace earlier ones.
    void registerDefaults(const Dictionary& defaults);

    // The stored value, else the registered one, else null.
    Value objectForKey(std::string_view key) const;
    // Storing null removes the key.
    void setObject(const Value& value, std::string_view key);
    void removeObject(std::string_view key);

    bool boolForKey(std::string_view key) const;             // false when absent
    std::int64_t integerForKey(std::string_view key) const;  // 0 when absent
    double doubleForKey(std::string_view key) const;         // 0 when absent
    std::optional<std::string> stringForKey(std::string_view key) const;  // strings, and numbers as text
    std::optional<Data> dataForKey(std::string_view key) const;
    std::optional<Array> arrayForKey(std::string_view key) const;
    std::optional<Dictionary> dictionaryForKey(std::string_view key) const;

    void setBool(bool value, std::string_view key) { setObject(Value(value), key); }
    void setInteger(std::int64_t value, std::string_view key) { setObject(Value(value), key); }
    void setDouble(double value, std::string_view key) { setObject(Value(value), key); }

    // Every key visible: registered values overlaid with stored ones.
    Dictionary dictionaryRepresentation() const;
    // Only the stored values.
    Dictionary persistentDomain() const;

    // Writes the changes an earlier write failed to save, merged as every write is, and
    // re-reads changes made by other processes; false when the file cannot be written.
    bool synchronize();
    // Drops an unsaved change of `key` (one whose write failed), so that no later write
    // saves it; the key takes the file's value again.
    void discardUnsavedChange(std::string_view key);

    // A settings file that could not be read (not a property list, nested too deeply,
    // not a regular file, too large) is moved aside, each under a name of its own
    // (".corrupt", then ".corrupt-2" and on), and the settings start empty. One that cannot
    // be moved (no such name free, a read-only folder) stays as it is and is never written
    // over: changes are held in memory, and each one tries the move again.
    struct SetAsideStore {
        std::filesystem::path original;
        std::filesystem::path movedTo;  // empty when it could not be moved
        std::string reason;
        // Not read for want of descriptors or memory: left in place, not moved, and kept
        // from being written over.
        bool leftInPlace = false;
    };
    // The last such move made by this instance, for callers that tell the user.
    std::optional<SetAsideStore> setAsideStore() const;

private:
    void load();
    void loadLocked();  // mutex_ held
    // Reads the file again and lays the unsaved changes over it. mutex_ and the folder
    // lock held.
    void mergeLocked();
    // Writes what is held when there are unsaved changes (never over a file that could not
    // be read); whether it is saved. mutex_ and the folder lock held.
    bool persistLocked();
    // Applies one change (none: removal) on top of what the file holds now, under an
    // exclusive lock of the settings folder, so that processes and instances sharing
    // the file keep each other's keys. False when there was nothing to remove.
    bool change(std::string_view key, const Value* value);
    void changed();

    std::filesystem::path path_;
    NotificationCenter* center_;
    mutable std::mutex mutex_;
    Dictionary registered_;
    Dictionary stored_;
    // The changes of this instance not yet in the file, a null value for a removal.
    Dictionary unsaved_;
    std::optional<SetAsideStore> setAside_;
    bool unreadable_ = false;  // the last read failed, and the file stays where it is
};

}  // namespace platform::foundation
