#include "telemetry/pipeline/rddi_db_storage.hpp"

#include "platform/foundation/files.hpp"
#include "platform/foundation/folder_swap.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_utility.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

namespace rddi {

namespace pf = platform::foundation;

// Connections of this process share one page cache and parsed schema per file, which
// one idle keeper connection per file holds open, so an operation neither reads the
// schema nor warms a cache again. Tables in a shared cache are locked per table and a
// conflict fails at once instead of waiting, so the process's connections to one file
// take turns. The cache is found by the file's name: one keeper for all the stores of
// a file, so that none keeps the cache of a file that name no longer leads to.
struct RDDIDBSharedFile {
    std::recursive_mutex mutex;
    sqlite3* keeper = nullptr;
    std::pair<dev_t, ino_t> identity{};  // of the file the keeper opened
    // Of the write-ahead log and its index the keeper opened; none when not known.
    std::pair<dev_t, ino_t> logIdentity{};
    std::pair<dev_t, ino_t> indexIdentity{};
    int stores = 0;
    // The disk was found full: the reserve is given up and new rows are refused.
    bool diskFull = false;
    // A write was refused because the file or its folder cannot be written; said once.
    bool unwritable = false;
    // The file was found gone and no new one could be made yet; said once.
    bool gone = false;
    // An operation found the file without a table of the schema: it is made anew.
    bool tablesLost = false;
    // The lock on "<file>-lock" that every operation of every process sharing the file
    // holds (FileLock): its descriptor while this process holds it, else -1.
    int fileLock = -1;
    // Another process held the lock past an operation's wait: until the lock is taken
    // again, operations go on without waiting for it (a stopped process may hold it for
    // good, and each would wait its whole time-out).
    bool lockBusy = false;
    // Operations are held back until the holder of the lock lets it go; said once.
    bool heldBack = false;
    // Since when the first opening of the file has left a deleted write-ahead log to the
    // process that still has it open (leaveDeletedLogToItsHolder); said once.
    std::optional<std::chrono::steady_clock::time_point> deletedLogWaitSince;
};

namespace {

RDDIDBSharedFile& sharedFile(const std::filesystem::path& path) {
    // Never destroyed: a store may outlive the statics (a singleton's at exit).
    static auto* guard = new std::mutex;
    static auto* files = new std::map<std::string, RDDIDBSharedFile>;
    std::lock_guard lock(*guard);
    return (*files)[path.string()];
}

}  // namespace

namespace {

// URI file names are switched on for the whole process before any database is
// opened, as SQLite requires of global configuration.
const int globalConfigurationResult = RDDIDBStorage::configureSQLite();
std::once_flag globalConfigurationLogged;

bool isCorruption(int code) { return code == SQLITE_CORRUPT || code == SQLITE_NOTADB; }

// What a file that cannot be written answers: writes are refused (READONLY, PERM), and
// with no write-ahead log left beside it even reads cannot open its index (CANTOPEN).
// The store says so once; each statement only at DEBUG.
bool isUnwritable(int code) { return code == SQLITE_READONLY || code == SQLITE_CANTOPEN || code == SQLITE_PERM; }

std::string percentEncodedPath(const std::string& path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : path) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                           c == '-' || c == '_' || c == '.' || c == '~';
        if (plain) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) out += separator;
        out += parts[i];
    }
    return out;
}

using FileIdentity = std::pair<dev_t, ino_t>;

std::optional<FileIdentity> identityOf(const std::string& path, int* error = nullptr) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        if (error) *error = errno;
        return std::nullopt;
    }
    return FileIdentity(status.st_dev, status.st_ino);
}

// A regular file of this user's with no other name: the only kind the store writes. A
// hard link would write into the file of its other name, and another user's file (in a
// folder shared with them) would be read as this user's and leave this user's logs to them.
bool isOwnFile(const struct stat& status) {
    return S_ISREG(status.st_mode) && status.st_nlink == 1 && status.st_uid == ::geteuid();
}

const char* kindOf(const struct stat& status) {
    const mode_t mode = status.st_mode;
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISREG(mode) && status.st_uid != ::geteuid()) return "a file of another user";
    if (S_ISREG(mode)) return "a file with another name (a hard link)";
    return "a device";
}

// Moves what stands at one of the store's names and is not its own file (a link, a
// folder, a FIFO, a hard link, another user's file) to a free name beside it, with one
// warning: the store's files are never reached through a link, and nothing another
// program put there is lost. False when it could not be moved (a folder that cannot be
// written).
bool setAside(const std::string& path, const struct stat& status) {
    std::error_code error;
    const auto aside = pf::files::setAsideDamaged(path, error, ".aside");
    if (!aside.empty()) {
        RDDILogWarning(kRDDILogTag, "\"{}\" was {}, not a file of the log store; it was moved to \"{}\".", path,
                       kindOf(status), aside.string());
        return true;
    }
    if (error == std::errc::no_such_file_or_directory) return true;  // gone meanwhile
    RDDILogWarning(kRDDILogTag, "\"{}\" is {}, not a file of the log store, and could not be moved aside: {}.", path,
                   kindOf(status), error.message());
    errno = error.value();
    return false;
}

// lstat of one of the store's names once whatever stands there and is not the store's own
// file was set aside: 0 for its file, else -1 with errno (ENOENT when nothing is left
// there, EEXIST when what is there could not be set aside).
int lookAtStoreName(const std::string& path, struct stat& status) {
    if (::lstat(path.c_str(), &status) != 0) return -1;
    if (isOwnFile(status)) return 0;
    if (setAside(path, status) && ::lstat(path.c_str(), &status) != 0) return -1;
    if (isOwnFile(status)) return 0;
    errno = EEXIST;
    return -1;
}

// The names SQLite opens beside the file in the modes the store sets: the write-ahead log
// and its index, and the rollback journal, which every new connection looks for (a hot
// journal left by a crash) before it reads, and which the file's first configuration
// writes before the file is switched to a write-ahead log.
constexpr const char* kNamesBeside[] = {"-wal", "-shm", "-journal"};

// SQLite makes the files at those names itself, opening (and waiting on) and writing into
// whatever their names lead to: what stands there and is not the store's own goes first.
// False when something could not be set aside.
bool lookAtLogNames(const std::string& path) {
    for (const char* suffix : kNamesBeside) {
        struct stat status {};
        const int looked = lookAtStoreName(path + suffix, status);
        if (looked != 0 && errno == EEXIST) return false;
        if (looked == 0 && (status.st_mode & 077) != 0) ::chmod((path + suffix).c_str(), status.st_mode & 0700);
    }
    return true;
}

// Whether the file at path begins as an SQLite database does; never a FIFO waited on.
bool beginsAsDatabase(const std::string& path) {
    const int file = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) return false;
    static constexpr char kHeader[] = "SQLite format 3";  // with its NUL, 16 bytes
    char header[sizeof kHeader] = {};
    const bool database = ::pread(file, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
                          std::memcmp(header, kHeader, sizeof header) == 0;
    ::close(file);
    return database;
}

// Why the database file at path, `size` bytes long, is shorter than the database it holds;
// empty when it is not. SQLite writes whole pages, and the header says how many the file
// holds (when the counters beside that number agree; a log beside the file may still hold
// pages the file is yet to get): a copy that stopped, or a tool that cut the file, leaves a
// part of a page or fewer pages. SQLite itself reads the missing bytes as zeros, and takes a
// page cut inside its cells for a sound one.
std::string cutShort(const std::string& path, std::uint64_t size, bool logBeside) {
    const int file = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) return {};
    unsigned char header[100] = {};
    const bool read = ::pread(file, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
    ::close(file);
    if (!read) return {};
    const auto bigEndian = [&](std::size_t at, std::size_t bytes) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i) value = value << 8 | header[at + i];
        return value;
    };
    const std::uint64_t pageSize = bigEndian(16, 2) == 1 ? 65536 : bigEndian(16, 2);
    if (pageSize < 512) return {};
    if (size % pageSize != 0) return fmt::format("it is cut short inside a page, at {} bytes", size);
    const std::uint64_t pages = bigEndian(28, 4);
    const bool counted = pages != 0 && bigEndian(24, 4) == bigEndian(92, 4);
    if (!logBeside && counted && pages * pageSize > size)
        return fmt::format("it is cut short, at {} of its {} bytes", size, pages * pageSize);
    return {};
}

// The store's files are the user's own business: a file an earlier version made open to
// others is closed to them.
void closeToOthers(int fd, const struct stat& status) {
    if ((status.st_mode & 077) != 0) ::fchmod(fd, status.st_mode & 0700);
}

// Opens one of the store's own files with `access` (O_RDWR, O_WRONLY, O_RDONLY), making
// it with `mode` when it is missing. Never through a link, and never anything but a
// regular file: what else stands at the name is set aside first. -1 (errno set) when it
// cannot be opened, or made.
int openStoreFile(const std::string& path, int access, mode_t mode) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        struct stat status {};
        if (lookAtStoreName(path, status) != 0 && errno == EEXIST) return -1;
        int fd = ::open(path.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            fd = ::open(path.c_str(), access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            if (fd < 0 && errno == EEXIST) continue;  // made meanwhile by another process
        }
        if (fd < 0) {
            // Put in place between the look and the open: looked at again.
            if (errno == ELOOP || errno == EISDIR || errno == ENXIO) continue;
            return -1;
        }
        if (::fstat(fd, &status) == 0 && isOwnFile(status)) {
            closeToOthers(fd, status);
            return fd;
        }
        ::close(fd);
    }
    errno = ELOOP;
    return -1;
}

}  // namespace

RDDIDBStorage::RDDIDBStorage(std::optional<RDDIDBSchema> schema, std::uint64_t version, const std::string& filename)
    : RDDIDBStorage(DeferConfiguration{}, std::move(schema), version, filename) {
    configureStorage();
}

RDDIDBStorage::RDDIDBStorage(DeferConfiguration, std::optional<RDDIDBSchema> schema, std::uint64_t version,
                             const std::string& filename)
    : schema_(std::move(schema)), version_(version), filename_(filename) {
    dbFilePath_ = RDDIUtility::dezIdedevDirectoryURL() / filename_;
    shared_ = &sharedFile(dbFilePath_);
    std::lock_guard lock(shared_->mutex);
    ++shared_->stores;
}

