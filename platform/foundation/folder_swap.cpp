#include "platform/foundation/folder_swap.hpp"

#include "platform/foundation/error.hpp"
#include "platform/foundation/test_hook.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <sys/xattr.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace platform::foundation::files {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(int err, const std::string& what) { throw Error::posix(err, what); }

// The names in the folder open as `folder` (for reading), "." and ".." left out.
std::vector<std::string> namesIn(int folder, const std::string& what) {
    UniqueFd listing(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    if (!listing) fail(errno, what);
    DIR* dir = ::fdopendir(listing.get());
    if (dir == nullptr) fail(errno, what);
    listing.release();
    // fdopendir takes its position from the descriptor, which it shares with `folder`.
    ::rewinddir(dir);
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
        errno = 0;
    }
    const int err = errno;
    ::closedir(dir);
    if (err != 0) fail(err, what);
    return names;
}

void copyFile(int from, int to, const std::string& what) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno, what);
        }
        if (n == 0) return;
        for (ssize_t written = 0; written < n;) {
            const ssize_t m = ::write(to, buffer + written, static_cast<std::size_t>(n - written));
            if (m < 0) {
                if (errno == EINTR) continue;
                fail(errno, what);
            }
            written += m;
        }
    }
}

std::atomic<bool> linksRefused{false};
TestHook<int, const std::string&> pruneLooked;
TestHook<int, const std::string&> copyLooked;
std::atomic<bool> attributesRefused{false};
std::atomic<bool> identitiesLastingRefused{false};

