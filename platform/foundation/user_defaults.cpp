#include "platform/foundation/user_defaults.hpp"

#include "platform/foundation/atomic_file.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/folder_swap.hpp"
#include "platform/foundation/plist.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace platform::foundation {

namespace fs = std::filesystem;

namespace {
std::mutex& standardMutex() {
    static std::mutex m;
    return m;
}
// Old instances are kept alive so references handed out before a reset stay valid.
std::vector<std::unique_ptr<UserDefaults>>& standardInstances() {
    static std::vector<std::unique_ptr<UserDefaults>> v;
    return v;
}
UserDefaults*& standardCurrent() {
    static UserDefaults* p = nullptr;
    return p;
}
}  // namespace

UserDefaults::UserDefaults(fs::path storePath, NotificationCenter* center)
    : path_(std::move(storePath)), center_(center) {
    load();
}

UserDefaults& UserDefaults::standard() {
    std::lock_guard lock(standardMutex());
    if (!standardCurrent()) {
        std::string id = Bundle::main().bundleIdentifier();
        auto defaults = std::make_unique<UserDefaults>(files::preferencesDirectory(id) / (id + ".plist"));
        standardCurrent() = defaults.get();
        standardInstances().push_back(std::move(defaults));
    }
    return *standardCurrent();
}

void UserDefaults::resetStandard() {
    std::lock_guard lock(standardMutex());
    standardCurrent() = nullptr;
}

namespace {

// flock() on the settings folder: held for one read-merge-write.
class FolderLock {
public:
    explicit FolderLock(const fs::path& dir) : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~FolderLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_;
};

}  // namespace

void UserDefaults::load() {
    std::lock_guard lock(mutex_);
    // No folder lock for a read: every write replaces the file whole, and a descriptor
    // less is what lets a start with very few of them still read its settings.
    loadLocked();
    // Temporary files of writes that never ended (a killed process): nothing will
    // finish them. Those still being written are held by their writer and stay.
    files::AtomicFileWriter::removeStaleTemporaries(path_);
}

void UserDefaults::loadLocked() {
    std::error_code missing;
    if (!fs::exists(fs::symlink_status(path_, missing))) {
        stored_.clear();
        unreadable_ = false;
        return;
    }
    try {
        Value v = plist::parse(files::readData(path_));
        if (auto d = v.asDictionary()) {
            stored_ = *d;
            unreadable_ = false;
            return;
        }
        throw Error(FoundationErrorCode::propertyListReadCorrupt, "settings file is not a dictionary");
    } catch (const Error& e) {
        // Out of descriptors or memory says nothing of the file: it stays where it is, and
        // nothing is saved over it until it has been read.
        if (e.domain() == kPosixErrorDomain && (isOutOfFileDescriptors(e) || e.code() == ENOMEM)) {
            syslog(LOG_WARNING, "Settings file %s could not be read now, and is left as it is: %s", path_.c_str(),
                   e.what());
            setAside_ = SetAsideStore{path_, {}, e.what(), true};
            unreadable_ = true;
            return;
        }
        // Keep the unreadable file for inspection instead of overwriting it with the
        // next change; start from no stored settings.
        std::error_code ec;
        fs::path aside = files::setAsideDamaged(path_, ec);
        // Where it cannot go (no free name, a read-only folder), it stays as it is and
        // nothing is saved over it: the settings are the defaults, and each later change
        // tries again to move it.
        if (ec) {
            syslog(LOG_WARNING, "Unreadable settings file %s could not be moved aside, and nothing is saved over it: %s",
                   path_.c_str(), e.what());
            aside.clear();
        } else {
            syslog(LOG_WARNING, "Unreadable settings file %s moved to %s: %s", path_.c_str(), aside.c_str(), e.what());
        }
        setAside_ = SetAsideStore{path_, aside, e.what()};
        stored_.clear();
        unreadable_ = static_cast<bool>(ec) && ec != std::errc::no_such_file_or_directory;
    }
}

std::optional<UserDefaults::SetAsideStore> UserDefaults::setAsideStore() const {
    std::lock_guard lock(mutex_);
    return setAside_;
}

void UserDefaults::mergeLocked() {
    loadLocked();
    for (const auto& [key, value] : unsaved_) {
        if (value.isNull()) {
            stored_.erase(key);
        } else {
            stored_.insert_or_assign(key, value);
        }
    }
}