// Held by every operation on the file, by every process sharing it, and while the file
// is configured or replaced. A process that finds the write-ahead log or its index
// deleted or replaced writes the log back into the file before any process begins a
// new one: two processes writing through logs of their own, each unaware of the other's,
// damage the file (SQLite's own locks live in the index, which then differs). And a
// process starting while another made the file would take its still empty file for the
// remains of an interrupted first configuration and delete it. An operation waits for
// the lock as long as for SQLite's own and then goes on without it (a process stopped
// while holding it must not stop the others for good), but never acts on a replaced log,
// begins a log or makes the file without it: then it is held back (kHeldByAnotherProcess)
// and tried again later, never waited for without end on the logs queue. (Only a process
// that ends writes its deleted log back without it, under SQLite's exclusive lock on the
// file: writeBackDeletedLogAtExit.) Taken under the shared mutex; a scope inside one that
// holds it takes nothing.
class RDDIDBStorage::FileLock {
public:
    enum class Wait {
        none,         // taken only if free now
        busyTimeout,  // as long as SQLite waits for its own locks
        untilHeld,    // as long as it takes
    };
    FileLock(RDDIDBStorage& storage, Wait wait) : storage_(storage), shared_(*storage.shared_) {
        if (shared_.fileLock < 0) take(wait);
    }
    ~FileLock() {
        if (!took_) return;
        ::close(shared_.fileLock);  // and with it the lock
        shared_.fileLock = -1;
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // This process holds the lock (through this scope or one around it).
    bool held() const { return shared_.fileLock >= 0; }
    // Another process held it for longer than this scope waited.
    bool busy() const { return !held() && busy_; }

private:
    void take(Wait wait) {
        const int fd = storage_.openLockFile();
        if (fd < 0) return;
        const int milliseconds = wait == Wait::busyTimeout && !shared_.lockBusy ? kBusyTimeoutMilliseconds : 0;
        const bool locked = wait == Wait::untilHeld ? lockNow(fd) : lockWithin(fd, milliseconds);
        if (!locked) {
            if (busy_ && wait == Wait::busyTimeout) shared_.lockBusy = true;
            ::close(fd);
            return;
        }
        shared_.fileLock = fd;
        shared_.lockBusy = false;
        took_ = true;
        busy_ = false;
    }
    static bool lockNow(int fd) {
        while (::flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) return false;
        }
        return true;
    }
    bool lockWithin(int fd, int milliseconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        auto pause = std::chrono::microseconds(20);
        for (;;) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
            if (errno == EINTR) continue;
            busy_ = errno == EWOULDBLOCK;
            if (!busy_ || std::chrono::steady_clock::now() >= deadline) {
                RDDILogDebug(kRDDILogTag, "The log store's lock could not be taken: {}.", std::strerror(errno));
                return false;
            }
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::microseconds(1000));
        }
    }

    RDDIDBStorage& storage_;
    RDDIDBSharedFile& shared_;
    bool took_ = false;
    bool busy_ = false;
};

int RDDIDBStorage::openLockFile() const {
    if (RDDIUtility::folderOfAnotherUser(dbFilePath_.parent_path())) {
        errno = EPERM;
        return -1;
    }
    const auto path = dbFilePath_.string() + "-lock";
    const int fd = openStoreFile(path, O_RDWR, 0600);
    if (fd >= 0 || (errno != EACCES && errno != EPERM && errno != EROFS)) return fd;
    // A read-only folder or file: a lock needs no writing.
    return openStoreFile(path, O_RDONLY, 0600);
}

RDDIDBStorage::~RDDIDBStorage() {
    std::lock_guard lock(shared_->mutex);
    if (--shared_->stores > 0) return;
    // A log deleted or replaced since the last operation is written back before the
    // keeper goes, and a copy put under its name by hand is not left to the next opening.
    if (shared_->keeper && identityOf(dbFilePath_.string()) == shared_->identity && logIsReplaced()) {
        // Never without the lock while another process holds it: that one may be writing
        // a new log the names lead to. Not waited for beyond SQLite's time-out either; the
        // next store of the file to take the lock writes the log back.
        FileLock closing(*this, FileLock::Wait::busyTimeout);
        if (!closing.busy()) followReplacedLog();
    }
    closeKeeper();
}

void RDDIDBStorage::configureStorage() {
    std::call_once(globalConfigurationLogged, [] {
        if (globalConfigurationResult == SQLITE_OK) {
            RDDILogDebug(kRDDILogTag, "SQLite global configuration successfully updated.");
        } else {
            RDDILogError(kRDDILogTag, "Failed to update SQLite global configuration. Error: {}.",
                         sqlite3_errstr(globalConfigurationResult));
        }
    });
    std::lock_guard lock(shared_->mutex);
    FileLock configuring(*this, FileLock::Wait::none);
    if (configuring.busy()) {
        // Another process holds the lock, for good if it is stopped (Ctrl-Z, a debugger):
        // making the store must not wait for it. The first operation opens the file, on
        // the thread that runs it (the logs queue).
        configurationDeferred_ = true;
        RDDILogDebug(kRDDILogTag, "The log store \"{}\" is locked by another process; it is opened by its first "
                     "operation.", dbFilePath_.string());
        return;
    }
    // Nor may it wait for another process to write back a deleted log: the first
    // operation waits, held back.
    if (leaveDeletedLogToItsHolder() != SQLITE_OK) {
        configurationDeferred_ = true;
        return;
    }
    configureHoldingLock();
}

