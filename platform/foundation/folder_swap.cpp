#include "platform/foundation/folder_swap.hpp"

#include "platform/foundation/error.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

// Copies what the folder open as `from` holds into the folder open as `to`.
void copyInto(int from, int to, const std::function<bool(const std::string&)>& skip, const std::string& what) {
    for (const auto& name : namesIn(from, what)) {
        if (skip && skip(name)) continue;
        struct stat info {};
        if (::fstatat(from, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;  // gone meanwhile
            fail(errno, what);
        }
        if (S_ISDIR(info.st_mode)) {
            UniqueFd source(::openat(from, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!source) fail(errno, what);
            if (::mkdirat(to, name.c_str(), (info.st_mode & 07777) | 0700) != 0) fail(errno, what);
            UniqueFd target(::openat(to, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!target) fail(errno, what);
            copyInto(source.get(), target.get(), skip, what);
        } else if (S_ISLNK(info.st_mode)) {
            std::vector<char> buffer(static_cast<std::size_t>(info.st_size) + 256);
            const ssize_t length = ::readlinkat(from, name.c_str(), buffer.data(), buffer.size() - 1);
            if (length < 0) fail(errno, what);
            buffer[static_cast<std::size_t>(length)] = '\0';
            if (::symlinkat(buffer.data(), to, name.c_str()) != 0) fail(errno, what);
        } else if (S_ISREG(info.st_mode)) {
            UniqueFd source(::openat(from, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
            if (!source) fail(errno, what);
            struct stat opened {};
            if (::fstat(source.get(), &opened) != 0) fail(errno, what);
            // Something else swapped in since it was looked at: no content of ours.
            if (!S_ISREG(opened.st_mode)) continue;
            UniqueFd target(::openat(to, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                     opened.st_mode & 07777));
            if (!target) fail(errno, what);
            copyFile(source.get(), target.get(), what);
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

void copyTree(const RootHandle::Entry& from, const RootHandle::Entry& to, const fs::path& shownAs,
              const std::function<bool(const std::string&)>& skip) {
    const std::string what = "Cannot copy " + shownAs.string();
    UniqueFd source(::openat(from.folder.get(), from.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!source) fail(errno, what);
    struct stat info {};
    if (::fstat(source.get(), &info) != 0) fail(errno, what);
    if (::mkdirat(to.folder.get(), to.name.c_str(), (info.st_mode & 07777) | 0700) != 0) fail(errno, what);
    UniqueFd target(::openat(to.folder.get(), to.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!target) fail(errno, what);
    copyInto(source.get(), target.get(), skip, what);
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

FolderLock::FolderLock(UniqueFd folder, const fs::path& shownAs) : fd_(std::move(folder)) {
    while (::flock(fd_.get(), LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        fail(errno, "Cannot lock " + shownAs.string());
    }
}

}  // namespace platform::foundation::files
