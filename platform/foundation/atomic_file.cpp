#include "platform/foundation/atomic_file.hpp"

#include "platform/foundation/error.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace platform::foundation::files {

namespace {
// Large enough that a write call costs nothing next to the bytes it carries.
constexpr std::size_t kBufferSize = 1u << 20;
// How much is written before the disk is asked to start on it: a file of gigabytes is
// then mostly on the disk by the time it is synced, not all of it still to write.
constexpr off_t kWritebackStep = off_t{32} << 20;
// The temporary file's name: "." + the file's name + this tag + as many random letters and
// digits. The name alone proves nothing (anyone may name a file so); the mark does.
constexpr std::string_view kTemporaryTag = ".unfinished-";
constexpr std::size_t kTemporaryRandomLength = 12;
// The mark a writer gives its temporary file: an extended attribute naming the file it
// stands in for and the temporary file's own device and inode, so that neither a user's
// file of such a name nor a copy of a temporary file (whose attributes came along) counts.
constexpr const char* kTemporaryMarkAttribute = "user.atomic-file.unfinished";
constexpr std::size_t kLongestTemporaryMark = 1024;
// Past the page cache: the buffers the bytes are gathered in, each written in one call
// (which the block layer splits into requests that are all under way at once), and how
// many there are, so that the caller fills some while one is written.
constexpr std::size_t kDirectBufferSize = std::size_t{8} << 20;
constexpr std::size_t kDirectBuffers = 4;

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

// Asks the disk to start writing what was written to the page cache since `started`, once
// that is a step's worth. Only a hint: whatever it does not do, the fsync at commit does.
void hintWriteback(int fd, long long& started, long long written) {
    if (written - started < kWritebackStep) return;
    ::sync_file_range(fd, started, written - started, SYNC_FILE_RANGE_WRITE);
    started = written;
}

// Writes `size` bytes at `at` through the page cache, moving `at` past what was written:
// 0 or errno. At most a buffer's worth at a time: one call of hundreds of megabytes (a
// picture's text kept from another state) went into the page cache at a fifth of the
// speed of the same bytes in pieces of 1 MB.
int writeThroughCache(int fd, const char* data, std::size_t size, long long& at, long long& hinted) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, std::min(size, kBufferSize), at);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        at += n;
        hintWriteback(fd, hinted, at);
    }
    return 0;
}

// Turns direct input and output on or off for `fd`; errno when it cannot.
int setDirect(int fd, bool on) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return errno;
    return ::fcntl(fd, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) == 0 ? 0 : errno;
}

// What offsets and lengths a direct write to `fd` must be multiples of (memory too); 0
// where the file takes no direct writes.
std::size_t directAlignment(int fd) {
    struct statx facts {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &facts) == 0 && (facts.stx_mask & STATX_DIOALIGN) != 0) {
        const std::size_t needed = std::max(facts.stx_dio_offset_align, facts.stx_dio_mem_align);
        if (needed == 0) return 0;
        return std::max<std::size_t>(needed, 4096);
    }
    // The file system does not say (tmpfs): a page is what any of them asks at most.
    return 4096;
}

bool isAlphanumeric(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

std::string randomLettersAndDigits(std::size_t count) {
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    std::string text(count, 'a');
    for (auto& c : text) c = letters[random() % (sizeof letters - 1)];
    return text;
}

bool isTemporaryName(std::string_view name, std::string_view prefix) {
    if (name.size() != prefix.size() + kTemporaryRandomLength || name.substr(0, prefix.size()) != prefix) return false;
    for (const char c : name.substr(prefix.size())) {
        if (!isAlphanumeric(c)) return false;
    }
    return true;
}

std::string temporaryMark(const std::filesystem::path& path, const struct stat& temporary) {
    return "temporary file of " + path.filename().string() + "\n" + std::to_string(temporary.st_dev) + " " +
           std::to_string(temporary.st_ino);
}

// Whether the temporary file open as `fd` carries the mark its writer gave it.
bool carriesItsMark(int fd, const std::filesystem::path& path, const struct stat& opened) {
    char text[kLongestTemporaryMark];
    const ssize_t n = ::fgetxattr(fd, kTemporaryMarkAttribute, text, sizeof text);
    return n >= 0 && std::string_view(text, static_cast<std::size_t>(n)) == temporaryMark(path, opened);
}
}  // namespace

// The caller's bytes are gathered in aligned buffers of the writer's own, which a thread
// writes to the file (O_DIRECT: from those buffers to the disk) while the caller fills the
// next; the last, partial buffer is written at commit, its unaligned end through the page
// cache. A write the file system refuses to take directly (EINVAL, where a buffered write
// may still succeed) is made through the page cache, as is everything after it.
struct AtomicFileWriter::Direct {
    struct Free {
        void operator()(char* p) const { std::free(p); }
    };

