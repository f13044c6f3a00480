#include "platform/foundation/atomic_file.hpp"

#include "platform/foundation/error.hpp"

#include <cerrno>
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
}  // namespace

AtomicFileWriter::AtomicFileWriter(const std::filesystem::path& path, unsigned newFileMode) : path_(path) {
    std::filesystem::path dir = path.parent_path();
    if (dir.empty()) dir = ".";
    std::string pattern = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
    fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ < 0) throw Error::posix(errno, "Cannot write " + path_.string());
    temporary_ = pattern;
    struct stat existing {};
    mode_t mode = static_cast<mode_t>(newFileMode);
    if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) mode = existing.st_mode & 07777;
    if (::fchmod(fd_, mode) != 0) fail(errno);
    buffer_.reserve(kBufferSize);
}

AtomicFileWriter::~AtomicFileWriter() {
    if (fd_ < 0) return;
    ::close(fd_);
    ::unlink(temporary_.c_str());
}

void AtomicFileWriter::fail(int error) {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(temporary_.c_str());
        fd_ = -1;
    }
    throw Error::posix(error, "Cannot write " + path_.string());
}

void AtomicFileWriter::writeOut(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
        written_ += n;
    }
    if (written_ - startedWriteback_ >= kWritebackStep) {
        // Only a hint: whatever it does not do, the fsync at commit does.
        ::sync_file_range(fd_, startedWriteback_, written_ - startedWriteback_, SYNC_FILE_RANGE_WRITE);
        startedWriteback_ = written_;
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
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 || ::rename(temporary_.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary_.c_str());
        throw Error::posix(error, "Cannot write " + path_.string());
    }
}

}  // namespace platform::foundation::files
