#include "platform/foundation/atomic_file.hpp"

#include "platform/foundation/error.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::foundation::files {

namespace {
// Large enough that a write call costs nothing next to the bytes it carries.
constexpr std::size_t kBufferSize = 1u << 20;
// How much is written before the disk is asked to start on it: a file of gigabytes is
// then mostly on the disk by the time it is synced, not all of it still to write.
constexpr off_t kWritebackStep = off_t{32} << 20;
// The temporary file's name: "." + the file's name + "." + what mkostemp puts for these.
constexpr std::string_view kTemporaryPattern = "XXXXXX";

// Whole-file lock of the open file description: a second open of the same file, in this
// process or another, conflicts with it, and it goes when the description is closed
// (the process ends however it ends).
bool lockWhole(int fd, short type, bool wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    while (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

bool isTemporaryName(std::string_view name, std::string_view prefix) {
    if (name.size() != prefix.size() + kTemporaryPattern.size() || name.substr(0, prefix.size()) != prefix) return false;
    for (const char c : name.substr(prefix.size())) {
        const bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alphanumeric) return false;
    }
    return true;
}
}  // namespace

AtomicFileWriter::AtomicFileWriter(const std::filesystem::path& path, unsigned newFileMode) : path_(path) {
    std::filesystem::path dir = path.parent_path();
    if (dir.empty()) dir = ".";
    const std::string prefix = (dir / ("." + path.filename().string() + ".")).string();
    for (int attempt = 1;; ++attempt) {
        std::string pattern = prefix + std::string(kTemporaryPattern);
        fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd_ < 0) throw Error::posix(errno, "Cannot write " + path_.string());
        temporary_ = pattern;
        // Where the file system has no such locks the write goes on unlocked: a sweep
        // cannot take its lock there either, so it leaves the file alone.
        const bool locked = lockWhole(fd_, F_WRLCK, true);
        // A sweep may have found the file in the moment before it was locked, and taken
        // it for a stale one: then it is gone, and another is made.
        struct stat made {};
        if (!locked || attempt == 100 || (::fstat(fd_, &made) == 0 && made.st_nlink > 0)) break;
        ::close(fd_);
    }
    struct stat existing {};
    mode_t mode = static_cast<mode_t>(newFileMode);
    if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) mode = existing.st_mode & 07777;
    if (::fchmod(fd_, mode) != 0) fail(errno);
    buffer_.reserve(kBufferSize);
}

AtomicFileWriter::~AtomicFileWriter() {
    if (fd_ < 0) return;
    // Removed while still locked, so that no sweep meets it unlocked.
    ::unlink(temporary_.c_str());
    ::close(fd_);
}

void AtomicFileWriter::fail(int error) {
    if (fd_ >= 0) {
        ::unlink(temporary_.c_str());
        ::close(fd_);
        fd_ = -1;
    }
    throw Error::posix(error, "Cannot write " + path_.string());
}

void AtomicFileWriter::writeOut(std::string_view bytes) {
    while (!bytes.empty()) {
        // At most a buffer's worth at a time: one call of hundreds of megabytes (a
        // picture's text kept from another state) went into the page cache at a fifth of
        // the speed of the same bytes in pieces of 1 MB.
        const ssize_t n = ::write(fd_, bytes.data(), std::min(bytes.size(), kBufferSize));
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
        written_ += n;
        if (written_ - startedWriteback_ >= kWritebackStep) {
            // Only a hint: whatever it does not do, the fsync at commit does.
            ::sync_file_range(fd_, startedWriteback_, written_ - startedWriteback_, SYNC_FILE_RANGE_WRITE);
            startedWriteback_ = written_;
        }
    }
}

void AtomicFileWriter::write(std::string_view bytes) {
    if (fd_ < 0) throw Error::posix(EBADF, "Cannot write " + path_.string());
    if (buffer_.size() + bytes.size() <= kBufferSize) {
        buffer_.append(bytes);
        return;
    }
    writeOut(buffer_);
    buffer_.clear();
    if (bytes.size() >= kBufferSize) {
        writeOut(bytes);
    } else {
        buffer_.append(bytes);
    }
}

void AtomicFileWriter::commit() {
    if (fd_ < 0) throw Error::posix(EBADF, "Cannot write " + path_.string());
    writeOut(buffer_);
    buffer_.clear();
    if (::fsync(fd_) != 0) fail(errno);
    // Renamed before it is closed, while the lock still says it is being written.
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) fail(errno);
    // The bytes are on the disk (fsync said so) and in place: closing can no longer
    // lose anything.
    ::close(fd_);
    fd_ = -1;
}

int AtomicFileWriter::removeStaleTemporaries(const std::filesystem::path& path) {
    std::filesystem::path dir = path.parent_path();
    if (dir.empty()) dir = ".";
    const int folder = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return 0;
    DIR* listing = ::fdopendir(::dup(folder));
    if (!listing) {
        ::close(folder);
        return 0;
    }
    const std::string prefix = "." + path.filename().string() + ".";
    int removed = 0;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (!isTemporaryName(name, prefix)) continue;
        const int fd = ::openat(folder, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat opened {};
        struct stat named {};
        // A writer at work holds its lock until the file is renamed into place or
        // removed: only a file nobody holds is stale, and only the file that was opened
        // is removed.
        if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && lockWhole(fd, F_RDLCK, false) &&
            ::fstatat(folder, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == opened.st_dev &&
            named.st_ino == opened.st_ino && ::unlinkat(folder, entry->d_name, 0) == 0) {
            ++removed;
        }
        ::close(fd);
    }
    ::closedir(listing);
    ::close(folder);
    return removed;
}

}  // namespace platform::foundation::files