int RDDIDBStorage::ensureConfigured() {
    if (!configurationDeferred_) return SQLITE_OK;
    FileLock configuring(*this, FileLock::Wait::busyTimeout);
    if (configuring.busy()) {
        // A file another process is making must not be taken for the remains of an
        // interrupted first one, and no log may be begun beside one the holder may write:
        // without the lock, only a made file with the log its holder recorded is opened.
        struct stat status {};
        const bool made = ::lstat(dbFilePath_.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0;
        if (!made || !logNamesRecorded()) return holdBack();
    } else if (const int left = leaveDeletedLogToItsHolder(); left != SQLITE_OK) {
        return left;
    }
    configurationDeferred_ = false;
    configureHoldingLock();
    return SQLITE_OK;
}

void RDDIDBStorage::configureHoldingLock() {
    int code = configureDatabase();
    // A file that cannot be read, or only in part, is kept beside a new one, which gets what
    // can still be read: never deleted unread. Only the empty file an interrupted first
    // configuration leaves goes without a word.
    if (isCorruption(code) && !unreadable_.empty() && recoverDamagedDatabase(std::string(unreadable_), {})) {
        code = SQLITE_OK;
    }
    if (isCorruption(code)) {
        dropDatabase();
        code = configureDatabase();
    }
    // A file that cannot be written is said once, in the store's own words.
    if (code != SQLITE_OK && !noteUnwritable(code)) RDDILogError(kRDDILogTag, "Failed to initialize database.");
    didConfigure();
}

std::filesystem::path RDDIDBStorage::reservePath() const { return dbFilePath_.string() + "-reserve"; }

std::filesystem::path RDDIDBStorage::damagedPath() const { return dbFilePath_.string() + ".corrupt"; }

std::string RDDIDBStorage::dbFileURL() const {
    // The folder's own path, links in it resolved: the file is opened without following a
    // link at its own name, and SQLite refuses a path with a link anywhere in it.
    std::string path = dbFilePath_.string();
    if (char* folder = ::realpath(dbFilePath_.parent_path().c_str(), nullptr)) {
        path = (std::filesystem::path(folder) / dbFilePath_.filename()).string();
        std::free(folder);
    }
    return "file://" + percentEncodedPath(path);
}

bool RDDIDBStorage::logIsReplaced() const {
    for (const auto& [suffix, identity] : {std::pair{"-wal", shared_->logIdentity}, std::pair{"-shm", shared_->indexIdentity}}) {
        if (identity == FileIdentity{}) continue;
        int error = 0;
        const auto now = identityOf(dbFilePath_.string() + suffix, &error);
        // Only a name that leads nowhere or elsewhere: a folder that cannot be looked into
        // (no permission) says nothing of its files.
        if (now ? *now != identity : error == ENOENT || error == ENOTDIR) return true;
    }
    return false;
}

void RDDIDBStorage::closeKeeper() {
    if (!shared_->keeper) return;
    // The last connection to close deletes the log and its index by name. Names that no
    // longer lead to the keeper's files may lead to another file's, which must stay; and
    // its log must not be copied into the file on the way out, where it may be stale.
    const auto file = identityOf(dbFilePath_.string());
    if (!file || *file != shared_->identity || logIsReplaced()) {
        int persist = 1;
        sqlite3_file_control(shared_->keeper, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
        sqlite3_db_config(shared_->keeper, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    }
    closeDatabase(shared_->keeper);
    shared_->keeper = nullptr;
}

namespace {

// What "<file>-lock" holds: the write-ahead log and index that the stores sharing the
// file opened last, so that a process finding another log under the name can tell a
// log another store began from a file put there by hand.
struct LogRecord {
    std::uint64_t logDevice = 0, logInode = 0, indexDevice = 0, indexInode = 0;
    bool names(const std::optional<FileIdentity>& log, const std::optional<FileIdentity>& index) const {
        return log && index && logDevice == static_cast<std::uint64_t>(log->first) &&
               logInode == static_cast<std::uint64_t>(log->second) &&
               indexDevice == static_cast<std::uint64_t>(index->first) &&
               indexInode == static_cast<std::uint64_t>(index->second);
    }
};

// When a log was made, as the file system keeps it, written after the record: a copy put
// under the log's name just after the log was deleted can take its inode number (ext4 hands
// a freed one out again at once), never its birth. Valid only for the log the record names.
struct LogBirth {
    std::uint64_t device = 0, inode = 0;
    std::int64_t seconds = 0;
    std::uint64_t nanoseconds = 0;
};

std::optional<LogBirth> birthOf(const std::string& path) {
    struct statx status {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME, &status) != 0 ||
        (status.stx_mask & STATX_BTIME) == 0) {
        return std::nullopt;
    }
    return LogBirth{makedev(status.stx_dev_major, status.stx_dev_minor), status.stx_ino, status.stx_btime.tv_sec,
                    status.stx_btime.tv_nsec};
}

// Whether the log now at `path`, of the inode the lock file's record names, is another file
// born since, as the birth kept after the record says.
bool bornSince(int lockFile, const std::string& path) {
    LogBirth recorded;
    const auto now = birthOf(path);
    return lockFile >= 0 && now &&
           ::pread(lockFile, &recorded, sizeof recorded, sizeof(LogRecord)) == static_cast<ssize_t>(sizeof recorded) &&
           recorded.device == now->device && recorded.inode == now->inode && recorded.seconds != 0 &&
           (recorded.seconds != now->seconds || recorded.nanoseconds != now->nanoseconds);
}

}  // namespace

void RDDIDBStorage::openKeeper() {
    if (shared_->keeper) return;
    int code = SQLITE_OK;
    sqlite3* keeper = openDatabaseAtFileURL(dbFileURL(), &code);
    if (!keeper) return;
    // Reading once makes the keeper hold the write-ahead log and its shared-memory index open.
    querySingleValue("PRAGMA user_version", keeper);
    shared_->keeper = keeper;
    shared_->identity = identityOf(dbFilePath_.string()).value_or(FileIdentity{});
    shared_->logIdentity = identityOf(dbFilePath_.string() + "-wal").value_or(FileIdentity{});
    shared_->indexIdentity = identityOf(dbFilePath_.string() + "-shm").value_or(FileIdentity{});
    if (shared_->fileLock >= 0 && shared_->logIdentity != FileIdentity{} && shared_->indexIdentity != FileIdentity{}) {
        const LogRecord record{static_cast<std::uint64_t>(shared_->logIdentity.first),
                               static_cast<std::uint64_t>(shared_->logIdentity.second),
                               static_cast<std::uint64_t>(shared_->indexIdentity.first),
                               static_cast<std::uint64_t>(shared_->indexIdentity.second)};
        const LogBirth birth = birthOf(dbFilePath_.string() + "-wal").value_or(LogBirth{});
        if (::pwrite(shared_->fileLock, &record, sizeof record, 0) != static_cast<ssize_t>(sizeof record) ||
            ::pwrite(shared_->fileLock, &birth, sizeof birth, sizeof record) != static_cast<ssize_t>(sizeof birth)) {
            RDDILogDebug(kRDDILogTag, "The log store's lock file could not be written: {}.", std::strerror(errno));
        }
    }
}

void RDDIDBStorage::followReplacedLog() {
    const std::string path = dbFilePath_.string();
    const auto log = identityOf(path + "-wal");
    const auto index = identityOf(path + "-shm");
    LogRecord record;
    const bool recorded = shared_->fileLock >= 0 &&
                          ::pread(shared_->fileLock, &record, sizeof record, 0) == static_cast<ssize_t>(sizeof record);
    const bool logIsOurs = log && *log == shared_->logIdentity;
    const bool indexIsOurs = index && *index == shared_->indexIdentity;
    // Another store sharing the file met the change first (every operation holds the
    // file's lock and looks first): it wrote this log back before it began the one the
    // names lead to now, or rebuilt its index from this very log. Copying this log into
    // the file now could put stale pages over newer ones.
    if (recorded && record.names(log, index)) {
        closeKeeper();
        RDDILogInfo(kRDDILogTag,
                    "The write-ahead log of the log store \"{}\" was begun anew by another process sharing it; this "
                    "one follows it.",
                    path);
        return;
    }
    // The first to see it: the process's connections share the keeper's log and index,
    // and would go on writing to them while no later opening reads them (the next launch
    // would find rows sent since, and lose rows stored since). What the log holds goes
    // into the file now.
    const int code = sqlite3_wal_checkpoint_v2(shared_->keeper, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    std::string notWritten;
    if (code != SQLITE_OK) {
        // The file with what the log holds, copied whole and put in its place, as for a
        // file that is gone: other processes follow the new file.
        notWritten = sqlite3_errstr(code);
        const std::filesystem::path copy = path + ".new";
        std::uint64_t rows = 0;
        std::string why;
        FileLock replacing(*this, FileLock::Wait::untilHeld);
        std::error_code error;
        if (copyKeptFile(copy, &rows, &why)) {
            // The copy needs no log: none of the old file's may ever meet it.
            for (const char* suffix : kNamesBeside) std::filesystem::remove(path + suffix, error);
            std::filesystem::rename(copy, dbFilePath_, error);
            if (error) {
                why = error.message();
                std::filesystem::remove(copy, error);
            } else {
                notWritten.clear();
            }
        }
        if (!notWritten.empty()) notWritten += "; " + why;
    }
    closeKeeper();
    // Names leading to files no store of the file opened (an older copy of the log put
    // back by hand) would be read as this file's log by the next connection: its pages
    // would go over newer ones.
    std::error_code error;
    if (log && !logIsOurs) std::filesystem::remove(path + "-wal", error);
    if (index && !indexIsOurs) std::filesystem::remove(path + "-shm", error);
    if (notWritten.empty()) {
        RDDILogError(kRDDILogTag,
                     "The write-ahead log of the log store \"{}\" was deleted or replaced while in use; what it held "
                     "was written into the store and a new log was begun.",
                     path);
    } else {
        RDDILogError(kRDDILogTag,
                     "The write-ahead log of the log store \"{}\" was deleted or replaced while in use, and what it "
                     "held could not be written into the store ({}): logs stored or sent since its last checkpoint may "
                     "be lost or sent again.",
                     path, notWritten);
    }
}

namespace {

// The log a holder of the file's lock began last, as "<file>-lock" records it.
std::optional<LogRecord> recordedLog(const std::string& file, int heldLock) {
    LogRecord record;
    int fd = heldLock;
    if (fd < 0) fd = openStoreFile(file + "-lock", O_RDONLY, 0600);
    const bool read = fd >= 0 && ::pread(fd, &record, sizeof record, 0) == static_cast<ssize_t>(sizeof record);
    if (fd >= 0 && fd != heldLock) ::close(fd);
    if (!read) return std::nullopt;
    return record;
}

// Where SQLite keeps a lock on the file for each connection that has it open: one that
// works through a write-ahead log holds it until it closes.
constexpr unsigned long long kSQLiteSharedByte = 0x40000002;

// Whether a process other than this one has the file open through SQLite, as the
// system's table of locks shows ("1: POSIX  ADVISORY  READ 1234 fe:00:5678 1073741826
// 1073742335"; a request waiting for a lock is shown with "->" and holds nothing).
bool openedByAnotherProcess(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return false;
    std::ifstream locks("/proc/locks");
    const long self = ::getpid();
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, kind, advisory, access, device, first, last;
        long owner = 0;
        if (!(fields >> number >> kind >> advisory >> access >> owner >> device >> first >> last)) continue;
        if (kind != "POSIX" || owner == self) continue;
        unsigned deviceMajor = 0, deviceMinor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(device.c_str(), "%x:%x:%llu", &deviceMajor, &deviceMinor, &inode) != 3) continue;
        if (inode != status.st_ino || deviceMajor != major(status.st_dev) || deviceMinor != minor(status.st_dev)) continue;
        const unsigned long long from = std::strtoull(first.c_str(), nullptr, 10);
        const bool toEnd = last == "EOF";
        if (from <= kSQLiteSharedByte && (toEnd || std::strtoull(last.c_str(), nullptr, 10) >= kSQLiteSharedByte))
            return true;
    }
    return false;
}

}  // namespace

bool RDDIDBStorage::logNamesRecorded() const {
    const auto record = recordedLog(dbFilePath_.string(), shared_->fileLock);
    return record && record->names(identityOf(dbFilePath_.string() + "-wal"), identityOf(dbFilePath_.string() + "-shm"));
}

int RDDIDBStorage::leaveDeletedLogToItsHolder() {
    const std::string path = dbFilePath_.string();
    // A process with a connection to a file whose log has no name any more opened it
    // before it was deleted: any opening since would have begun one under the name.
    const bool deletedLogOpen = !shared_->keeper && (!identityOf(path + "-wal") || !identityOf(path + "-shm")) &&
                                openedByAnotherProcess(path);
    if (!deletedLogOpen) {
        shared_->deletedLogWaitSince.reset();
        return SQLITE_OK;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!shared_->deletedLogWaitSince) {
        shared_->deletedLogWaitSince = now;
        RDDILogWarning(kRDDILogTag,
                       "The write-ahead log of the log store \"{}\" was deleted while another process still has it "
                       "open; this one leaves the store to it for at most {} s, to write the log back.",
                       path, std::chrono::duration_cast<std::chrono::seconds>(kDeletedLogWait).count());
    }
    // An idle process does not write it back: then what only its log holds is lost, as
    // with a process that ends before it takes the lock.
    return now - *shared_->deletedLogWaitSince < kDeletedLogWait ? kHeldByAnotherProcess : SQLITE_OK;
}

bool RDDIDBStorage::writeBackDeletedLogAtExit(const std::function<int(sqlite3*)>& pending) {
    std::lock_guard lock(shared_->mutex);
    sqlite3* keeper = shared_->keeper;
    if (!keeper || !logIsReplaced()) return false;
    const std::string path = dbFilePath_.string();
    const auto run = [keeper](const char* statement) { return sqlite3_exec(keeper, statement, nullptr, nullptr, nullptr); };
    // The log goes with this process: what it stored and deleted since the file's last
    // checkpoint would be lost, and the logs it sent and deleted sent again from the file.
    // The exit waits for nothing.
    sqlite3_busy_timeout(keeper, 0);
    // Into the log first: another process that has it open writes that back with the rest.
    if (run("BEGIN IMMEDIATE") == SQLITE_OK) run(!pending || pending(keeper) == SQLITE_OK ? "COMMIT" : "ROLLBACK");
    // SQLite's exclusive lock on the file, which a process only gets while no other has a
    // connection to it (each holds a shared lock as long as it has the file open), keeps
    // every other process out while the log is written into the file. Without the
    // store's lock, only this one log, still the one last begun beside this very file.
    bool exclusive = run("PRAGMA locking_mode = EXCLUSIVE") == SQLITE_OK && run("BEGIN IMMEDIATE") == SQLITE_OK;
    bool unchanged = false;
    if (exclusive) {
        const auto record = recordedLog(path, shared_->fileLock);
        unchanged = identityOf(path) == shared_->identity && !identityOf(path + "-wal") && !identityOf(path + "-shm") &&
                    record && record->names(shared_->logIdentity, shared_->indexIdentity);
        run("COMMIT");
    }
    const bool written =
        unchanged && sqlite3_wal_checkpoint_v2(keeper, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr) == SQLITE_OK;
    closeKeeper();
    if (written) {
        RDDILogError(kRDDILogTag,
                     "The write-ahead log of the log store \"{}\" was deleted or replaced while another process held "
                     "the store's lock; what it held was written into the store as this process ended.",
                     path);
    } else if (exclusive) {
        RDDILogError(kRDDILogTag,
                     "The write-ahead log of the log store \"{}\" was deleted or replaced while another process held "
                     "the store's lock, and another log or file was begun since: what it held could not be written "
                     "into the store, and logs stored or sent since its last checkpoint may be lost or sent again.",
                     path);
    } else {
        RDDILogDebug(kRDDILogTag,
                     "The deleted write-ahead log of the log store \"{}\" is left to another process that has the "
                     "file open.",
                     path);
    }
    return written;
}

bool RDDIDBStorage::setAsideLogOfAnotherStore() {
    const std::string path = dbFilePath_.string();
    const std::string logPath = path + "-wal";
    struct stat log {};
    if (shared_->keeper || ::lstat(logPath.c_str(), &log) != 0 || log.st_size == 0) return true;
    const auto record = recordedLog(path, shared_->fileLock);
    // Without a record (a lock file made anew) no log can be told apart from the one a
    // killed process left.
    if (!record || (record->logDevice == 0 && record->logInode == 0)) return true;
    if (record->logDevice == static_cast<std::uint64_t>(log.st_dev) &&
        record->logInode == static_cast<std::uint64_t>(log.st_ino)) {
        const int lockFile = shared_->fileLock >= 0 ? shared_->fileLock : openStoreFile(path + "-lock", O_RDONLY, 0600);
        const bool other = bornSince(lockFile, logPath);
        if (lockFile >= 0 && lockFile != shared_->fileLock) ::close(lockFile);
        if (!other) return true;
    }
    // A process that has the file open works through the log beside it.
    if (openedByAnotherProcess(path)) return true;
    std::error_code error;
    const auto aside = pf::files::setAsideDamaged(logPath, error, ".aside");
    if (aside.empty() && error != std::errc::no_such_file_or_directory) {
        RDDILogError(kRDDILogTag,
                     "The write-ahead log \"{}\" was not begun by any store of the file, and could not be moved aside "
                     "({}): the store is not opened while it is there.",
                     logPath, error.message());
        return false;
    }
    std::filesystem::remove(path + "-shm", error);  // its index, made anew from the next log
    if (!aside.empty()) {
        RDDILogError(kRDDILogTag,
                     "The write-ahead log \"{}\" was not begun by any store of the file (another store's log, or a "
                     "copy put back): it was moved to \"{}\" unread.",
                     logPath, aside.string());
    }
    return true;
}

int RDDIDBStorage::holdBack() {
    if (!shared_->heldBack) {
        shared_->heldBack = true;
        RDDILogWarning(kRDDILogTag,
                       "The write-ahead log of the log store \"{}\" was deleted or replaced while another process "
                       "holds the store's lock; its operations wait until that process lets it go.",
                       dbFilePath_.string());
    }
    return kHeldByAnotherProcess;
}

int RDDIDBStorage::followFile(FileLock& operating) {
    // Nothing is looked at, made or moved in a folder of another user's.
    if (RDDIUtility::folderOfAnotherUser(dbFilePath_.parent_path())) return SQLITE_CANTOPEN;
    struct stat status {};
    // Something else at the name (a link, a folder) is never opened: moved aside, it
    // leaves the file gone, and a new one is made.
    if (lookAtStoreName(dbFilePath_.string(), status) != 0) {
        if (errno == EEXIST) return SQLITE_CANTOPEN;
        // Deleted, or its folder removed: a connection opened now would make an empty file
        // without tables, and every later log would be lost. Anything else (no permission
        // to look) is left to the operation to meet. Made only under the lock.
        if (errno == ENOENT || errno == ENOTDIR) return operating.busy() ? holdBack() : remakeFile(true);
        return SQLITE_OK;
    }
    shared_->gone = false;
    if (!lookAtLogNames(dbFilePath_.string())) return SQLITE_CANTOPEN;
    // When the name leads to another file because it was replaced, by another process's
    // recovery or new file for instance, connections must reach that file, not the cache
    // of the old one.
    if (shared_->keeper && std::pair(status.st_dev, status.st_ino) != shared_->identity) closeKeeper();
    if (shared_->tablesLost) return operating.busy() ? holdBack() : remakeFile(false);
    if (operating.busy()) {
        // Without the lock, only a log a holder of the lock began is read or written: any
        // other may be written back by the holder, or begun anew beside the one it writes,
        // unseen. A log of the keeper's own replaced by one the holder began is followed.
        if (shared_->keeper && logIsReplaced()) {
            if (!logNamesRecorded()) return holdBack();
            closeKeeper();
            RDDILogInfo(kRDDILogTag,
                        "The write-ahead log of the log store \"{}\" was begun anew by another process sharing it; "
                        "this one follows it.",
                        dbFilePath_.string());
        } else if (!shared_->keeper && !logNamesRecorded()) {
            return holdBack();
        }
    } else if (shared_->keeper && logIsReplaced()) {
        followReplacedLog();
    }
    if (shared_->heldBack) {
        shared_->heldBack = false;
        RDDILogInfo(kRDDILogTag, "The log store \"{}\" can be reached again.", dbFilePath_.string());
    }
    return SQLITE_OK;
}

namespace {

// The AUTOINCREMENT sequences of an open file; none when it has none or cannot be read.
std::map<std::string, std::int64_t> sequencesOf(sqlite3* database) {
    std::map<std::string, std::int64_t> sequences;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(database, "SELECT name, seq FROM sqlite_sequence", -1, &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
            if (name) sequences[name] = sqlite3_column_int64(statement, 1);
        }
    }
    sqlite3_finalize(statement);
    return sequences;
}

}  // namespace

