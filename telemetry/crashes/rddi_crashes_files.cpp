#include "telemetry/crashes/rddi_crashes_files.hpp"

#include "crashreporter/crash_reporter.hpp"
#include "crashreporter/report.hpp"
#include "crashreporter/report_location.hpp"
#include "platform/foundation/files.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace rddi {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
using pf::files::UniqueFd;

namespace {

constexpr int kNoFollow = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

}  // namespace

bool RDDICrashesFiles::isOwnFile(const struct stat& info) { return lvcrash::lvcrash_is_own_file(info); }

bool RDDICrashesFiles::setAsideUnlessOwnFile(const fs::path& path, const std::string& role) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || isOwnFile(info)) return true;
    std::error_code ec;
    if (S_ISREG(info.st_mode)) {
        // Someone's file, under another name too or another user's: kept, beside the name.
        const std::string kind = info.st_uid != ::geteuid() ? "file of another user" : "file with another name";
        const auto aside = pf::files::setAsideDamaged(path, ec, ".aside");
        if (aside.empty() && ec != std::errc::no_such_file_or_directory) {
            RDDILogError(kRDDICrashesLogTag, "A {} was found in place of {} \"{}\" and could not be moved aside ({}).",
                         kind, role, path.string(), ec.message());
            return false;
        }
        if (!aside.empty()) {
            RDDILogWarning(kRDDICrashesLogTag, "A {} was found in place of {} \"{}\"; it was moved to \"{}\".", kind,
                           role, path.string(), aside.string());
        }
        return true;
    }
    const std::string kind = lvcrash::entryKindName(info.st_mode);
    // Never followed: a link goes, what it leads to stays; a folder goes with what it holds.
    if (S_ISDIR(info.st_mode)) {
        fs::remove_all(path, ec);
    } else if (::unlink(path.c_str()) != 0) {
        ec = std::error_code(errno, std::generic_category());
    }
    if (ec) {
        RDDILogError(kRDDICrashesLogTag, "A {} was found in place of {} \"{}\" and could not be removed ({}).", kind,
                     role, path.string(), ec.message());
        return false;
    }
    RDDILogWarning(kRDDICrashesLogTag, "A {} was found in place of {} \"{}\"; it was removed.", kind, role,
                   path.string());
    return true;
}

UniqueFd RDDICrashesFiles::openRegular(const fs::path& path, int access) {
    UniqueFd fd(::open(path.c_str(), access | kNoFollow));
    struct stat info {};
    if (fd && (::fstat(fd.get(), &info) != 0 || !isOwnFile(info))) {
        fd.reset();
        errno = S_ISDIR(info.st_mode) ? EISDIR : S_ISREG(info.st_mode) ? EPERM : EINVAL;
    }
    return fd;
}

UniqueFd RDDICrashesFiles::openOrCreate(const fs::path& path, int access, const std::string& role) {
    // Twice at most: once more after something that was no file was set aside.
    for (int attempt = 0; attempt < 2; ++attempt) {
        UniqueFd made(::open(path.c_str(), access | O_CREAT | O_EXCL | kNoFollow, 0600));
        if (made || errno != EEXIST) {
            if (!made) RDDILogError(kRDDICrashesLogTag, "Couldn't create {} \"{}\": {}", role, path.string(), std::strerror(errno));
            return made;
        }
        if (UniqueFd existing = openRegular(path, access)) return existing;
        if (!setAsideUnlessOwnFile(path, role)) break;
    }
    return UniqueFd();
}

std::optional<pf::Data> RDDICrashesFiles::readAll(int fd, std::size_t limit) {
    int error = 0;
    return lvcrash::readCrashReportDescriptor(fd, &error, limit);
}

bool RDDICrashesFiles::stillNamed(int fd, const fs::path& path) {
    struct stat open {}, named {};
    return ::fstat(fd, &open) == 0 && open.st_nlink > 0 && ::lstat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

void RDDICrashesFiles::removeIfStillNamed(int fd, const fs::path& path) {
    if (stillNamed(fd, path)) ::unlink(path.c_str());
}

std::optional<RDDIClaimedFile> RDDIClaimedFile::claim(const fs::path& path, int access) {
    UniqueFd fd = RDDICrashesFiles::openRegular(path, access);
    // Locked by another launch: its own. Unlinked or replaced before the lock came: gone.
    if (!fd || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || !RDDICrashesFiles::stillNamed(fd.get(), path))
        return std::nullopt;
    return RDDIClaimedFile(std::move(fd), path, false);
}

std::optional<RDDIClaimedFile> RDDIClaimedFile::takeLock(const fs::path& path, const std::string& role) {
    // The holder removes the file as it lets go: a lock taken on a removed file is taken again.
    for (int attempt = 0; attempt < 8; ++attempt) {
        UniqueFd fd = RDDICrashesFiles::openOrCreate(path, O_RDONLY, role);
        if (!fd || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return std::nullopt;
        if (RDDICrashesFiles::stillNamed(fd.get(), path)) return RDDIClaimedFile(std::move(fd), path, true);
    }
    return std::nullopt;
}

std::optional<RDDIClaimedFile> RDDIClaimedFile::adopt(UniqueFd fd, const fs::path& path) {
    if (!fd || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return std::nullopt;
    return RDDIClaimedFile(std::move(fd), path, false);
}

RDDIClaimedFile::~RDDIClaimedFile() {
    if (removeAtEnd_ && fd_) RDDICrashesFiles::removeIfStillNamed(fd_.get(), path_);
}

void RDDIClaimedFile::remove() {
    if (fd_) RDDICrashesFiles::removeIfStillNamed(fd_.get(), path_);
    fd_.reset();
}

}  // namespace rddi