    // Null when direct writes cannot be set up for `fd`; it then has O_DIRECT off.
    static std::unique_ptr<Direct> start(int fd) {
        const std::size_t alignment = directAlignment(fd);
        if (alignment == 0 || kDirectBufferSize % alignment != 0 || setDirect(fd, true) != 0) return nullptr;
        auto direct = std::make_unique<Direct>();
        direct->fd = fd;
        direct->alignment = alignment;
        try {
            for (std::size_t i = 0; i < kDirectBuffers; ++i) {
                void* memory = nullptr;
                if (::posix_memalign(&memory, alignment, kDirectBufferSize) != 0) throw std::bad_alloc();
                direct->buffers.emplace_back(static_cast<char*>(memory));
                if (i > 0) direct->spare.push_back(i);
            }
            direct->thread = std::thread([d = direct.get()] { d->writeFull(); });
        } catch (...) {
            setDirect(fd, false);
            return nullptr;
        }
        return direct;
    }

    ~Direct() { stop(); }

    // 0, or why the bytes of an earlier buffer could not be written.
    int append(std::string_view bytes) {
        while (!bytes.empty()) {
            const std::size_t n = std::min(bytes.size(), kDirectBufferSize - filled);
            std::memcpy(buffers[filling].get() + filled, bytes.data(), n);
            filled += n;
            bytes.remove_prefix(n);
            if (filled < kDirectBufferSize) break;
            std::unique_lock lock(mutex);
            full.push_back({filling, offset});
            offset += static_cast<long long>(kDirectBufferSize);
            changed.notify_all();
            changed.wait(lock, [&] { return error != 0 || !spare.empty(); });
            if (error != 0) return error;
            filling = spare.back();
            spare.pop_back();
            filled = 0;
        }
        return 0;
    }

    // Writes what is left once the thread has written every full buffer; 0 or errno.
    int finish() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
            changed.notify_all();
        }
        thread.join();
        if (error != 0) return error;
        const std::size_t aligned = filled / alignment * alignment;
        if (const int failed = writeAt(buffers[filling].get(), aligned, offset)) return failed;
        if (aligned == filled) return 0;
        long long at = offset + static_cast<long long>(aligned);
        if (isDirect) {
            if (const int failed = setDirect(fd, false)) return failed;
            isDirect = false;
        }
        return writeThroughCache(fd, buffers[filling].get() + aligned, filled - aligned, at, hinted);
    }

    // Ends the thread without writing anything more.
    void stop() {
        if (!thread.joinable()) return;
        {
            std::lock_guard lock(mutex);
            stopping = true;
            if (error == 0) error = ECANCELED;
            changed.notify_all();
        }
        thread.join();
    }

    // The thread: each full buffer, in order, until finish() or stop().
    void writeFull() {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return stopping || !full.empty(); });
            if (full.empty()) return;
            const auto [index, at] = full.front();
            full.pop_front();
            const bool failed = error != 0;
            lock.unlock();
            const int result = failed ? 0 : writeAt(buffers[index].get(), kDirectBufferSize, at);
            lock.lock();
            if (result != 0 && error == 0) error = result;
            spare.push_back(index);
            changed.notify_all();
        }
    }

    // Writes `size` bytes at `at`: 0 or errno. Only one thread at a time calls it.
    int writeAt(const char* data, std::size_t size, long long at) {
        while (isDirect && size > 0) {
            const ssize_t n = ::pwrite(fd, data, size, at);
            if (n < 0) {
                if (errno == EINTR) continue;
                // Refused as a direct write (a file system that takes none after all, or
                // wants other alignments): written through the page cache from here on.
                if (errno != EINVAL && errno != EOPNOTSUPP) return errno;
                if (const int failed = setDirect(fd, false)) return failed;
                isDirect = false;
                hinted = at;
                break;
            }
            data += n;
            size -= static_cast<std::size_t>(n);
            at += n;
        }
        return writeThroughCache(fd, data, size, at, hinted);
    }

    int fd = -1;
    std::size_t alignment = 0;
    bool isDirect = true;
    long long hinted = 0;  // where the page cache's writing was last asked to start
    std::vector<std::unique_ptr<char, Free>> buffers;
    std::size_t filling = 0;  // the buffer being filled, how full it is, and its place in the file
    std::size_t filled = 0;
    long long offset = 0;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<std::size_t, long long>> full;  // buffers to write, and where
    std::vector<std::size_t> spare;
    int error = 0;
    bool stopping = false;
    std::thread thread;
};