bool RDDIDBStorage::copyKeptFile(const std::filesystem::path& copy, std::uint64_t* rows, std::string* why) {
    sqlite3* keeper = shared_->keeper;
    *rows = 0;
    for (const auto& [table, unused] : schema_.value_or(RDDIDBSchema{})) {
        *rows += static_cast<std::uint64_t>(querySingleValue(fmt::format("SELECT COUNT(*) FROM \"{}\"", table), keeper));
    }
    std::error_code error;
    std::filesystem::remove(copy, error);  // left by a process that ended while copying
    // A cache of its own: the copy must not meet the keeper's, found by name.
    const auto statement =
        fmt::format("VACUUM INTO 'file://{}?cache=private'", percentEncodedPath(copy.string()));
    char* message = nullptr;
    const int code = sqlite3_exec(keeper, statement.c_str(), nullptr, nullptr, &message);
    if (code != SQLITE_OK) {
        *why = message ? message : sqlite3_errstr(code);
        sqlite3_free(message);
        std::filesystem::remove(copy, error);
        return false;
    }
    return true;
}

int RDDIDBStorage::remakeFile(bool fileIsGone) {
    // Ids the old file handed out, to this process or another, stay below every id of
    // the new one: a batch in flight deletes its rows by id once it is delivered. The
    // keeper still holds the old file open.
    auto floors = heldRowIdFloors();
    if (shared_->keeper) {
        for (const auto& [table, sequence] : sequencesOf(shared_->keeper)) {
            floors[table] = std::max(floors[table], sequence);
        }
    }
    // A file that is gone stays open in the keeper until its rows can go into a new one.
    if (!fileIsGone) closeKeeper();
    shared_->tablesLost = false;
    const auto folder = dbFilePath_.parent_path();
    // The SDK's folder and the application's folder holding it are made again, never the
    // data home above them: one that is gone is no deletion of the SDK's records but a
    // disk that is not mounted, or a home that was only lent.
    const auto dataHome = folder.parent_path().parent_path();
    std::string why;
    std::error_code error;
    if (!std::filesystem::is_directory(dataHome, error)) {
        why = fmt::format("{}: {}", dataHome.string(), std::strerror(ENOENT));
    } else if (!std::filesystem::is_directory(folder, error)) {
        // Quietly: a folder that cannot be made is said once, below.
        std::filesystem::create_directories(folder, error);
        if (error) {
            why = fmt::format("{}: {}", folder.string(), error.message());
        } else {
            ::chmod(folder.c_str(), 0700);  // the SDK's records are the user's own business
        }
    }
    if (why.empty() && ::access(folder.c_str(), W_OK | X_OK) != 0) {
        why = fmt::format("{}: {}", folder.string(), std::strerror(errno));
    }
    const auto removeFile = [&] {
        std::error_code ignored;
        std::filesystem::remove(dbFilePath_, ignored);
        for (const char* suffix : kNamesBeside) std::filesystem::remove(dbFilePath_.string() + suffix, ignored);
    };
    int code = SQLITE_CANTOPEN;
    bool made = false;
    // The rows the vanished file held and the new one got, or why it got none.
    bool carried = false;
    std::uint64_t carriedRows = 0;
    std::string notCarried;
    if (why.empty()) {
        FileLock making(*this, FileLock::Wait::untilHeld);
        // Another process sharing the folder may have made or mended it meanwhile.
        const bool exists = std::filesystem::exists(dbFilePath_, error);
        if (fileIsGone && !exists && shared_->keeper) {
            // Copied whole beside it and put in place at once: another process must never
            // find a file that is still being written.
            const std::filesystem::path copy = dbFilePath_.string() + ".new";
            carried = copyKeptFile(copy, &carriedRows, &notCarried);
            closeKeeper();
            removeFile();
            if (carried) {
                std::filesystem::rename(copy, dbFilePath_, error);
                if (error) {
                    notCarried = error.message();
                    carried = false;
                    std::filesystem::remove(copy, error);
                }
            }
        }
        closeKeeper();
        bool replace = !exists;
        if (exists && !fileIsGone) {
            int openCode = SQLITE_OK;
            if (sqlite3* db = openDatabaseAtFileURL(dbFileURL(), &openCode)) {
                for (const auto& [table, unused] : schema_.value_or(RDDIDBSchema{})) {
                    int result = SQLITE_OK;
                    if (!tableExists(table, db, &result) && result == SQLITE_OK) replace = true;
                }
                closeDatabase(db);
            }
        }
        if (replace && !carried) {
            // A log left beside a vanished file must never be applied to the new one.
            removeFile();
        }
        made = replace;
        code = configureDatabase();
        if (isCorruption(code)) {
            removeFile();
            made = true;
            carried = false;
            code = configureDatabase();
        }
        if (code == SQLITE_OK && made && !floors.empty()) {
            int openCode = SQLITE_OK;
            if (sqlite3* db = openDatabaseAtFileURL(dbFileURL(), &openCode)) {
                raiseSequences(db, floors);
                closeDatabase(db);
            }
        }
        if (code != SQLITE_OK) why = sqlite3_errstr(code);
    }
    const char* what = fileIsGone ? "was gone (deleted or moved away)" : "had lost its tables";
    if (code == SQLITE_OK) {
        std::string madeWith;
        if (carried) {
            madeWith = fmt::format(" with the {} row(s) it held", carriedRows);
        } else if (!notCarried.empty()) {
            madeWith = fmt::format(", without the rows it held, which could not be copied ({})", notCarried);
        } else if (fileIsGone) {
            madeWith = ", without the rows it held";
        }
        if (made && !shared_->gone) {
            RDDILogError(kRDDILogTag, "The log store \"{}\" {}; a new one was made{}.", dbFilePath_.string(), what,
                         madeWith);
        } else if (made) {
            // The episode was said when it began.
            RDDILogInfo(kRDDILogTag, "A new log store \"{}\" was made{}.", dbFilePath_.string(), madeWith);
        }
        shared_->gone = false;
        return SQLITE_OK;
    }
    if (!shared_->gone) {
        shared_->gone = true;
        // One line for the episode, the refused logs included; none when the store
        // already said that it cannot be written.
        if (!shared_->unwritable) {
            shared_->unwritable = true;
            RDDILogError(kRDDILogTag,
                         "The log store \"{}\" {}, and a new one cannot be made ({}): new logs are refused and "
                         "reported as failed until it can.",
                         dbFilePath_.string(), what, why);
        }
    }
    return SQLITE_CANTOPEN;
}

