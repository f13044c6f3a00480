#include "crashreporter/report_location.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "crashreporter/async.hpp"

namespace lvcrash {
namespace {

// Appends the decimal digits of value at out[at]; the new length, or 0 when they do not fit.
std::size_t append_number(char* out, std::size_t at, std::size_t size, unsigned long value) {
    char digits[24];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (at + count >= size) return 0;
    while (count > 0) out[at++] = digits[--count];
    return at;
}

// "<name>.<pid>.<tid>": a thread of another process never shares it, nor does a Mach-mode
// server thread writing while a signal handler of the same process does.
bool make_partial_name(const char* name, char* out) {
    const std::size_t length = lvcrash_async_strlen(name);
    if (length + 2 >= LVCRASH_REPORT_PARTIAL_NAME_SIZE) return false;
    lvcrash_async_memcpy(out, name, length);
    std::size_t at = length;
    out[at++] = '.';
    at = append_number(out, at, LVCRASH_REPORT_PARTIAL_NAME_SIZE, static_cast<unsigned long>(getpid()));
    if (at == 0 || at + 2 >= LVCRASH_REPORT_PARTIAL_NAME_SIZE) return false;
    out[at++] = '.';
    at = append_number(out, at, LVCRASH_REPORT_PARTIAL_NAME_SIZE, static_cast<unsigned long>(syscall(SYS_gettid)));
    if (at == 0) return false;
    out[at] = '\0';
    return true;
}

}  // namespace

int lvcrash_report_location_create(const lvcrash_report_location* location, char* partial_name) {
    if (location->folder_fd < 0 || location->name == nullptr) return -1;
    if (!make_partial_name(location->name, partial_name)) return -1;
    // Exclusive creation: the file is new, this process's own, and nothing reached through a link.
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    int fd = openat(location->folder_fd, partial_name, flags, 0644);
    if (fd < 0 && errno == EEXIST) {
        // Left by an earlier process of the same numbers that died while writing.
        unlinkat(location->folder_fd, partial_name, 0);
        fd = openat(location->folder_fd, partial_name, flags, 0644);
    }
    return fd;
}

bool lvcrash_report_location_publish(const lvcrash_report_location* location, const char* partial_name) {
    if (renameat(location->folder_fd, partial_name, location->folder_fd, location->name) == 0) return true;
    unlinkat(location->folder_fd, partial_name, 0);
    return false;
}

}  // namespace lvcrash
