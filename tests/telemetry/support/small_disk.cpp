#include "telemetry/support/small_disk.hpp"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace rddi::testkit {

namespace fs = std::filesystem;

namespace {
constexpr const char* kFiller = ".filler";
}

SmallDisk::SmallDisk(const std::string& size, std::optional<fs::path> at) : path_(at.value_or(dir_.path() / "disk")) {
    fs::create_directories(path_);
    if (::mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, ("size=" + size + ",mode=0700").c_str()) == 0) {
        mounted_ = true;
    } else {
        error_ = std::strerror(errno);
    }
}

SmallDisk::~SmallDisk() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
}

std::uintmax_t SmallDisk::available() const {
    struct statvfs disk {};
    if (::statvfs(path_.c_str(), &disk) != 0) return 0;
    return static_cast<std::uintmax_t>(disk.f_bavail) * disk.f_frsize;
}

bool SmallDisk::fillLeaving(std::uintmax_t left) {
    const int fd = ::open((path_ / kFiller).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const std::vector<char> block(4096, 'f');
    while (available() > left) {
        if (::write(fd, block.data(), block.size()) <= 0) break;
    }
    ::close(fd);
    return available() <= left && available() + 2 * block.size() > left;
}

void SmallDisk::emptyFiller() {
    std::error_code ignored;
    fs::remove(path_ / kFiller, ignored);
}

}  // namespace rddi::testkit