void RDDIDBStorage::raiseSequences(sqlite3* database, const std::map<std::string, std::int64_t>& floors) {
    for (const auto& [table, floor] : floors) {
        if (floor <= 0) continue;
        RDDIStorageBindableArray values;
        values.addNumber(floor);
        values.addString(table);
        executeNonSelectionQueryInOpenedDatabase("UPDATE sqlite_sequence SET seq = MAX(seq, ?) WHERE name = ?",
                                                 database, &values);
        if (sqlite3_changes(database) == 0) {
            RDDIStorageBindableArray row;
            row.addString(table);
            row.addNumber(floor);
            executeNonSelectionQueryInOpenedDatabase("INSERT INTO sqlite_sequence (name, seq) VALUES (?, ?)", database,
                                                     &row);
        }
    }
}

int RDDIDBStorage::configureDatabase() {
    // The file named when the store was made, even where the SDK's folder is now worked
    // out elsewhere (a test's next home).
    // Never through a link at its name: something other than a file there is set aside.
    if (RDDIUtility::folderOfAnotherUser(dbFilePath_.parent_path())) return SQLITE_CANTOPEN;
    struct stat status {};
    bool existed = lookAtStoreName(dbFilePath_.string(), status) == 0;
    if (!existed && errno == EEXIST) return SQLITE_CANTOPEN;
    if (existed && (status.st_mode & 077) != 0) ::chmod(dbFilePath_.c_str(), status.st_mode & 0700);
    if (!lookAtLogNames(dbFilePath_.string())) return SQLITE_CANTOPEN;
    if (!existed) {
        RDDIUtility::createDirectoryAtURL(dbFilePath_.parent_path());
        // SQLite gives the write-ahead log and its index the file's own mode.
        const int made = ::open(dbFilePath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (made >= 0) {
            ::close(made);
        } else if (errno == EEXIST) {
            existed = ::lstat(dbFilePath_.c_str(), &status) == 0;
        } else {
            RDDILogError(kRDDILogTag, "Couldn't create new file at path {}", dbFilePath_.string());
            return SQLITE_CANTOPEN;
        }
    }
    unreadable_.clear();
    if (existed && status.st_size == 0) {
        // An empty file is what an interrupted first configuration leaves: no database. One
        // beside a write-ahead log lost the file the log was written against (cut to nothing,
        // or replaced): SQLite would delete the log, and the logs it holds with it.
        struct stat log {};
        if (::lstat((dbFilePath_.string() + "-wal").c_str(), &log) == 0 && log.st_size > 0) {
            unreadable_ = fmt::format("it is empty, beside a write-ahead log of {} bytes", log.st_size);
        }
        return SQLITE_NOTADB;
    }
    // Neither SQLite nor its log is given a file that is no database: it is kept as it is.
    if (existed && !beginsAsDatabase(dbFilePath_.string())) {
        unreadable_ = "it is not a database";
        return SQLITE_NOTADB;
    }
    if (existed && !setAsideLogOfAnotherStore()) return SQLITE_CANTOPEN;
    if (existed) {
        bool logBeside = false;
        for (const char* suffix : {"-wal", "-journal"}) {
            struct stat log {};
            logBeside = logBeside || (::lstat((dbFilePath_.string() + suffix).c_str(), &log) == 0 && log.st_size > 0);
        }
        unreadable_ = cutShort(dbFilePath_.string(), static_cast<std::uint64_t>(status.st_size), logBeside);
        if (!unreadable_.empty()) return SQLITE_CORRUPT;
    }
    int code = SQLITE_OK;
    sqlite3* db = openDatabaseAtFileURL(dbFileURL(), &code);
    if (!db) return code;
    struct Closer {
        sqlite3* db;
        ~Closer() { closeDatabase(db); }
    } closer{db};
    // The page limit lives in the shared cache: configuration runs without the limit of
    // the last operation of another store of the file, as it would on a fresh cache.
    setMaxPageCount(kUnlimitedPageCount, db);

    int pageSizeCode = SQLITE_OK;
    pageSize_ = static_cast<long>(querySingleValue("PRAGMA page_size;", db, &pageSizeCode));
    if (isCorruption(pageSizeCode)) {
        pageSize_ = 0;
        unreadable_ = pageSizeCode == SQLITE_NOTADB ? "it is not a database" : "its integrity check failed";
        return pageSizeCode;
    }
    if (pageSize_ == 0) {
        RDDILogError(kRDDILogTag, "Failed to get storage page size.");
        return SQLITE_ERROR;
    }
    if (existed) {
        // Reads every page once (a few milliseconds for the default 10 MiB): a damaged
        // page found now is cheaper than one met by a deletion that then fails for ever.
        int checkCode = SQLITE_OK;
        const auto verdict = executeSelectionQueryInOpenedDatabase("PRAGMA quick_check;", db, &checkCode, nullptr);
        if (checkCode == SQLITE_NOTADB) {
            unreadable_ = "it is not a database";
            return checkCode;
        }
        const bool sound = checkCode == SQLITE_OK && verdict.size() == 1 && !verdict.front().empty() &&
                           verdict.front().front().asString() && *verdict.front().front().asString() == "ok";
        // A file in a folder that cannot be written may not even be readable: that is no
        // damage, and moving it aside would fail or lose it.
        if (!sound && !isUnwritable(checkCode)) {
            unreadable_ = "its integrity check failed";
            return SQLITE_CORRUPT;
        }
    }
    const auto oldVersion = versionInOpenedDatabase(db, &code);
    if (code != SQLITE_OK) return code;
    code = createTablesWithSchema(schema_, db);
    if (code != SQLITE_OK) {
        RDDILogError(kRDDILogTag, "Failed to create tables with schema with error \"{}\".", code);
        return code;
    }
    if (!existed) {
        RDDILogInfo(kRDDILogTag, "Created \"{}\" database with {} version.", filename_, version_);
        customizeDatabase(db);
    } else if (oldVersion < version_) {
        RDDILogInfo(kRDDILogTag, "Migrating \"{}\" database from version {} to {}.", filename_, oldVersion, version_);
        migrateDatabase(db, oldVersion);
    }
    enableAutoVacuumInOpenedDatabase(db);
    setVersion(version_, db);
    // The journal mode is kept in the file, so every later connection writes ahead.
    executeSelectionQueryInOpenedDatabase("PRAGMA journal_mode = WAL;", db, nullptr, nullptr);
    openKeeper();
    keepReserve();
    return SQLITE_OK;
}

bool RDDIDBStorage::keepReserve() {
    std::error_code error;
    const auto path = reservePath();
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && isOwnFile(status) &&
        static_cast<std::uintmax_t>(status.st_size) >= kReserveBytes) {
        return true;
    }
    // Never the last room on the disk: the reserve is only worth making with as much to spare.
    const auto available = availableBytes();
    if (!available || *available < 2 * kReserveBytes) return false;
    const int fd = openStoreFile(path.string(), O_WRONLY, 0600);
    if (fd < 0) return false;
    // Allocated, not sparse: only blocks it really holds can be handed back.
    const bool made = ::posix_fallocate(fd, 0, static_cast<off_t>(kReserveBytes)) == 0;
    ::close(fd);
    if (!made) std::filesystem::remove(path, error);
    return made;
}

std::optional<std::uintmax_t> RDDIDBStorage::availableBytes() const {
    struct statvfs disk {};
    if (::statvfs(dbFilePath_.parent_path().c_str(), &disk) != 0) return std::nullopt;
    return static_cast<std::uintmax_t>(disk.f_bavail) * disk.f_frsize;
}

