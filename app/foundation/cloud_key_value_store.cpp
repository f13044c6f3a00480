#include "app/foundation/cloud_key_value_store.hpp"

#include "app/foundation/logger.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/plist.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <vector>

namespace gw {

namespace fs = std::filesystem;
namespace pf = platform::foundation;

struct CloudKeyValueStore::State {
    fs::path folder;
    fs::path storePath;
    fs::path lockPath;
    pf::NotificationCenter* center = nullptr;
    Executor deliver;
    const void* sender = nullptr;

    mutable std::mutex mutex;
    pf::Dictionary local;    // what this process sees
    pf::Dictionary server;   // the shared copy as last taken in or written by this process
    pf::Dictionary pending;  // local changes not yet merged; null marks a removal
    bool initialSynced = false;
    std::atomic<bool> reconcileQueued{false};
};

namespace {

// Holds an advisory lock on the store's lock file for the life of the object, so that
// the read-merge-write of one process never interleaves with another's.
class FileLock {
public:
    FileLock(const fs::path& path, int operation) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) return;
        while (::flock(fd_, operation) != 0) {
            if (errno != EINTR) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
        }
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool locked() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A shared copy that is no dictionary of settings is moved aside, kept for a look, and said.
void setAsideDamaged(const fs::path& path, const std::string& why) {
    std::error_code error;
    const auto aside = pf::files::setAsideDamaged(path, error);
    if (error) {
        Logger::log(fmt::format("The shared settings {} cannot be read ({}) nor moved aside: {}", path.string(), why,
                                error.message()));
    } else {
        Logger::log(fmt::format("The shared settings {} cannot be read ({}); moved to {}", path.string(), why,
                                aside.string()));
    }
}

// The shared copy; a missing, unreadable or damaged file counts as empty, so that the
// next write makes a new one instead of failing for ever. A damaged one is set aside
// first; one that cannot be read now (no descriptor left, no permission) stays.
pf::Dictionary readShared(const fs::path& path) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return {};
    try {
        pf::Value value = pf::plist::readFile(path.string());
        if (const auto* dict = value.asDictionary()) return *dict;
        setAsideDamaged(path, "not a dictionary");
    } catch (const pf::Error& error) {
        if (error.domain() != pf::kPosixErrorDomain && error.code() != static_cast<int>(pf::FoundationErrorCode::fileNotFound)) {
            setAsideDamaged(path, error.what());
        }
    } catch (const std::exception&) {
    }
    return {};
}

const pf::Value* find(const pf::Dictionary& dict, const std::string& key) {
    auto it = dict.find(key);
    return it == dict.end() ? nullptr : &it->second;
}

void assign(pf::Dictionary& dict, const std::string& key, const pf::Value* value) {
    if (value) {
        dict[key] = *value;
    } else {
        dict.erase(key);
    }
}

CloudKeyValueStore::Executor mainQueueExecutor() {
    return [](std::function<void()> work) { platform::dispatch::DispatchQueue::main().async(std::move(work)); };
}

// Takes the changes other processes made to the shared copy into the local copy and
// announces them. Keys with local changes not yet merged keep the local value.
void reconcile(const std::shared_ptr<CloudKeyValueStore::State>& state) {
    state->reconcileQueued = false;
    pf::Array changedKeys;
    bool initial = false;
    {
        // The file lock is held until the local state is updated, so that a write of this
        // process cannot slip in between and be mistaken for one made elsewhere.
        FileLock lock(state->lockPath, LOCK_SH);
        const pf::Dictionary current = readShared(state->storePath);
        std::lock_guard guard(state->mutex);
        std::set<std::string> keys;
        for (const auto& [key, value] : current) keys.insert(key);
        for (const auto& [key, value] : state->server) keys.insert(key);
        for (const auto& key : keys) {
            const pf::Value* now = find(current, key);
            const pf::Value* before = find(state->server, key);
            if ((now == nullptr && before == nullptr) || (now && before && *now == *before)) continue;
            assign(state->server, key, now);
            if (state->pending.contains(key)) continue;
            assign(state->local, key, now);
            changedKeys.emplace_back(key);
        }
        initial = !state->initialSynced;
        state->initialSynced = true;
    }
    if (changedKeys.empty() || state->center == nullptr) return;
    const auto reason = initial ? CloudKeyValueStore::ChangeReason::initialSyncChange
                                : CloudKeyValueStore::ChangeReason::serverChange;
    pf::Dictionary userInfo;
    userInfo[std::string(CloudKeyValueStore::changeReasonKey)] = pf::Value(static_cast<std::int64_t>(reason));
    userInfo[std::string(CloudKeyValueStore::changedKeysKey)] = pf::Value(std::move(changedKeys));
    state->center->post(std::string(CloudKeyValueStore::didChangeExternallyNotification), state->sender,
                        pf::Value(std::move(userInfo)));
}

void scheduleReconcile(const std::shared_ptr<CloudKeyValueStore::State>& state) {
    if (state->reconcileQueued.exchange(true)) return;  // one pass sees every earlier write
    std::weak_ptr<CloudKeyValueStore::State> weak = state;
    state->deliver([weak] {
        if (auto strong = weak.lock()) reconcile(strong);
    });
}

bool isWritableFolder(const fs::path& folder) {
    try {
        pf::files::createDirectories(folder);
    } catch (const std::exception&) {
        return false;
    }
    return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

std::optional<fs::path> CloudKeyValueStore::configuredStoreFolder() {
    if (const char* configured = std::getenv(std::string(storeFolderVariable).c_str())) {
        if (*configured == '\0') return std::nullopt;
        return fs::path(configured);
    }
    return pf::files::applicationSupportDirectory(pf::Bundle::main().bundleIdentifier()) / "CloudKeyValueStore";
}

std::unique_ptr<CloudKeyValueStore> CloudKeyValueStore::open(pf::NotificationCenter* center, Executor deliver) {
    auto folder = configuredStoreFolder();
    if (!folder) return nullptr;
    return openAt(*folder, center, std::move(deliver));
}

std::unique_ptr<CloudKeyValueStore> CloudKeyValueStore::openAt(const fs::path& folder, pf::NotificationCenter* center,
                                                               Executor deliver) {
    if (folder.empty() || !isWritableFolder(folder)) return nullptr;

    const int inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd < 0) return nullptr;
    // The shared copy is replaced by rename, so the folder is watched, not the file.
    if (::inotify_add_watch(inotifyFd, folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE) < 0) {
        ::close(inotifyFd);
        return nullptr;
    }
    const int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        ::close(inotifyFd);
        return nullptr;
    }