bool AtomicFileWriter::openUnnamed(const std::filesystem::path& dir, const std::string& prefix) {
    // Made without a name, then locked and marked, and only then given its temporary name: a
    // writer killed at any moment leaves no temporary file that a later sweep cannot tell.
    fd_ = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        // No such files on this file system (or in this folder): made under a name at once.
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOSYS) return false;
        throw Error::posix(errno, "Cannot write " + path_.string());
    }
    lockWhole(fd_, F_WRLCK, true);
    struct stat made {};
    if (::fstat(fd_, &made) == 0) {
        const auto mark = temporaryMark(path_, made);
        ::fsetxattr(fd_, kTemporaryMarkAttribute, mark.data(), mark.size(), 0);
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    for (int attempt = 1;; ++attempt) {
        temporary_ = prefix + randomLettersAndDigits(kTemporaryRandomLength);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temporary_.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
        const int err = errno;
        if (err == EEXIST && attempt < 100) continue;
        ::close(fd_);
        fd_ = -1;
        // No /proc to give it a name through: made under a name at once.
        if (err == ENOENT) return false;
        throw Error::posix(err, "Cannot write " + path_.string());
    }
}

void AtomicFileWriter::openNamed(const std::string& prefix) {
    for (int attempt = 1;; ++attempt) {
        temporary_ = prefix + randomLettersAndDigits(kTemporaryRandomLength);
        fd_ = ::open(temporary_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            if (errno == EEXIST && attempt < 100) continue;
            throw Error::posix(errno, "Cannot write " + path_.string());
        }
        // Where the file system has no such locks the write goes on unlocked: a sweep
        // cannot take its lock there either, so it leaves the file alone.
        const bool locked = lockWhole(fd_, F_WRLCK, true);
        // A sweep may have found the file in the moment before it was locked, and taken
        // it for a stale one: then it is gone, and another is made.
        struct stat made {};
        const bool looked = ::fstat(fd_, &made) == 0;
        if (!locked || attempt >= 100 || !looked || made.st_nlink > 0) {
            // Marked once locked, so that no sweep meets it marked but unlocked while it is
            // written. A file system without extended attributes leaves it unmarked: a
            // write killed there leaves its temporary file for the user to remove.
            const auto mark = temporaryMark(path_, made);
            if (looked) ::fsetxattr(fd_, kTemporaryMarkAttribute, mark.data(), mark.size(), 0);
            return;
        }
        ::close(fd_);
    }
}

AtomicFileWriter::AtomicFileWriter(const std::filesystem::path& path, unsigned newFileMode, Route route)
    : path_(path) {
    std::filesystem::path dir = path.parent_path();
    if (dir.empty()) dir = ".";
    const std::string prefix = (dir / ("." + path.filename().string() + std::string(kTemporaryTag))).string();
    if (!openUnnamed(dir, prefix)) openNamed(prefix);
    struct stat existing {};
    mode_t mode = static_cast<mode_t>(newFileMode);
    if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) mode = existing.st_mode & 07777;
    if (::fchmod(fd_, mode) != 0) fail(errno);
    if (route == Route::pastPageCache) direct_ = Direct::start(fd_);
    if (!direct_) buffer_.reserve(kBufferSize);
}

AtomicFileWriter::~AtomicFileWriter() {
    // The thread writes no more to a file about to go.
    direct_.reset();
    if (fd_ < 0) return;
    // Removed while still locked, so that no sweep meets it unlocked.
    ::unlink(temporary_.c_str());
    ::close(fd_);
}

void AtomicFileWriter::fail(int error) {
    direct_.reset();
    if (fd_ >= 0) {
        ::unlink(temporary_.c_str());
        ::close(fd_);
        fd_ = -1;
    }
    throw Error::posix(error, "Cannot write " + path_.string());
}

void AtomicFileWriter::writeOut(std::string_view bytes) {
    if (const int error = writeThroughCache(fd_, bytes.data(), bytes.size(), written_, startedWriteback_)) fail(error);
}

void AtomicFileWriter::write(std::string_view bytes) {
    if (fd_ < 0) throw Error::posix(EBADF, "Cannot write " + path_.string());
    if (direct_) {
        if (const int error = direct_->append(bytes)) fail(error);
        return;
    }
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
    if (direct_) {
        if (const int error = direct_->finish()) fail(error);
        direct_.reset();
    } else {
        writeOut(buffer_);
        buffer_.clear();
    }
    // Written directly too: the file's size and where its blocks lie are not on the disk
    // until now.
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
    const std::string prefix = "." + path.filename().string() + std::string(kTemporaryTag);
    int removed = 0;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (!isTemporaryName(name, prefix)) continue;
        const int fd = ::openat(folder, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat opened {};
        struct stat named {};
        // Only a file its writer marked is a temporary file. A writer at work holds its
        // lock until the file is renamed into place or removed: only a file nobody holds
        // is stale, and only the file that was opened is removed.
        if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && carriesItsMark(fd, path, opened) &&
            lockWhole(fd, F_RDLCK, false) &&
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