bool RDDIDBStorage::isDiskFull() {
    std::lock_guard lock(shared_->mutex);
    if (!shared_->diskFull) return false;
    if (!keepReserve()) return true;
    shared_->diskFull = false;
    RDDILogInfo(kRDDILogTag, "There is room on the disk holding \"{}\" again; new rows are stored again.",
                dbFilePath_.string());
    return false;
}

bool RDDIDBStorage::noteFullDisk(sqlite3* database, std::size_t rowBytes) {
    // A disk with room to spare is not full, whatever the code says (a transaction undone
    // at the page limit leaves the file below it).
    if (const auto room = availableBytes(); room && *room >= kShortRoomBytes + rowBytes) return false;
    if (database) {
        const long pages = getPageCountInOpenedDatabase(database);
        const long limit = getMaxPageCountInOpenedDatabase(database);
        // A row that needs more pages than the limit leaves was stopped by the limit.
        const long rowPages = pageSize_ > 0 ? static_cast<long>(rowBytes) / pageSize_ + 4 : 4;
        if (pages + rowPages >= limit) return false;
    }
    std::lock_guard lock(shared_->mutex);
    if (!shared_->diskFull) {
        shared_->diskFull = true;
        std::error_code error;
        std::filesystem::remove(reservePath(), error);
        RDDILogError(kRDDILogTag,
                     "The disk holding \"{}\" is full: stored rows can still be deleted, new rows are refused until "
                     "there is room again.",
                     dbFilePath_.string());
    }
    return true;
}

bool RDDIDBStorage::noteUnwritable(int code) {
    if (!isUnwritable(code)) return false;
    std::lock_guard lock(shared_->mutex);
    if (shared_->unwritable) return true;
    shared_->unwritable = true;
    // Why, in the system's words: the folder's or the file's own answer when it has one.
    std::string why = sqlite3_errstr(code);
    if (const auto foreign = RDDIUtility::folderOfAnotherUser(dbFilePath_.parent_path())) {
        why = fmt::format("{}: the folder belongs to another user", foreign->string());
    } else {
        for (const auto& path : {dbFilePath_.parent_path(), dbFilePath_}) {
            if (::access(path.c_str(), W_OK) != 0) {
                why = fmt::format("{}: {}", path.string(), std::strerror(errno));
                break;
            }
        }
    }
    RDDILogError(kRDDILogTag,
                 "The log store \"{}\" cannot be written ({}): new logs are refused and reported as failed until it "
                 "can be written again.",
                 dbFilePath_.string(), why);
    return true;
}

void RDDIDBStorage::noteWritable() {
    std::lock_guard lock(shared_->mutex);
    if (!shared_->unwritable) return;
    shared_->unwritable = false;
    RDDILogInfo(kRDDILogTag, "The log store \"{}\" can be written again; new logs are stored again.",
                dbFilePath_.string());
}

void RDDIDBStorage::checkpointWhileDiskIsFull(int mode) {
    std::lock_guard lock(shared_->mutex);
    if (ensureConfigured() != SQLITE_OK) return;
    FileLock operating(*this, FileLock::Wait::busyTimeout);
    if (!shared_->diskFull || followFile(operating) != SQLITE_OK) return;
    int code = SQLITE_OK;
    sqlite3* db = openDatabaseAtFileURL(dbFileURL(), &code);
    if (!db) return;
    sqlite3_wal_checkpoint_v2(db, nullptr, mode, nullptr, nullptr);
    closeDatabase(db);
}

void RDDIDBStorage::prepareDeletion() {
    // The log's frames go into the file first (the reserve given up leaves room for the
    // file to take them) and the log starts over: the deletion then writes into room
    // the log already holds, where it would otherwise have to grow.
    checkpointWhileDiskIsFull(SQLITE_CHECKPOINT_RESTART);
}

void RDDIDBStorage::reclaimSpace() {
    // Copies the deletion into the file, which sheds the freed pages at its end, and
    // cuts the log to nothing.
    checkpointWhileDiskIsFull(SQLITE_CHECKPOINT_TRUNCATE);
    isDiskFull();
}

bool RDDIDBStorage::damageFound() const {
    std::lock_guard lock(shared_->mutex);
    return damageFound_;
}

std::optional<std::uint64_t> RDDIDBStorage::recoverDamagedDatabase(const std::string& reason,
                                                                   const Recovery& recovery) {
    std::lock_guard lock(shared_->mutex);
    FileLock replacing(*this, FileLock::Wait::untilHeld);
    damageFound_ = false;
    closeKeeper();
    const std::string path = dbFilePath_.string();
    const std::string aside = damagedPath().string();
    std::error_code error;
    // Only the latest damaged file is kept.
    std::filesystem::remove(aside, error);
    for (const char* suffix : kNamesBeside) std::filesystem::remove(aside + suffix, error);
    std::filesystem::rename(path, aside, error);
    if (error) {
        RDDILogError(kRDDILogTag, "The damaged database \"{}\" could not be moved aside: {}.", path, error.message());
        return std::nullopt;
    }
    // Its logs hold committed rows (or rolled-back pages) of the damaged file and must never
    // meet the new one.
    std::string logsToo;
    for (const char* suffix : {"-wal", "-journal"}) {
        std::filesystem::rename(path + suffix, aside + suffix, error);
        if (!error) logsToo += fmt::format(", \"{}{}\"", aside, suffix);
    }
    std::filesystem::remove(path + "-shm", error);
    const int code = configureDatabase();
    if (code != SQLITE_OK) {
        RDDILogError(kRDDILogTag, "Failed to initialize database.");
        return std::nullopt;
    }
    const auto carried = carryOverRows(recovery);
    RDDILogError(kRDDILogTag,
                 "The database \"{}\" is damaged ({}): it was moved to \"{}\"{} and made anew with the {} row(s) "
                 "that could still be read.",
                 path, reason, aside, logsToo, carried);
    return carried;
}

namespace {

struct Connection {
    sqlite3* db = nullptr;
    ~Connection() { RDDIDBStorage::closeDatabase(db); }
};

struct Statement {
    sqlite3_stmt* statement = nullptr;
    ~Statement() { sqlite3_finalize(statement); }
};

std::string quoted(const std::string& name) { return "\"" + name + "\""; }

// The table's columns, and the one that is its row id (INTEGER PRIMARY KEY), if any.
std::vector<std::string> tableColumns(sqlite3* db, const std::string& table, std::string* rowIdColumn) {
    std::vector<std::string> columns;
    Statement info;
    if (sqlite3_prepare_v2(db, ("PRAGMA table_info(" + quoted(table) + ")").c_str(), -1, &info.statement, nullptr) !=
        SQLITE_OK) {
        return columns;
    }
    int primaryKeys = 0;
    std::string integerKey;
    while (sqlite3_step(info.statement) == SQLITE_ROW) {
        const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(info.statement, 1));
        const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(info.statement, 2));
        if (!name) continue;
        columns.emplace_back(name);
        if (sqlite3_column_int(info.statement, 5) > 0) {
            ++primaryKeys;
            if (type && sqlite3_stricmp(type, "INTEGER") == 0) integerKey = name;
        }
    }
    if (rowIdColumn) *rowIdColumn = primaryKeys == 1 ? integerKey : std::string();
    return columns;
}

}  // namespace

