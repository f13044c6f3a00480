#include "crashreporter/report_location.hpp"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "crashreporter/async.hpp"

namespace lvcrash {
namespace {

// How many names a crash tries while something stands at them.
constexpr unsigned kAttempts = 32;

// Appends to a fixed buffer; a text that does not fit spoils the whole name.
struct NameBuilder {
    char* out;
    std::size_t size;
    std::size_t at = 0;
    bool fits = true;

    void text(const char* value, std::size_t length) {
        if (!fits || at + length >= size) {
            fits = false;
            return;
        }
        lvcrash_async_memcpy(out + at, value, length);
        at += length;
    }
    void character(char value) { text(&value, 1); }
    // Decimal digits, zero-padded to width.
    void number(unsigned long value, std::size_t width = 1) {
        char digits[24];
        std::size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0 || count < width);
        while (count > 0) character(digits[--count]);
    }
    bool finish() {
        if (!fits) return false;
        out[at] = '\0';
        return true;
    }
};

// The pending report's name split at its last dot: "live_report" and ".lvcrash".
std::size_t stem_length(const char* name) {
    const std::size_t length = lvcrash_async_strlen(name);
    for (std::size_t i = length; i > 1; --i) {
        if (name[i - 1] == '.') return i - 1;
    }
    return length;
}

bool finished_name(const char* name, const timespec& now, pid_t pid, unsigned attempt, char* out, std::size_t size) {
    const std::size_t stem = stem_length(name);
    NameBuilder builder{out, size};
    builder.text(name, stem);
    builder.character('-');
    builder.number(static_cast<unsigned long>(now.tv_sec), 12);
    builder.character('.');
    builder.number(static_cast<unsigned long>(now.tv_nsec), 9);
    builder.character('-');
    builder.number(static_cast<unsigned long>(pid));
    if (attempt > 0) {
        builder.character('-');
        builder.number(attempt);
    }
    builder.text(name + stem, lvcrash_async_strlen(name + stem));
    return builder.finish();
}

// Digits at text[at], at least one; the position after them.
std::size_t skip_digits(const char* text, std::size_t at, std::size_t end, bool* found) {
    const std::size_t start = at;
    while (at < end && text[at] >= '0' && text[at] <= '9') ++at;
    *found = at > start;
    return at;
}

// The folder where the next launch looks, opened by its path now: the reporter's own folders
// are made again when they were moved away, none of them is followed as a link, and one that
// is not this user's own is not used. -1 when the path leads to no such folder.
int open_folder_at_path(const lvcrash_report_location* location) {
    if (location->base_path == nullptr) return -1;
    int folder = open(location->base_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (std::size_t i = 0; i < LVCRASH_REPORT_FOLDER_DEPTH && folder >= 0; ++i) {
        const char* name = location->folders[i];
        if (name == nullptr) break;
        lvcrash_folder_check check;
        const bool last = i + 1 == LVCRASH_REPORT_FOLDER_DEPTH || location->folders[i + 1] == nullptr;
        const int next = lvcrash_open_own_folder(folder, name, last, &check);
        close(folder);
        folder = next;
    }
    return folder;
}

// Creates the file in folder under the first name of this thread's at which nothing stands.
int create_in(int folder, const char* name, char* partial_name) {
    const pid_t pid = getpid();
    const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    // Exclusive creation: the file is new and this crash's own. Whatever stands at a name
    // (a link, a folder, a file of a process that died while writing) is left as it is.
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    for (unsigned attempt = 0; attempt < kAttempts; ++attempt) {
        if (!lvcrash_report_partial_name(name, pid, tid, attempt, partial_name, LVCRASH_REPORT_PARTIAL_NAME_SIZE))
            return -1;
        const int fd = openat(folder, partial_name, flags, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Gives the file at `from` in folder the name `to` only when nothing stands there (false and
// errno EEXIST when something does): renameat2(RENAME_NOREPLACE), else a hard link, which
// never replaces either, else a plain rename onto a name found free. Async-signal-safe.
bool lvcrash_move_without_replacing(int folder, const char* from, const char* to) {
    if (renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    // A file system that cannot rename without replacing: a hard link never replaces either.
    if (linkat(folder, from, folder, to, 0) == 0) {
        unlinkat(folder, from, 0);
        return true;
    }
    if (errno == EEXIST) return false;
    // Nor hard links: a plain rename, only onto a name where nothing stands.
    struct stat info;
    if (fstatat(folder, to, &info, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return false;
    }
    return errno == ENOENT && renameat(folder, from, folder, to) == 0;
}

}  // namespace

int lvcrash_open_own_folder(int parent, const char* name, bool writable, lvcrash_folder_check* check) {
    check->refusal = LVCRASH_FOLDER_USED;
    check->error = 0;
    lvcrash_async_memset(&check->found, 0, sizeof check->found);
    if (mkdirat(parent, name, 0700) != 0 && errno != EEXIST) {
        check->refusal = LVCRASH_FOLDER_NOT_MADE;
        check->error = errno;
        return -1;
    }
    // A FIFO is never waited on, a link never followed: only a folder opens.
    const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        check->error = errno;
        const bool found = fstatat(parent, name, &check->found, AT_SYMLINK_NOFOLLOW) == 0;
        check->refusal = !found ? LVCRASH_FOLDER_NOT_MADE
                         : S_ISDIR(check->found.st_mode) && check->found.st_uid != geteuid()
                             ? LVCRASH_FOLDER_OF_ANOTHER_USER
                         : S_ISDIR(check->found.st_mode) ? LVCRASH_FOLDER_NOT_WRITABLE
                                                          : LVCRASH_FOLDER_NOT_A_FOLDER;
        return -1;
    }
    if (fstat(fd, &check->found) != 0 || !S_ISDIR(check->found.st_mode)) {
        check->refusal = LVCRASH_FOLDER_NOT_A_FOLDER;
        close(fd);
        return -1;
    }
    // Made first by another user (in a cache home shared with them): what is written there
    // is theirs to read, and what they put there would be taken for this user's.
    if (check->found.st_uid != geteuid()) {
        check->refusal = LVCRASH_FOLDER_OF_ANOTHER_USER;
        close(fd);
        return -1;
    }
    if ((check->found.st_mode & 077) != 0) fchmod(fd, check->found.st_mode & 0700);
    // An existing folder this user cannot write into is as good as none.
    if (writable && faccessat(fd, ".", W_OK | X_OK, 0) != 0) {
        check->refusal = LVCRASH_FOLDER_NOT_WRITABLE;
        check->error = errno;
        close(fd);
        return -1;
    }
    return fd;
}

bool lvcrash_is_own_file(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_nlink == 1 && info.st_uid == geteuid();
}

bool lvcrash_report_partial_name(const char* name, pid_t pid, pid_t tid, unsigned attempt, char* out,
                                 std::size_t size) {
    NameBuilder builder{out, size};
    builder.text(name, lvcrash_async_strlen(name));
    builder.character('.');
    builder.number(static_cast<unsigned long>(pid));
    builder.character('.');
    builder.number(static_cast<unsigned long>(tid));
    if (attempt > 0) {
        builder.character('.');
        builder.number(attempt);
    }
    return builder.finish();
}

bool lvcrash_report_partial_writer(const char* name, const char* entry, pid_t* writer) {
    const std::size_t prefix = lvcrash_async_strlen(name);
    if (lvcrash_async_strncmp(entry, name, prefix) != 0 || entry[prefix] != '.') return false;
    const std::size_t end = lvcrash_async_strlen(entry);
    bool found = false;
    std::size_t at = skip_digits(entry, prefix + 1, end, &found);
    if (!found || at - prefix - 1 > 9 || entry[at] != '.') return false;
    unsigned long pid = 0;
    for (std::size_t i = prefix + 1; i < at; ++i) pid = pid * 10 + static_cast<unsigned long>(entry[i] - '0');
    at = skip_digits(entry, at + 1, end, &found);  // the thread
    if (!found) return false;
    if (at < end && entry[at] == '.') at = skip_digits(entry, at + 1, end, &found);  // the attempt
    if (!found || at != end || pid == 0) return false;
    *writer = static_cast<pid_t>(pid);
    return true;
}

bool lvcrash_report_is_finished_name(const char* name, const char* entry) {
    const std::size_t stem = stem_length(name);
    const char* extension = name + stem;
    const std::size_t extension_length = lvcrash_async_strlen(extension);
    const std::size_t length = lvcrash_async_strlen(entry);
    if (length <= stem + 1 + extension_length || lvcrash_async_strncmp(entry, name, stem) != 0 || entry[stem] != '-' ||
        lvcrash_async_strcmp(entry + length - extension_length, extension) != 0)
        return false;
    const std::size_t end = length - extension_length;
    bool found = false;
    std::size_t at = skip_digits(entry, stem + 1, end, &found);  // seconds
    if (!found || at >= end || entry[at] != '.') return false;
    at = skip_digits(entry, at + 1, end, &found);  // nanoseconds
    if (!found || at >= end || entry[at] != '-') return false;
    at = skip_digits(entry, at + 1, end, &found);  // the process
    if (found && at < end && entry[at] == '-') at = skip_digits(entry, at + 1, end, &found);  // the attempt
    return found && at == end;
}

int lvcrash_report_location_create(const lvcrash_report_location* location, lvcrash_report_partial* partial) {
    partial->folder_fd = -1;
    partial->owns_folder = false;
    if (location->name == nullptr) return -1;
    // Where the next launch looks first; the folder held since set-up when that fails (moved
    // away and a link put in its place, say: the report stays ours, and is found once the
    // folder is back).
    const int at_path = open_folder_at_path(location);
    if (at_path >= 0) {
        const int fd = create_in(at_path, location->name, partial->name);
        if (fd >= 0) {
            partial->folder_fd = at_path;
            partial->owns_folder = true;
            return fd;
        }
        close(at_path);
    }
    if (location->folder_fd < 0) return -1;
    const int fd = create_in(location->folder_fd, location->name, partial->name);
    if (fd >= 0) partial->folder_fd = location->folder_fd;
    return fd;
}

bool lvcrash_report_location_publish(const lvcrash_report_location* location, lvcrash_report_partial* partial) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return lvcrash_report_location_publish_at(location, partial, now);
}

bool lvcrash_report_location_publish_at(const lvcrash_report_location* location, lvcrash_report_partial* partial,
                                        const timespec& now) {
    char final_name[LVCRASH_REPORT_PARTIAL_NAME_SIZE];
    bool published = false;
    for (unsigned attempt = 0; attempt < kAttempts && !published; ++attempt) {
        if (!finished_name(location->name, now, getpid(), attempt, final_name, sizeof final_name)) break;
        published = lvcrash_move_without_replacing(partial->folder_fd, partial->name, final_name);
        if (!published && errno != EEXIST) break;
    }
    if (!published) unlinkat(partial->folder_fd, partial->name, 0);
    if (partial->owns_folder) close(partial->folder_fd);
    partial->folder_fd = -1;
    partial->owns_folder = false;
    return published;
}

}  // namespace lvcrash