bool sameTime(const struct timespec& a, const struct timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// Records what was just made at `name` in the folder open as `folder`.
void recordMade(int folder, const std::string& name, MadeItems* made, const struct stat* source = nullptr) {
    if (made == nullptr) return;
    struct stat info {};
    if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (source != nullptr) made->copied(info, *source);
    else made->made(info);
}

// A regular file carried into the folder open as `to`: a second name of the same file, or
// where the file system refuses that, a copy.
void carryFile(int from, int to, const std::string& name, MadeItems* made, const std::string& what) {
    if (!linksRefused.load(std::memory_order_relaxed) && ::linkat(from, name.c_str(), to, name.c_str(), 0) == 0) return;
    if (!linksRefused.load(std::memory_order_relaxed) && errno != EPERM && errno != EXDEV && errno != EMLINK &&
        errno != ENOTSUP && errno != EACCES && errno != ENOSYS) {
        if (errno == ENOENT) return;  // gone meanwhile
        fail(errno, what);
    }
    // Taken as it is now, as a link takes it: gone meanwhile, it is passed over; saved anew
    // meanwhile (another file renamed onto its name), the new file is carried.
    UniqueFd source(::openat(from, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!source) {
        if (errno == ENOENT || errno == ELOOP) return;
        fail(errno, what);
    }
    struct stat opened {};
    if (::fstat(source.get(), &opened) != 0) fail(errno, what);
    // Something other than a file swapped in since it was looked at: no content to carry.
    if (!S_ISREG(opened.st_mode)) return;
    UniqueFd target(::openat(to, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                             opened.st_mode & 07777));
    if (!target) fail(errno, what);
    copyFile(source.get(), target.get(), what);
    if (made != nullptr) {
        struct stat copy {};
        if (::fstat(target.get(), &copy) == 0) made->copied(copy, opened);
    }
}

// Copies what the folder open as `from` holds into the folder open as `to`; `below` is
// where `from` lies in the tree copied.
void copyInto(int from, int to, TreeCopy& copy, const fs::path& below, const std::string& what) {
    for (const auto& name : namesIn(from, what)) {
        struct stat info {};
        if (::fstatat(from, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;  // gone meanwhile
            fail(errno, what);
        }
        if (copy.skip && copy.skip(name, info)) {
            copy.skipped.push_back(below / name);
            continue;
        }
        copyLooked(from, name);
        if (S_ISDIR(info.st_mode)) {
            UniqueFd source(::openat(from, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!source) fail(errno, what);
            if (::mkdirat(to, name.c_str(), (info.st_mode & 07777) | 0700) != 0) fail(errno, what);
            recordMade(to, name, copy.made, &info);
            UniqueFd target(::openat(to, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!target) fail(errno, what);
            copyInto(source.get(), target.get(), copy, below / name, what);
        } else if (S_ISLNK(info.st_mode)) {
            std::vector<char> buffer(static_cast<std::size_t>(info.st_size) + 256);
            const ssize_t length = ::readlinkat(from, name.c_str(), buffer.data(), buffer.size() - 1);
            if (length < 0) fail(errno, what);
            buffer[static_cast<std::size_t>(length)] = '\0';
            if (::symlinkat(buffer.data(), to, name.c_str()) != 0) fail(errno, what);
            recordMade(to, name, copy.made, &info);
        } else if (S_ISREG(info.st_mode)) {
            carryFile(from, to, name, copy.made, what);
        }
        // A FIFO, socket or device is no content we wrote or can carry over: copying it
        // would fail the folder, and reading it could block for ever.
    }
}

void removeAt(int folder, const std::string& name, const std::string& what) {
    if (::unlinkat(folder, name.c_str(), 0) == 0) return;
    if (errno == ENOENT) return;
    if (errno != EISDIR && errno != EPERM) fail(errno, what);
    UniqueFd inside(::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!inside) {
        if (errno == ENOENT) return;
        fail(errno, what);
    }
    for (const auto& child : namesIn(inside.get(), what)) removeAt(inside.get(), child, what);
    if (::unlinkat(folder, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) fail(errno, what);
}

bool unsupported(int err) { return err == EINVAL || err == ENOSYS || err == ENOTSUP; }

int renameEntries(const RootHandle::Entry& from, const RootHandle::Entry& to, unsigned flags) {
    return ::renameat2(from.folder.get(), from.name.c_str(), to.folder.get(), to.name.c_str(), flags);
}

}  // namespace

void copyTree(const RootHandle::Entry& from, const RootHandle::Entry& to, const fs::path& shownAs, TreeCopy& copy) {
    const std::string what = "Cannot copy " + shownAs.string();
    UniqueFd source(::openat(from.folder.get(), from.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!source) fail(errno, what);
    struct stat info {};
    if (::fstat(source.get(), &info) != 0) fail(errno, what);
    if (::mkdirat(to.folder.get(), to.name.c_str(), (info.st_mode & 07777) | 0700) != 0) fail(errno, what);
    recordMade(to.folder.get(), to.name, copy.made, &info);
    UniqueFd target(::openat(to.folder.get(), to.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!target) fail(errno, what);
    if (copy.madeFolder) copy.madeFolder(target.get());
    copyInto(source.get(), target.get(), copy, {}, what);
}

void setLinksRefusedForTesting(bool refused) { linksRefused.store(refused); }

bool identitiesLastAcrossMounts(int fd) {
    // The magic numbers of the file systems that number items afresh at each mount.
    constexpr unsigned long kFat = 0x4d44, kExfat = 0x2011BAB0, kFuse = 0x65735546;
    if (identitiesLastingRefused.load(std::memory_order_relaxed)) return false;
    struct statfs facts {};
    if (::fstatfs(fd, &facts) != 0) return true;
    const auto type = static_cast<unsigned long>(facts.f_type);
    return type != kFat && type != kExfat && type != kFuse;
}

void setIdentitiesLastingRefusedForTesting(bool refused) { identitiesLastingRefused.store(refused); }

void setCopyLookHookForTesting(std::function<void(int folder, const std::string& name)> hook) {
    copyLooked.set(std::move(hook));
}

void setPruneLookHookForTesting(std::function<void(int folder, const std::string& name)> hook) {
    pruneLooked.set(std::move(hook));
}

int renameIfFree(int fromFolder, const char* fromName, int toFolder, const char* toName) {
    if (::renameat2(fromFolder, fromName, toFolder, toName, RENAME_NOREPLACE) == 0) return 0;
    if (!unsupported(errno)) return -1;
    struct stat existing {};
    if (::fstatat(toFolder, toName, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    if (errno != ENOENT) return -1;
    return ::renameat(fromFolder, fromName, toFolder, toName);
}

bool exchangeOrMove(const RootHandle::Entry& from, const RootHandle::Entry& to, const RootHandle::Entry& aside,
                    const fs::path& shownAs) {
    const std::string what = "Cannot move " + shownAs.string();
    if (renameIfFree(from.folder.get(), from.name.c_str(), to.folder.get(), to.name.c_str()) == 0) return false;
    if (errno != EEXIST) fail(errno, what);
    if (renameEntries(from, to, RENAME_EXCHANGE) == 0) return true;
    if (!unsupported(errno)) fail(errno, what);
    if (renameEntries(to, aside, 0) != 0) fail(errno, what);
    if (renameEntries(from, to, 0) != 0) {
        const int err = errno;
        renameEntries(aside, to, 0);
        fail(err, what);
    }
    if (renameEntries(aside, from, 0) != 0) fail(errno, what);
    return true;
}

void removeTree(const RootHandle::Entry& entry, const fs::path& shownAs) {
    removeAt(entry.folder.get(), entry.name, "Cannot remove " + shownAs.string());
}

// --- MadeItems ---------------------------------------------------------------------

void MadeItems::made(const struct stat& item) {
    std::lock_guard lock(mutex_);
    made_.insert(ItemIdentity::of(item));
}

void MadeItems::copied(const struct stat& copy, const struct stat& source) {
    std::lock_guard lock(mutex_);
    made_.insert(ItemIdentity::of(copy));
    copies_[ItemIdentity::of(copy)] = {ItemIdentity::of(source), source.st_size, source.st_mtim};
}

void MadeItems::forget(const struct stat& item) {
    std::lock_guard lock(mutex_);
    made_.erase(ItemIdentity::of(item));
    copies_.erase(ItemIdentity::of(item));
}

bool MadeItems::isMade(const struct stat& item) const {
    std::lock_guard lock(mutex_);
    return made_.count(ItemIdentity::of(item)) != 0;
}

bool MadeItems::isWritten(const struct stat& item) const {
    std::lock_guard lock(mutex_);
    return made_.count(ItemIdentity::of(item)) != 0 && copies_.count(ItemIdentity::of(item)) == 0;
}

bool MadeItems::isCopyOf(const struct stat& copy, const struct stat& source) const {
    std::lock_guard lock(mutex_);
    const auto found = copies_.find(ItemIdentity::of(copy));
    return found != copies_.end() && found->second.identity == ItemIdentity::of(source) &&
           found->second.size == source.st_size && sameTime(found->second.modified, source.st_mtim);
}

// --- pruning ------------------------------------------------------------------------

namespace {

// Prunes the entry `name` of the folder open as `folder`; its counterpart is the entry
// `otherName` of the folder open as `otherFolder` (-1 for none).
// Whether the file looked at as `before` still looks the same as `now`.
bool unchanged(const struct stat& before, const struct stat& now) {
    return ItemIdentity::of(before) == ItemIdentity::of(now) && before.st_size == now.st_size &&
           sameTime(before.st_mtim, now.st_mtim) && sameTime(before.st_ctim, now.st_ctim);
}

bool pruneAt(int folder, const std::string& name, int otherFolder, const std::string& otherName, const MayGo& mayGo,
             const std::vector<std::string>& markFiles, const std::string& what) {
    struct stat item {};
    if (::fstatat(folder, name.c_str(), &item, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return true;
        fail(errno, what);
    }
    pruneLooked(folder, name);
    struct stat other {};
    const bool hasCounterpart =
        otherFolder >= 0 && ::fstatat(otherFolder, otherName.c_str(), &other, AT_SYMLINK_NOFOLLOW) == 0;
    if (S_ISDIR(item.st_mode)) {
        UniqueFd inside(::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!inside) {
            if (errno == ENOENT) return true;
            fail(errno, what);
        }
        struct stat opened {};
        // Something else swapped in since it was looked at: it is left as it is.
        if (::fstat(inside.get(), &opened) != 0 || ItemIdentity::of(opened) != ItemIdentity::of(item)) {
            return false;
        }
        UniqueFd inCounterpart;
        // A folder is never its own counterpart: each of its files would "stand on" in itself.
        if (hasCounterpart && S_ISDIR(other.st_mode) && ItemIdentity::of(other) != ItemIdentity::of(item)) {
            inCounterpart =
                UniqueFd(::openat(otherFolder, otherName.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        }
        const int counterpartInside = inCounterpart ? inCounterpart.get() : -1;
        bool emptied = true;
        std::vector<std::string> marks;
        for (const auto& child : namesIn(inside.get(), what)) {
            if (std::find(markFiles.begin(), markFiles.end(), child) != markFiles.end()) {
                marks.push_back(child);
                continue;
            }
            emptied = pruneAt(inside.get(), child, counterpartInside, child, mayGo, markFiles, what) && emptied;
        }
        if (!emptied || !mayGo({item, hasCounterpart ? &other : nullptr, folder, name, otherFolder, otherName})) {
            return false;
        }
        for (const auto& mark : marks) {
            emptied = pruneAt(inside.get(), mark, counterpartInside, mark, mayGo, markFiles, what) && emptied;
        }
        if (!emptied) return false;
        if (::unlinkat(folder, name.c_str(), AT_REMOVEDIR) != 0) {
            if (errno == ENOENT) return true;
            // Something was put in it meanwhile: it stays with what it holds.
            if (errno == ENOTEMPTY || errno == EEXIST) return false;
            fail(errno, what);
        }
        return true;
    }
    if (!mayGo({item, hasCounterpart ? &other : nullptr, folder, name, otherFolder, otherName})) return false;
    // Looked at again just before it goes: a name swapped, or a file written, meanwhile is
    // not what was allowed.
    struct stat again {};
    if (::fstatat(folder, name.c_str(), &again, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return true;
        fail(errno, what);
    }
    if (!unchanged(item, again)) return false;
    if (::unlinkat(folder, name.c_str(), 0) != 0) {
        if (errno == ENOENT) return true;
        fail(errno, what);
    }
    return true;
}

// The regular file `name` of `folder`, open for reading, when it is still the one looked at.
UniqueFd openLookedAt(int folder, const std::string& name, const struct stat& looked) {
    UniqueFd fd(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened {};
    if (!fd || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || !unchanged(looked, opened)) return {};
    return fd;
}

// Reads up to `size` bytes, fewer only at the end of the file; -1 on failure.
ssize_t readFull(int fd, char* into, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, into + got, size - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

}  // namespace

bool holdTheSameBytes(const PruneEntry& entry) {
    if (entry.counterpart == nullptr || !S_ISREG(entry.item.st_mode) || !S_ISREG(entry.counterpart->st_mode) ||
        entry.item.st_size != entry.counterpart->st_size) {
        return false;
    }
    const UniqueFd item = openLookedAt(entry.folder, entry.name, entry.item);
    const UniqueFd other = openLookedAt(entry.counterpartFolder, entry.counterpartName, *entry.counterpart);
    if (!item || !other) return false;
    std::vector<char> mine(65536), theirs(65536);
    for (;;) {
        const ssize_t n = readFull(item.get(), mine.data(), mine.size());
        const ssize_t m = readFull(other.get(), theirs.data(), theirs.size());
        if (n < 0 || n != m) return false;
        if (n == 0) break;
        if (std::memcmp(mine.data(), theirs.data(), static_cast<std::size_t>(n)) != 0) return false;
    }
    // Neither was written while it was read.
    struct stat itemAfter {};
    struct stat otherAfter {};
    return ::fstat(item.get(), &itemAfter) == 0 && ::fstat(other.get(), &otherAfter) == 0 &&
           unchanged(entry.item, itemAfter) && unchanged(*entry.counterpart, otherAfter);
}

bool pruneTree(const RootHandle::Entry& entry, const RootHandle::Entry* counterpart, const MayGo& mayGo,
               const fs::path& shownAs, std::string_view markName) {
    const std::string what = "Cannot remove " + shownAs.string();
    // A tree that is its own counterpart cannot make way for itself: it stays whole, as the
    // writing boundary, which asks first, has it.
    if (counterpart && counterpart->name == entry.name) {
        struct stat folder {};
        struct stat otherFolder {};
        if (::fstat(entry.folder.get(), &folder) != 0 || ::fstat(counterpart->folder.get(), &otherFolder) != 0) {
            fail(errno, what);
        }
        if (ItemIdentity::of(folder) == ItemIdentity::of(otherFolder)) return false;
    }
    const auto markFiles = markName.empty() ? std::vector<std::string>{} : markFileNames(markName);
    return pruneAt(entry.folder.get(), entry.name, counterpart ? counterpart->folder.get() : -1,
                   counterpart ? counterpart->name : std::string(), mayGo, markFiles, what);
}

// --- marks --------------------------------------------------------------------------

namespace {

std::string attributeName(std::string_view name) { return "user." + std::string(name); }

// What file systems answer when they keep no extended attributes of this kind (some FUSE
// and network file systems refuse them as not permitted).
bool noAttributes(int err) { return err == ENOTSUP || err == EOPNOTSUPP || err == EPERM || err == ENOSYS; }

constexpr std::size_t kLongestMark = 4096;
// Names enough that a user's files at some of them (or marks copied in) leave one free.
constexpr int kMarkFileNames = 8;

// What the file `file` of the folder open as `folder` holds, when it is a regular file no
// longer than a mark.
std::optional<std::string> readMarkFile(int folder, const std::string& file, struct stat* info = nullptr) {
    UniqueFd opened(::openat(folder, file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!opened) return std::nullopt;
    struct stat found {};
    if (::fstat(opened.get(), &found) != 0 || !S_ISREG(found.st_mode) ||
        static_cast<std::size_t>(found.st_size) > kLongestMark) {
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(found.st_size), '\0');
    const ssize_t n = ::read(opened.get(), text.data(), text.size());
    if (n < 0) return std::nullopt;
    text.resize(static_cast<std::size_t>(n));
    if (info != nullptr) *info = found;
    return text;
}

bool nameIsFree(int folder, const std::string& file) {
    struct stat info {};
    return folder < 0 || (::fstatat(folder, file.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT);
}

}  // namespace

std::vector<std::string> markFileNames(std::string_view name) {
    std::vector<std::string> names{"." + std::string(name)};
    for (int n = 2; n <= kMarkFileNames; ++n) names.push_back("." + std::string(name) + "-" + std::to_string(n));
    return names;
}

bool setMark(int item, bool isFolder, std::string_view name, std::string_view value, MadeItems* made, int alsoFreeIn) {
    const auto attribute = attributeName(name);
    int err = ENOTSUP;
    if (!attributesRefused.load(std::memory_order_relaxed)) {
        if (::fsetxattr(item, attribute.c_str(), value.data(), value.size(), 0) == 0) return true;
        err = errno;
    }
    if (!noAttributes(err)) fail(err, "Cannot mark an item in flight");
    if (!isFolder) return false;
    for (const auto& file : markFileNames(name)) {
        if (!nameIsFree(alsoFreeIn, file)) continue;
        UniqueFd written(::openat(item, file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!written) {
            if (errno == EEXIST) continue;
            fail(errno, "Cannot mark an item in flight");
        }
        struct stat info {};
        const bool looked = ::fstat(written.get(), &info) == 0;
        if (made != nullptr && looked) made->made(info);
        if (::write(written.get(), value.data(), value.size()) != static_cast<ssize_t>(value.size())) {
            const int failure = errno;
            if (made != nullptr && looked) made->forget(info);
            ::unlinkat(item, file.c_str(), 0);
            fail(failure, "Cannot mark an item in flight");
        }
        return true;
    }
    throw Error(std::string(kPosixErrorDomain), EEXIST,
                "the names its mark may take, ." + std::string(name) + " and ." + std::string(name) + "-2 to -" +
                    std::to_string(kMarkFileNames) + ", are all taken by files in the folder");
}

std::vector<std::string> readMarks(int item, bool isFolder, std::string_view name) {
    std::vector<std::string> found;
    const auto attribute = attributeName(name);
    if (!attributesRefused.load(std::memory_order_relaxed)) {
        char buffer[kLongestMark];
        const ssize_t n = ::fgetxattr(item, attribute.c_str(), buffer, sizeof buffer);
        if (n >= 0) found.emplace_back(buffer, static_cast<std::size_t>(n));
    }
    if (!isFolder) return found;
    for (const auto& file : markFileNames(name)) {
        if (auto text = readMarkFile(item, file)) found.push_back(std::move(*text));
    }
    return found;
}

void removeMark(int item, bool isFolder, std::string_view name, std::string_view value, MadeItems* made) {
    ::fremovexattr(item, attributeName(name).c_str());
    if (!isFolder) return;
    for (const auto& file : markFileNames(name)) {
        struct stat info {};
        if (const auto text = readMarkFile(item, file, &info); text && *text == value) {
            struct stat named {};
            // Only the file that was read, should another have taken its name meanwhile.
            if (::fstatat(item, file.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
                ItemIdentity::of(named) != ItemIdentity::of(info)) {
                continue;
            }
            // Forgotten while it still holds its identity, which anything made once it is gone may get.
            const bool wasMade = made != nullptr && made->isMade(info);
            if (wasMade) made->forget(info);
            if (::unlinkat(item, file.c_str(), 0) != 0 && wasMade) made->made(info);
        }
    }
}

bool announce(int folder, std::string_view name, std::string_view key, std::string_view value) {
    if (attributesRefused.load(std::memory_order_relaxed)) return false;
    const auto attribute = attributeName(name) + "." + std::string(key);
    if (::fsetxattr(folder, attribute.c_str(), value.data(), value.size(), 0) == 0) return true;
    if (noAttributes(errno)) return false;
    fail(errno, "Cannot announce an item in flight");
}

void withdraw(int folder, std::string_view name, std::string_view key) {
    ::fremovexattr(folder, (attributeName(name) + "." + std::string(key)).c_str());
}

std::map<std::string, std::string> announcements(int folder, std::string_view name) {
    std::map<std::string, std::string> found;
    if (attributesRefused.load(std::memory_order_relaxed)) return found;
    const ssize_t size = ::flistxattr(folder, nullptr, 0);
    if (size <= 0) return found;
    std::string names(static_cast<std::size_t>(size), '\0');
    const ssize_t listed = ::flistxattr(folder, names.data(), names.size());
    if (listed <= 0) return found;
    names.resize(static_cast<std::size_t>(listed));
    const auto prefix = attributeName(name) + ".";
    for (std::size_t at = 0; at < names.size();) {
        const std::string attribute = names.c_str() + at;
        at += attribute.size() + 1;
        if (attribute.rfind(prefix, 0) != 0) continue;
        char buffer[kLongestMark];
        const ssize_t n = ::fgetxattr(folder, attribute.c_str(), buffer, sizeof buffer);
        if (n >= 0) found[attribute.substr(prefix.size())] = std::string(buffer, static_cast<std::size_t>(n));
    }
    return found;
}

void setExtendedAttributesRefusedForTesting(bool refused) { attributesRefused.store(refused); }

namespace {

// Who holds the whole-file lock of the kind `kind` ("FLOCK") on the item `locked`, as
// /proc/locks lists it: "<n>: FLOCK  ADVISORY  WRITE <pid> <major>:<minor>:<inode> 0 EOF".
LockHolder holderOf(const struct stat& locked, std::string_view kind) {
    LockHolder holder;
    FILE* locks = std::fopen("/proc/locks", "re");
    if (locks == nullptr) return holder;
    char line[512];
    while (std::fgets(line, sizeof line, locks) != nullptr) {
        char type[16] = {}, mode[16] = {}, access[16] = {};
        long pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(line, "%*[^:]: %15s %15s %15s %ld %x:%x:%llu", type, mode, access, &pid, &major, &minor, &inode) != 7 ||
            kind != type || major != ::major(locked.st_dev) || minor != ::minor(locked.st_dev) || inode != locked.st_ino) {
            continue;
        }
        holder.process = static_cast<pid_t>(pid);
        break;
    }
    std::fclose(locks);
    if (holder.process <= 0) return holder;
    const std::string process = "/proc/" + std::to_string(holder.process);
    if (FILE* comm = std::fopen((process + "/comm").c_str(), "re")) {
        char name[64] = {};
        if (std::fgets(name, sizeof name, comm) != nullptr) holder.name = name;
        std::fclose(comm);
        while (!holder.name.empty() && holder.name.back() == '\n') holder.name.pop_back();
    }
    if (FILE* stat = std::fopen((process + "/stat").c_str(), "re")) {
        char text[512] = {};
        const std::size_t read = std::fread(text, 1, sizeof text - 1, stat);
        std::fclose(stat);
        // "<pid> (<name>) <state> ...", where the name may hold anything.
        const std::string_view fields(text, read);
        const auto close = fields.rfind(')');
        holder.stopped = close != std::string_view::npos && close + 2 < fields.size() &&
                         (fields[close + 2] == 'T' || fields[close + 2] == 't');
    }
    return holder;
}

}  // namespace

FolderLock::FolderLock(UniqueFd folder, const fs::path& shownAs, const WaitNotice& waiting) : fd_(std::move(folder)) {
    int how = LOCK_EX | LOCK_NB;
    while (::flock(fd_.get(), how) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK && (how & LOCK_NB) != 0) {
            // Held by another: said once, then waited for.
            struct stat locked {};
            if (waiting && ::fstat(fd_.get(), &locked) == 0) waiting(holderOf(locked, "FLOCK"));
            how = LOCK_EX;
            continue;
        }
        fail(errno, "Cannot lock " + shownAs.string());
    }
}

}  // namespace platform::foundation::files