std::uint64_t RDDIDBStorage::carryOverRows(const Recovery& recovery) {
    if (!schema_) return 0;
    // Only a file that begins as a database is opened: SQLite deletes the write-ahead log
    // beside one it reads as empty, and that log is what is kept of it.
    struct stat status {};
    if (!beginsAsDatabase(damagedPath().string()) || ::stat(damagedPath().c_str(), &status) != 0) return 0;
    // Every row takes a few bytes of the file: no scan reads more rows than it has bytes,
    // and SQLite gets as many of its steps for each, whatever a damaged b-tree answers.
    const auto fileBytes = static_cast<std::uint64_t>(status.st_size);
    Connection damaged;
    if (sqlite3_open_v2(damagedPath().c_str(), &damaged.db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return 0;
    sqlite3_busy_timeout(damaged.db, kBusyTimeoutMilliseconds);
    constexpr int kStepsPerCheck = 1000;
    std::uint64_t checksLeft = fileBytes;
    sqlite3_progress_handler(
        damaged.db, kStepsPerCheck,
        [](void* left) {
            auto& checks = *static_cast<std::uint64_t*>(left);
            return checks == 0 ? 1 : (--checks, 0);
        },
        &checksLeft);
    std::uint64_t carried = 0;
    executeQueryUsingBlock([&](sqlite3* fresh) {
        for (const auto& [table, unused] : *schema_) {
            std::string rowIdColumn;
            const auto freshColumns = tableColumns(fresh, table, &rowIdColumn);
            const auto oldColumns = tableColumns(damaged.db, table, nullptr);
            std::vector<std::string> columns;
            for (const auto& column : freshColumns) {
                if (std::find(oldColumns.begin(), oldColumns.end(), column) != oldColumns.end()) columns.push_back(column);
            }
            if (columns.empty()) continue;
            std::string list, places;
            for (const auto& column : columns) {
                list += ", " + quoted(column);
                places += ", ?";
            }
            // The row id rides along as its own column unless a column already is it.
            const bool rowIdApart = rowIdColumn.empty() ||
                                    std::find(columns.begin(), columns.end(), rowIdColumn) == columns.end();
            const std::string insert = "INSERT OR IGNORE INTO " + quoted(table) + " (" +
                                       (rowIdApart ? "rowid" + list : list.substr(2)) + ") VALUES (" +
                                       (rowIdApart ? "?" + places : places.substr(2)) + ")";
            Statement inserting;
            if (sqlite3_prepare_v2(fresh, insert.c_str(), -1, &inserting.statement, nullptr) != SQLITE_OK) continue;

            // Forward from the first row to the damage, then backward from the last row
            // to it: each side reads what lies before the damaged pages. A damaged b-tree
            // can answer a row id it gave before (cut inside its last page, one answered
            // rows 1 to 11, then 0, and the same rows again for ever): only a row id beyond
            // the last one read moves a scan on, anything else ends it.
            std::uint64_t rowsLeft = fileBytes;
            auto scan = [&](bool forward, std::int64_t from, std::int64_t stopAt) -> std::int64_t {
                const std::string select = "SELECT rowid" + list + " FROM " + quoted(table) + " WHERE rowid " +
                                           (forward ? "> ?" : "< ?") + " ORDER BY rowid " +
                                           (forward ? "ASC" : "DESC") + " LIMIT 256";
                std::int64_t last = from;
                for (;;) {
                    Statement reading;
                    if (sqlite3_prepare_v2(damaged.db, select.c_str(), -1, &reading.statement, nullptr) != SQLITE_OK) {
                        return last;
                    }
                    sqlite3_bind_int64(reading.statement, 1, last);
                    int step = SQLITE_OK;
                    int rows = 0;
                    sqlite3_exec(fresh, "BEGIN", nullptr, nullptr, nullptr);
                    while ((step = sqlite3_step(reading.statement)) == SQLITE_ROW) {
                        const std::int64_t rowId = sqlite3_column_int64(reading.statement, 0);
                        const bool onward = forward ? rowId > last && rowId < stopAt : rowId < last && rowId > stopAt;
                        if (!onward || rowsLeft == 0) {
                            step = SQLITE_DONE;
                            rows = 0;
                            break;
                        }
                        --rowsLeft;
                        last = rowId;
                        ++rows;
                        if (recovery.leaveOut && recovery.leaveOut(table, rowId)) continue;
                        sqlite3_reset(inserting.statement);
                        const int first = rowIdApart ? 0 : 1;
                        for (int i = first; i <= static_cast<int>(columns.size()); ++i) {
                            sqlite3_bind_value(inserting.statement, i + 1 - first,
                                               sqlite3_column_value(reading.statement, i));
                        }
                        if (sqlite3_step(inserting.statement) == SQLITE_DONE) carried += sqlite3_changes(fresh) > 0;
                    }
                    sqlite3_exec(fresh, "COMMIT", nullptr, nullptr, nullptr);
                    if (step != SQLITE_DONE || rows == 0) return last;
                }
            };
            const std::int64_t forwardEnd = scan(true, std::numeric_limits<std::int64_t>::min(),
                                                 std::numeric_limits<std::int64_t>::max());
            scan(false, std::numeric_limits<std::int64_t>::max(), forwardEnd);

            std::int64_t floor = 0;
            if (const auto found = recovery.sequenceFloors.find(table); found != recovery.sequenceFloors.end()) {
                floor = found->second;
            }
            Statement sequence;
            if (sqlite3_prepare_v2(damaged.db, "SELECT seq FROM sqlite_sequence WHERE name = ?", -1,
                                   &sequence.statement, nullptr) == SQLITE_OK) {
                sqlite3_bind_text(sequence.statement, 1, table.c_str(), -1, SQLITE_TRANSIENT);
                if (sqlite3_step(sequence.statement) == SQLITE_ROW) {
                    floor = std::max<std::int64_t>(floor, sqlite3_column_int64(sequence.statement, 0));
                }
            }
            raiseSequences(fresh, {{table, floor}});
        }
        return SQLITE_OK;
    });
    return carried;
}

int RDDIDBStorage::executeQueryUsingBlock(const std::function<int(sqlite3*)>& block) {
    std::lock_guard lock(shared_->mutex);
    if (const int configured = ensureConfigured(); configured != SQLITE_OK) return configured;
    FileLock operating(*this, FileLock::Wait::busyTimeout);
    if (const int followed = followFile(operating); followed != SQLITE_OK) return followed;
    int code = SQLITE_OK;
    sqlite3* db = openDatabaseAtFileURL(dbFileURL(), &code);
    if (!db) {
        noteUnwritable(code);
        return code;
    }
    if (pageSize_ != 0) openKeeper();
    if (pageSize_ == 0) {
        RDDILogError(kRDDILogTag, "The database was not configured correctly. The page size is expected to be non zero.");
        closeDatabase(db);
        return SQLITE_ERROR;
    }
    const auto room = availableBytes();
    if (room && *room < kShortRoomBytes) sqlite3_wal_autocheckpoint(db, kShortRoomAutoCheckpointPages);
    code = setMaxPageCount(maxSizeInBytes_ / pageSize_, db);
    if (code == SQLITE_OK) {
        code = block(db);
    } else if (!isCorruption(code)) {
        if (!isUnwritable(code)) {
            RDDILogError(kRDDILogTag, "Failed to open database with specified maximum size constraint.");
        }
        code = block(db);
    }
    if (code == SQLITE_ERROR && schema_) {
        const std::string message = sqlite3_errmsg(db);
        for (const auto& [table, unused] : *schema_) {
            if (message == "no such table: " + table) shared_->tablesLost = true;
        }
    }
    closeDatabase(db);
    if (isCorruption(code)) damageFound_ = true;
    return code;
}

bool RDDIDBStorage::tablesLost() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->tablesLost;
}

int RDDIDBStorage::executeNonSelectionQuery(const std::string& query, const RDDIStorageBindableArray* values) {
    return executeQueryUsingBlock(
        [&](sqlite3* db) { return executeNonSelectionQueryInOpenedDatabase(query, db, values); });
}

std::vector<RDDIDBRow> RDDIDBStorage::executeSelectionQuery(const std::string& query,
                                                            const RDDIStorageBindableArray* values) {
    std::vector<RDDIDBRow> rows;
    executeQueryUsingBlock([&](sqlite3* db) {
        int code = SQLITE_OK;
        rows = executeSelectionQueryInOpenedDatabase(query, db, &code, values);
        return code;
    });
    return rows;
}

std::uint64_t RDDIDBStorage::countEntriesForTable(const std::string& table, const std::optional<std::string>& condition,
                                                  const RDDIStorageBindableArray* values) {
    auto query = fmt::format("SELECT COUNT(*) FROM \"{}\" ", table);
    if (condition && !condition->empty()) query += fmt::format("WHERE {}", *condition);
    const auto rows = executeSelectionQuery(query, values);
    if (rows.empty() || rows.front().empty()) return 0;
    return static_cast<std::uint64_t>(rows.front().front().asInteger().value_or(0));
}

bool RDDIDBStorage::createTable(const std::string& table, const std::vector<RDDIDBColumn>& columnsSchema) {
    const int code = executeQueryUsingBlock([&](sqlite3* db) {
        int result = SQLITE_OK;
        if (tableExists(table, db, &result) || result != SQLITE_OK) return result;
        result = executeNonSelectionQueryInOpenedDatabase(
            fmt::format("CREATE TABLE \"{}\" ({});", table, columnsQueryFromColumnsSchema(columnsSchema)), db);
        if (result == SQLITE_OK) {
            RDDILogVerbose(kRDDILogTag, "Table {} has been created", table);
        } else {
            RDDILogError(kRDDILogTag, "Failed to create table {}", table);
        }
        return result;
    });
    return code == SQLITE_OK;
}

bool RDDIDBStorage::dropTable(const std::string& table) {
    const int code = executeQueryUsingBlock([&](sqlite3* db) {
        int result = SQLITE_OK;
        if (!tableExists(table, db, &result)) return result;
        result = executeNonSelectionQueryInOpenedDatabase(fmt::format("DROP TABLE \"{}\";", table), db);
        if (result == SQLITE_OK) {
            RDDILogVerbose(kRDDILogTag, "Table {} has been deleted", table);
        } else {
            RDDILogError(kRDDILogTag, "Failed to delete table {}", table);
        }
        return result;
    });
    return code == SQLITE_OK;
}

void RDDIDBStorage::dropDatabase() {
    std::lock_guard lock(shared_->mutex);
    closeKeeper();
    std::error_code error;
    for (const char* suffix : kNamesBeside) std::filesystem::remove(dbFilePath_.string() + suffix, error);
    if (RDDIUtility::deleteFileAtURL(dbFilePath_)) {
        RDDILogVerbose(kRDDILogTag, "Database {} has been deleted.", dbFileURL());
    } else {
        RDDILogError(kRDDILogTag, "Failed to delete database.");
    }
}

void RDDIDBStorage::setMaxStorageSize(long sizeInBytes, const std::function<void(bool)>& completionHandler) {
    const auto complete = [&](bool success) {
        if (completionHandler) completionHandler(success);
    };
    std::unique_lock lock(shared_->mutex);
    int code = ensureConfigured();
    std::optional<FileLock> operating(std::in_place, *this, FileLock::Wait::busyTimeout);
    if (code == SQLITE_OK) code = followFile(*operating);
    sqlite3* db = code == SQLITE_OK ? openDatabaseAtFileURL(dbFileURL(), &code) : nullptr;
    if (!db) {
        operating.reset();
        lock.unlock();
        return complete(false);
    }
    struct Closer {
        sqlite3* db;
        ~Closer() { closeDatabase(db); }
    };
    bool success = false;
    {
        Closer closer{db};
        if (pageSize_ == 0) {
            RDDILogError(kRDDILogTag,
                         "The database was not configured correctly. The page size is expected to be non zero.");
        } else {
            const long pages = getPageCountInOpenedDatabase(db);
            RDDILogDebug(kRDDILogTag, "Found {} pages in the database.", pages);
            const long wanted = sizeInBytes / pageSize_ + (sizeInBytes % pageSize_ ? 1 : 0);
            if (pages > wanted) {
                RDDILogWarning(kRDDILogTag,
                               "Cannot change database size to {} bytes as it would cause a loss of data. Maximum "
                               "database size will not be changed.",
                               sizeInBytes);
            } else if ((code = setMaxPageCount(wanted, db)) != SQLITE_OK) {
                RDDILogError(kRDDILogTag, "Could not change maximum database size to {} bytes. SQLite error code: {}",
                             sizeInBytes, code);
            } else {
                const long actual = getMaxPageCountInOpenedDatabase(db);
                const long newSize = pageSize_ * actual;
                if (actual == wanted) {
                    if (newSize != sizeInBytes) {
                        RDDILogInfo(kRDDILogTag, "Changed maximum database size to {} bytes (next multiple of 4KiB).",
                                    newSize);
                    } else {
                        RDDILogInfo(kRDDILogTag, "Changed maximum database size to {} bytes.", sizeInBytes);
                    }
                    maxSizeInBytes_ = newSize;
                    success = true;
                } else {
                    RDDILogError(kRDDILogTag,
                                 "Could not change maximum database size to {} bytes, current maximum size is {} bytes.",
                                 sizeInBytes, newSize);
                }
            }
        }
    }
    operating.reset();
    lock.unlock();
    complete(success);
}

void RDDIDBStorage::customizeDatabase(sqlite3*) {}

void RDDIDBStorage::migrateDatabase(sqlite3*, std::uint64_t) {}

// --- On an open handle ---

int RDDIDBStorage::configureSQLite() { return sqlite3_config(SQLITE_CONFIG_URI, 1); }

sqlite3* RDDIDBStorage::openDatabaseAtFileURL(const std::string& fileURL, int* result) {
    sqlite3* db = nullptr;
    // Never through a link put at the file's name: SQLite would write the database into
    // whatever it leads to.
    const int code = sqlite3_open_v2(fileURL.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI |
                                                                 SQLITE_OPEN_SHAREDCACHE | SQLITE_OPEN_NOFOLLOW,
                                     nullptr);
    if (result) *result = code;
    if (code != SQLITE_OK) {
        // A folder that cannot be entered fails every open alike: the store says so once
        // per episode (noteUnwritable), not once per operation.
        if (isUnwritable(code)) {
            RDDILogDebug(kRDDILogTag, "Failed to open database with result: {}.", code);
        } else {
            RDDILogError(kRDDILogTag, "Failed to open database with result: {}.", code);
        }
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds);
    // Per connection: with a write-ahead log, NORMAL syncs at checkpoints only, and a
    // killed process still loses no committed transaction.
    sqlite3_exec(db, "PRAGMA synchronous = NORMAL;", nullptr, nullptr, nullptr);
    sqlite3_wal_autocheckpoint(db, kAutoCheckpointPages);
    return db;
}

void RDDIDBStorage::closeDatabase(sqlite3* database) {
    if (database) sqlite3_close_v2(database);
}

int RDDIDBStorage::createTablesWithSchema(const std::optional<RDDIDBSchema>& schema, sqlite3* database) {
    if (!schema) return SQLITE_OK;
    std::vector<std::string> statements;
    for (const auto& [table, columns] : *schema) {
        int code = SQLITE_OK;
        const bool exists = tableExists(table, database, &code);
        if (code != SQLITE_OK) return code;
        if (exists) continue;
        statements.push_back(fmt::format("CREATE TABLE \"{}\" ({});", table, columnsQueryFromColumnsSchema(columns)));
    }
    for (const auto& statement : statements) {
        const int code = executeNonSelectionQueryInOpenedDatabase(statement, database);
        if (code != SQLITE_OK) return code;
    }
    return SQLITE_OK;
}

std::string RDDIDBStorage::columnsQueryFromColumnsSchema(const std::vector<RDDIDBColumn>& columnsSchema) {
    std::vector<std::string> definitions;
    for (const auto& [name, constraints] : columnsSchema) {
        definitions.push_back(fmt::format("\"{}\" {}", name, joined(constraints, " ")));
    }
    return joined(definitions, ", ");
}

std::map<std::string, std::map<std::string, std::size_t>> RDDIDBStorage::columnsIndexes(const RDDIDBSchema& schema) {
    std::map<std::string, std::map<std::string, std::size_t>> indexes;
    for (const auto& [table, columns] : schema) {
        for (std::size_t i = 0; i < columns.size(); ++i) indexes[table][columns[i].first] = i;
    }
    return indexes;
}

bool RDDIDBStorage::tableExists(const std::string& table, sqlite3* database, int* result) {
    RDDIStorageBindableArray values;
    values.addString(table);
    int code = SQLITE_OK;
    const auto rows = executeSelectionQueryInOpenedDatabase(
        "SELECT COUNT(*) FROM \"sqlite_master\" WHERE \"type\"='table' AND \"name\"=?;", database, &code, &values);
    if (result) *result = code;
    if (rows.empty() || rows.front().empty()) return false;
    return rows.front().front().asInteger().value_or(0) != 0;
}

std::uint64_t RDDIDBStorage::versionInOpenedDatabase(sqlite3* database, int* result) {
    return static_cast<std::uint64_t>(querySingleValue("PRAGMA user_version", database, result));
}

int RDDIDBStorage::setVersion(std::uint64_t version, sqlite3* database) {
    return executeNonSelectionQueryInOpenedDatabase(fmt::format("PRAGMA user_version = {}", version), database);
}

void RDDIDBStorage::enableAutoVacuumInOpenedDatabase(sqlite3* database) {
    if (querySingleValue("PRAGMA auto_vacuum", database) == 1) return;
    RDDILogDebug(kRDDILogTag, "Vacuuming database and enabling auto_vacuum");
    executeNonSelectionQueryInOpenedDatabase("PRAGMA auto_vacuum = FULL;", database);
    executeNonSelectionQueryInOpenedDatabase("VACUUM;", database);
}

long RDDIDBStorage::getPageSizeInOpenedDatabase(sqlite3* database) {
    return static_cast<long>(querySingleValue("PRAGMA page_size;", database));
}

long RDDIDBStorage::getPageCountInOpenedDatabase(sqlite3* database) {
    return static_cast<long>(querySingleValue("PRAGMA page_count;", database));
}

long RDDIDBStorage::getMaxPageCountInOpenedDatabase(sqlite3* database) {
    return static_cast<long>(querySingleValue("PRAGMA max_page_count;", database));
}

int RDDIDBStorage::setMaxPageCount(long pageCount, sqlite3* database) {
    int code = SQLITE_OK;
    executeSelectionQueryInOpenedDatabase(fmt::format("PRAGMA max_page_count = {}", pageCount), database, &code, nullptr);
    return code;
}

std::int64_t RDDIDBStorage::querySingleValue(const std::string& query, sqlite3* database, int* result) {
    const auto rows = executeSelectionQueryInOpenedDatabase(query, database, result, nullptr);
    if (rows.empty() || rows.front().empty()) return 0;
    return rows.front().front().asInteger().value_or(0);
}

int RDDIDBStorage::executeNonSelectionQueryInOpenedDatabase(const std::string& query, sqlite3* database,
                                            const RDDIStorageBindableArray* values) {
    return executeQuery(query, database, values, [database](sqlite3_stmt* statement) {
        const int code = sqlite3_step(statement);
        if (code == SQLITE_DONE) return SQLITE_OK;
        if (isCorruption(code)) {
            RDDILogError(kRDDILogTag, "A database file is corrupted, result={}\n\t{}", code, sqlite3_errmsg(database));
        } else if (code == SQLITE_FULL || isUnwritable(code)) {
            RDDILogDebug(kRDDILogTag, "Query failed with error: {}\n\t{}", code, sqlite3_errmsg(database));
        } else {
            RDDILogError(kRDDILogTag, "Could not execute the statement, result={}\n\t{}", code,
                         sqlite3_errmsg(database));
        }
        return code;
    });
}

std::vector<RDDIDBRow> RDDIDBStorage::executeSelectionQueryInOpenedDatabase(const std::string& query, sqlite3* database, int* result,
                                                            const RDDIStorageBindableArray* values) {
    std::vector<RDDIDBRow> rows;
    const int code = executeQuery(query, database, values, [&](sqlite3_stmt* statement) {
        int step;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            const int count = sqlite3_column_count(statement);
            if (count == 0) continue;
            RDDIDBRow row;
            row.reserve(static_cast<std::size_t>(count));
            for (int i = 0; i < count; ++i) row.push_back(columnValueFromStatement(statement, i));
            rows.push_back(std::move(row));
        }
        if (step == SQLITE_DONE) return SQLITE_OK;
        if (isUnwritable(step)) {
            RDDILogDebug(kRDDILogTag, "Query failed with error: {}\n\t{}", step, sqlite3_errmsg(database));
        } else {
            RDDILogError(kRDDILogTag, "Query failed with error: {}\n\t{}", step, sqlite3_errmsg(database));
        }
        return step;
    });
    if (result) *result = code;
    return rows;
}