bool UserDefaults::persistLocked() {
    if (unsaved_.empty()) return true;
    if (unreadable_) {
        syslog(LOG_WARNING, "Settings not saved to %s: it could not be read, and would lose what it holds",
               path_.c_str());
        return false;
    }
    try {
        files::AtomicFileWriter::removeStaleTemporaries(path_);
        files::AtomicFileWriter writer(path_, 0600);
        writer.write(stringFromData(plist::serialize(Value(stored_), plist::Format::binary)));
        writer.commit();
        unsaved_.clear();
        return true;
    } catch (const Error& e) {
        syslog(LOG_WARNING, "Cannot save settings to %s: %s", path_.c_str(), e.what());
        return false;
    }
}

void UserDefaults::changed() {
    if (center_) center_->post(std::string(didChangeNotification), this);
}

void UserDefaults::registerDefaults(const Dictionary& defaults) {
    std::lock_guard lock(mutex_);
    for (const auto& [k, v] : defaults) {
        if (v.isNull()) continue;
        registered_.insert_or_assign(k, v);
    }
}

Value UserDefaults::objectForKey(std::string_view key) const {
    std::lock_guard lock(mutex_);
    if (auto it = stored_.find(key); it != stored_.end()) return it->second;
    if (auto it = registered_.find(key); it != registered_.end()) return it->second;
    return Value();
}

bool UserDefaults::change(std::string_view key, const Value* value) {
    std::lock_guard lock(mutex_);
    fs::path dir = path_.parent_path();
    try {
        files::createDirectories(dir);
    } catch (const Error& e) {
        syslog(LOG_WARNING, "Cannot create settings folder %s: %s", dir.c_str(), e.what());
    }
    FolderLock folderLock(dir);
    // Only the keys this instance changed go over what the file holds now: what others
    // stored since this one last wrote (or failed to) is kept.
    mergeLocked();
    if (value) {
        stored_.insert_or_assign(std::string(key), *value);
    } else {
        auto it = stored_.find(key);
        if (it == stored_.end()) return false;
        stored_.erase(it);
    }
    unsaved_.insert_or_assign(std::string(key), value ? *value : Value());
    persistLocked();
    return true;
}

void UserDefaults::setObject(const Value& value, std::string_view key) {
    if (value.isNull()) {
        removeObject(key);
        return;
    }
    // Refuse what the store cannot hold before it replaces anything.
    (void)plist::serialize(value, plist::Format::binary);
    if (change(key, &value)) changed();
}

void UserDefaults::removeObject(std::string_view key) {
    if (change(key, nullptr)) changed();
}

bool UserDefaults::boolForKey(std::string_view key) const { return objectForKey(key).boolValue(); }
std::int64_t UserDefaults::integerForKey(std::string_view key) const { return objectForKey(key).integerValue(); }
double UserDefaults::doubleForKey(std::string_view key) const { return objectForKey(key).doubleValue(); }

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
    Value v = objectForKey(key);
    if (auto s = v.asString()) return *s;
    if (v.isInteger()) return fmt::format("{}", *v.asInteger());
    if (v.isReal()) return fmt::format("{}", *v.asDouble());
    if (v.isBool()) return *v.asBool() ? "1" : "0";
    return std::nullopt;
}

std::optional<Data> UserDefaults::dataForKey(std::string_view key) const {
    Value v = objectForKey(key);
    if (auto d = v.asData()) return *d;
    return std::nullopt;
}

std::optional<Array> UserDefaults::arrayForKey(std::string_view key) const {
    Value v = objectForKey(key);
    if (auto a = v.asArray()) return *a;
    return std::nullopt;
}

std::optional<Dictionary> UserDefaults::dictionaryForKey(std::string_view key) const {
    Value v = objectForKey(key);
    if (auto d = v.asDictionary()) return *d;
    return std::nullopt;
}

Dictionary UserDefaults::dictionaryRepresentation() const {
    std::lock_guard lock(mutex_);
    Dictionary out = registered_;
    for (const auto& [k, v] : stored_) out.insert_or_assign(k, v);
    return out;
}

Dictionary UserDefaults::persistentDomain() const {
    std::lock_guard lock(mutex_);
    return stored_;
}

bool UserDefaults::synchronize() {
    std::lock_guard lock(mutex_);
    std::error_code ec;
    fs::create_directories(path_.parent_path(), ec);
    FolderLock folderLock(path_.parent_path());
    mergeLocked();
    return persistLocked();
}

void UserDefaults::discardUnsavedChange(std::string_view key) {
    std::lock_guard lock(mutex_);
    if (auto it = unsaved_.find(key); it != unsaved_.end()) unsaved_.erase(it);
    FolderLock folderLock(path_.parent_path());
    mergeLocked();
}

}  // namespace platform::foundation
