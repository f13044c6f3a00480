#include "platform/foundation/folder_swap.hpp"

#include "platform/foundation/error.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

namespace platform::foundation::files {

namespace fs = std::filesystem;

void copyTree(const fs::path& from, const fs::path& to, const std::function<bool(const fs::path&)>& skip) {
    const auto fail = [&](const std::error_code& error) {
        throw Error::posix(error.value(), "Cannot copy " + from.string() + " to " + to.string());
    };
    std::error_code error;
    if (!fs::create_directory(to, from, error) || error) fail(error ? error : std::make_error_code(std::errc::file_exists));
    for (fs::directory_iterator it(from, error), end; !error && it != end; it.increment(error)) {
        const auto& source = it->path();
        if (skip && skip(source)) continue;
        const auto target = to / source.filename();
        const auto status = it->symlink_status(error);
        if (error) break;
        if (fs::is_directory(status)) {
            copyTree(source, target, skip);
        } else if (fs::is_other(status)) {
            // A FIFO, socket or device is no content we wrote or can carry over: copying it
            // would fail the folder, and reading it could block for ever.
            continue;
        } else {
            fs::copy(source, target, fs::copy_options::copy_symlinks, error);
            if (error) break;
        }
    }
    if (error) fail(error);
}

namespace {

bool unsupported(int err) { return err == EINVAL || err == ENOSYS || err == ENOTSUP; }

[[noreturn]] void fail(int err, const std::string& what) { throw Error::posix(err, what); }

}  // namespace

bool exchangeOrMove(const fs::path& from, const fs::path& to, const fs::path& aside) {
    const std::string what = "Cannot move " + from.string() + " to " + to.string();
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return false;
    if (unsupported(errno)) {
        struct stat existing {};
        if (::lstat(to.c_str(), &existing) != 0) {
            if (errno != ENOENT) fail(errno, what);
            if (::rename(from.c_str(), to.c_str()) != 0) fail(errno, what);
            return false;
        }
    } else if (errno != EEXIST) {
        fail(errno, what);
    }
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) return true;
    if (!unsupported(errno)) fail(errno, what);
    if (::rename(to.c_str(), aside.c_str()) != 0) fail(errno, what);
    if (::rename(from.c_str(), to.c_str()) != 0) {
        const int err = errno;
        ::rename(aside.c_str(), to.c_str());
        fail(err, what);
    }
    if (::rename(aside.c_str(), from.c_str()) != 0) fail(errno, what);
    return true;
}

void removeTree(const fs::path& path) {
    std::error_code error;
    fs::remove_all(path, error);
    if (error) throw Error::posix(error.value(), "Cannot remove " + path.string());
}

FolderLock::FolderLock(const fs::path& folder) {
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) throw Error::posix(errno, "Cannot open " + folder.string());
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        const int err = errno;
        ::close(fd_);
        throw Error::posix(err, "Cannot lock " + folder.string());
    }
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace platform::foundation::files