int RDDIDBStorage::executeQuery(const std::string& query, sqlite3* database, const RDDIStorageBindableArray* values,
                                const std::function<int(sqlite3_stmt*)>& block) {
    sqlite3_stmt* statement = nullptr;
    int code = sqlite3_prepare_v2(database, query.c_str(), -1, &statement, nullptr);
    if (code != SQLITE_OK && isUnwritable(code)) {
        RDDILogDebug(kRDDILogTag, "Failed to prepare SQLite statement, result={}\n\t{}", code,
                     sqlite3_errmsg(database));
        sqlite3_finalize(statement);
        return code;
    }
    if (code != SQLITE_OK) {
        RDDILogError(kRDDILogTag, "Failed to prepare SQLite statement, result={}\n\t{}", code, sqlite3_errmsg(database));
        sqlite3_finalize(statement);
        return code;
    }
    code = values ? values->bindAllValuesWithStatement(statement, database) : SQLITE_OK;
    if (code == SQLITE_OK) code = block(statement);
    const int finalized = sqlite3_finalize(statement);
    if (finalized != SQLITE_OK && finalized != code) {
        RDDILogError(kRDDILogTag, "Failed to finalize SQLite statement, result={}\n\t{}", finalized,
                     sqlite3_errmsg(database));
    }
    return code;
}

pf::Value RDDIDBStorage::columnValueFromStatement(sqlite3_stmt* statement, int index) {
    const int type = sqlite3_column_type(statement, index);
    switch (type) {
        case SQLITE_NULL:
            return pf::Value();
        case SQLITE_TEXT: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, index));
            const int length = sqlite3_column_bytes(statement, index);
            return pf::Value(std::string(text ? text : "", static_cast<std::size_t>(text ? length : 0)));
        }
        case SQLITE_BLOB: {
            // The log store keeps archives as bytes.
            const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, index));
            const int length = sqlite3_column_bytes(statement, index);
            return pf::Value(bytes ? pf::Data(bytes, bytes + length) : pf::Data());
        }
        case SQLITE_INTEGER:
            // All 64 bits: row ids beyond 2^31 must name the rows they came from.
            return pf::Value(static_cast<std::int64_t>(sqlite3_column_int64(statement, index)));
        default:
            RDDILogError(kRDDILogTag, "Could not retrieve column value at index {} from statement: unknown type {}.",
                         index, type);
            return pf::Value();
    }
}

}  // namespace rddi
