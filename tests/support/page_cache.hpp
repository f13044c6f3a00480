#pragma once
// What of a file the system holds in memory (its page cache), and whether a folder's file
// system writes files past that memory: for tests of writes that must not fill it.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <vector>

namespace gwtest {

// The bytes of `path` in the page cache now (whole pages); 0 for an empty file.
inline std::uintmax_t cachedBytes(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat facts {};
    std::uintmax_t cached = 0;
    if (::fstat(fd, &facts) == 0 && facts.st_size > 0) {
        const auto size = static_cast<std::size_t>(facts.st_size);
        const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        // Mapping a file reads none of it; mincore then tells which of its pages are held.
        void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
        if (mapped != MAP_FAILED) {
            std::vector<unsigned char> held((size + page - 1) / page);
            if (::mincore(mapped, size, held.data()) == 0) {
                for (const unsigned char h : held) cached += (h & 1) ? page : 0;
            }
            ::munmap(mapped, size);
        }
    }
    ::close(fd);
    return cached;
}

// True where files in `folder` go to a disk when written with O_DIRECT: the file system
// says what alignment such writes need (tmpfs takes O_DIRECT too, but keeps every byte in
// memory; ramfs refuses it). It says so of files only: one is made and removed.
inline bool writesPastPageCache(const std::filesystem::path& folder) {
    const auto probe = folder / ".direct-probe";
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    struct statx facts {};
    const bool direct = ::statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &facts) == 0 &&
                        (facts.stx_mask & STATX_DIOALIGN) != 0 && facts.stx_dio_offset_align > 0;
    ::close(fd);
    ::unlink(probe.c_str());
    return direct;
}

}  // namespace gwtest