    auto state = std::make_shared<State>();
    state->folder = folder;
    state->storePath = folder / storeFileName;
    state->lockPath = folder / lockFileName;
    state->center = center;
    state->deliver = deliver ? std::move(deliver) : mainQueueExecutor();
    {
        FileLock lock(state->lockPath, LOCK_SH);
        state->local = readShared(state->storePath);
    }
    std::unique_ptr<CloudKeyValueStore> store(new CloudKeyValueStore(state, inotifyFd, wakeFd));
    state->sender = store.get();
    // The first look at the shared copy announces what other processes stored before.
    scheduleReconcile(state);
    return store;
}

CloudKeyValueStore::CloudKeyValueStore(std::shared_ptr<State> state, int inotifyFd, int wakeFd)
    : state_(std::move(state)), inotifyFd_(inotifyFd), wakeFd_(wakeFd) {
    watcher_ = std::thread([this] { watch(); });
}

CloudKeyValueStore::~CloudKeyValueStore() {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
    if (watcher_.joinable()) watcher_.join();
    ::close(inotifyFd_);
    ::close(wakeFd_);
}

void CloudKeyValueStore::watch() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        bool storeChanged = false;
        for (;;) {
            const ssize_t length = ::read(inotifyFd_, buffer, sizeof buffer);
            if (length <= 0) break;
            for (ssize_t offset = 0; offset < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                if ((event->mask & IN_Q_OVERFLOW) != 0) storeChanged = true;
                if (event->len > 0 && std::string_view(event->name) == storeFileName) storeChanged = true;
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        if (storeChanged) scheduleReconcile(state_);
    }
}

pf::Value CloudKeyValueStore::objectForKey(std::string_view key) const {
    std::lock_guard guard(state_->mutex);
    auto it = state_->local.find(key);
    return it == state_->local.end() ? pf::Value() : it->second;
}

void CloudKeyValueStore::setObject(const pf::Value& value, std::string_view key) {
    std::lock_guard guard(state_->mutex);
    const std::string name(key);
    if (value.isNull()) {
        state_->local.erase(name);
    } else {
        state_->local[name] = value;
    }
    state_->pending[name] = value;
}

void CloudKeyValueStore::removeObject(std::string_view key) { setObject(pf::Value(), key); }

pf::Dictionary CloudKeyValueStore::dictionaryRepresentation() const {
    std::lock_guard guard(state_->mutex);
    return state_->local;
}

bool CloudKeyValueStore::synchronize() {
    pf::Dictionary changes;
    {
        std::lock_guard guard(state_->mutex);
        changes = state_->pending;
    }
    if (changes.empty()) return true;
    try {
        FileLock lock(state_->lockPath, LOCK_EX);
        if (!lock.locked()) return false;
        pf::Dictionary shared = readShared(state_->storePath);
        for (const auto& [key, value] : changes) assign(shared, key, value.isNull() ? nullptr : &value);
        pf::files::writeAtomically(state_->storePath, pf::plist::serialize(pf::Value(shared), pf::plist::Format::xml));

        // Still under the file lock: the change watcher must see these keys as known
        // before it can read the new file.
        std::lock_guard guard(state_->mutex);
        for (const auto& [key, value] : changes) {
            assign(state_->server, key, value.isNull() ? nullptr : &value);
            // A change made while this write was under way stays pending for the next one.
            auto it = state_->pending.find(key);
            if (it != state_->pending.end() && it->second == value) state_->pending.erase(it);
        }
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

const fs::path& CloudKeyValueStore::folder() const { return state_->folder; }

}  // namespace gw
