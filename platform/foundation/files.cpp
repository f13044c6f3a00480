#include "platform/foundation/files.hpp"

#include "platform/foundation/error.hpp"
#include "platform/foundation/folder_swap.hpp"
#include "platform/foundation/root_handle.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace platform::foundation::files {

namespace fs = std::filesystem;

namespace {

Error notARegularFile(const fs::path& path) {
    return Error(FoundationErrorCode::fileReadCorrupt,
                 "The file \"" + path.filename().string() + "\" couldn't be read because it isn't a regular file.");
}

Error tooLarge(const fs::path& path, std::uintmax_t maxBytes) {
    return Error(FoundationErrorCode::fileReadCorrupt, "The file \"" + path.filename().string() +
                                                           "\" couldn't be read because it is larger than " +
                                                           std::to_string(maxBytes) + " bytes.");
}

}  // namespace

Data readData(const fs::path& path, std::uintmax_t maxBytes) {
    // Looked at before opening: opening a device can already do something.
    struct stat before {};
    if (::stat(path.c_str(), &before) != 0) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) {
            throw Error(FoundationErrorCode::fileNotFound,
                        "The file \"" + path.filename().string() + "\" couldn't be opened because there is no such file.");
        }
        throw Error::posix(err, "Cannot open " + path.string());
    }
    if (!S_ISREG(before.st_mode)) throw notARegularFile(path);
    if (static_cast<std::uintmax_t>(before.st_size) > maxBytes) throw tooLarge(path, maxBytes);

    // Non-blocking, so that something swapped in for the file since cannot hold the
    // open; what was opened is checked again.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        const int err = errno;
        if (err == ENOENT) {
            throw Error(FoundationErrorCode::fileNotFound,
                        "The file \"" + path.filename().string() + "\" couldn't be opened because there is no such file.");
        }
        throw Error::posix(err, "Cannot open " + path.string());
    }
    return readOpenedFile(fd.get(), path, maxBytes);
}

Data readOpenedFile(int fd, const fs::path& shownAs, std::uintmax_t maxBytes) {
    struct stat opened {};
    if (::fstat(fd, &opened) != 0) throw Error::posix(errno, "Cannot read " + shownAs.string());
    if (!S_ISREG(opened.st_mode)) throw notARegularFile(shownAs);
    if (static_cast<std::uintmax_t>(opened.st_size) > maxBytes) throw tooLarge(shownAs, maxBytes);

    Data out;
    out.reserve(static_cast<std::size_t>(opened.st_size));
    std::uint8_t buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Error::posix(errno, "Cannot read " + shownAs.string());
        }
        if (n == 0) break;
        // The file may have grown since it was looked at.
        if (out.size() + static_cast<std::size_t>(n) > maxBytes) throw tooLarge(shownAs, maxBytes);
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

std::string readString(const fs::path& path, std::uintmax_t maxBytes) { return stringFromData(readData(path, maxBytes)); }

namespace {

// Six letters or digits, different in every call of every process.
std::string temporarySuffix() {
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 random(std::random_device{}() ^ (static_cast<std::uint64_t>(::getpid()) << 32) ^
                                        reinterpret_cast<std::uintptr_t>(&random));
    std::string suffix(6, 'a');
    for (auto& c : suffix) c = letters[random() % (sizeof letters - 1)];
    return suffix;
}

// The permission bits the file gets: those of a file that is there (a link in its place is
// replaced, not followed), else `newFileMode`.
mode_t modeFor(int folder, const std::string& name, unsigned newFileMode) {
    struct stat existing {};
    if (::fstatat(folder, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(existing.st_mode)) {
        return existing.st_mode & 07777;
    }
    return static_cast<mode_t>(newFileMode);
}

// A new temporary file beside `name`, its name in `temporary`.
UniqueFd openTemporary(int folder, const std::string& name, std::string& temporary,
                       const std::function<Error(int)>& failure) {
    UniqueFd fd;
    for (int attempt = 0; !fd; ++attempt) {
        temporary = "." + name + "." + temporarySuffix();
        fd = UniqueFd(::openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd && (errno != EEXIST || attempt > 100)) throw failure(errno);
    }
    return fd;
}

// What a failed write throws, once its temporary file is gone.
auto failingWith(UniqueFd& fd, int folder, const std::string& temporary, std::function<Error(int)> failure) {
    return [&fd, folder, &temporary, failure = std::move(failure)](int err) {
        fd.reset();
        ::unlinkat(folder, temporary.c_str(), 0);
        return failure(err);
    };
}

void writeAll(int fd, std::string_view text, const std::function<Error(int)>& failure) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw failure(errno);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

// The file written without a name (O_TMPFILE), then linked in: none when the file system
// (or a missing /proc) does not allow it, and nothing was changed.
std::optional<struct stat> writeUnnamed(int folder, const std::string& name, std::string_view text, mode_t mode,
                                        const TemporaryMark& mark, const std::function<Error(int)>& failure) {
    UniqueFd fd(::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (!fd) {
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOENT) return std::nullopt;
        throw failure(errno);
    }
    if (::fchmod(fd.get(), mode) != 0) throw failure(errno);
    writeAll(fd.get(), text, failure);
    if (::fsync(fd.get()) != 0) throw failure(errno);
    struct stat written {};
    if (::fstat(fd.get(), &written) != 0) throw failure(errno);
    const std::string self = "/proc/self/fd/" + std::to_string(fd.get());
    // Nothing there: the whole file takes its name in one step.
    if (::linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return written;
    if (errno == ENOENT) return std::nullopt;  // no /proc to link from
    if (errno != EEXIST) throw failure(errno);
    const std::string value = mark.value(fd.get(), written);
    const bool marked = setMark(fd.get(), false, mark.name, value, nullptr);
    std::string temporary;
    for (int attempt = 0;; ++attempt) {
        temporary = "." + name + "." + temporarySuffix();
        if (::linkat(AT_FDCWD, self.c_str(), folder, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0) break;
        if (errno != EEXIST || attempt > 100) throw failure(errno);
    }
    if (::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
        const int err = errno;
        ::unlinkat(folder, temporary.c_str(), 0);
        throw failure(err);
    }
    if (marked) removeMark(fd.get(), false, mark.name, value);
    return written;
}

}  // namespace

void writeAtomicallyAt(int folder, const std::string& name, std::string_view text, const fs::path& shownAs,
                       unsigned newFileMode) {
    const auto failure = [&](int err) { return Error::posix(err, "Cannot write " + shownAs.string()); };
    std::string temporary;
    UniqueFd fd = openTemporary(folder, name, temporary, failure);
    const auto fail = failingWith(fd, folder, temporary, failure);
    if (::fchmod(fd.get(), modeFor(folder, name, newFileMode)) != 0) throw fail(errno);
    writeAll(fd.get(), text, fail);
    if (::fsync(fd.get()) != 0) throw fail(errno);
    if (::close(fd.release()) != 0) throw fail(errno);
    if (::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) throw fail(errno);
}

struct stat writeAtomicallyAt(int folder, const std::string& name, std::string_view text, const fs::path& shownAs,
                              unsigned newFileMode, const TemporaryMark& mark) {
    const auto failure = [&](int err) { return Error::posix(err, "Cannot write " + shownAs.string()); };
    const mode_t mode = modeFor(folder, name, newFileMode);
    if (auto written = writeUnnamed(folder, name, text, mode, mark, failure)) return *written;
    // A named temporary file, marked from the moment it is made.
    std::string temporary;
    UniqueFd fd = openTemporary(folder, name, temporary, failure);
    const auto fail = failingWith(fd, folder, temporary, failure);
    struct stat written {};
    if (::fstat(fd.get(), &written) != 0) throw fail(errno);
    std::string value;
    bool marked = false;
    try {
        value = mark.value(fd.get(), written);
        marked = setMark(fd.get(), false, mark.name, value, nullptr);
    } catch (const Error& error) {
        throw fail(error.domain() == kPosixErrorDomain ? static_cast<int>(error.code()) : EIO);
    }
    if (::fchmod(fd.get(), mode) != 0) throw fail(errno);
    writeAll(fd.get(), text, fail);
    if (::fsync(fd.get()) != 0) throw fail(errno);
    if (::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) throw fail(errno);
    if (marked) removeMark(fd.get(), false, mark.name, value);
    if (::fstat(fd.get(), &written) != 0) throw failure(errno);
    return written;
}

void writeAtomically(const fs::path& path, std::string_view text, unsigned newFileMode) {
    fs::path dir = path.parent_path();
    if (dir.empty()) dir = ".";
    UniqueFd folder(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder) throw Error::posix(errno, "Cannot write " + path.string());
    writeAtomicallyAt(folder.get(), path.filename().string(), text, path, newFileMode);
}

void writeAtomically(const fs::path& path, const Data& data, unsigned newFileMode) {
    writeAtomically(path, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), newFileMode);
}

fs::path setAsideDamaged(const fs::path& path, std::error_code& error, std::string_view suffix) {
    for (int n = 1; n <= 1000; ++n) {
        fs::path aside = path;
        aside += std::string(suffix) + (n == 1 ? std::string() : "-" + std::to_string(n));
        if (renameIfFree(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str()) == 0) return aside;
        if (errno != EEXIST) {
            error = std::error_code(errno, std::generic_category());
            return {};
        }
    }
    error = std::make_error_code(std::errc::file_exists);
    return {};
}

void createDirectories(const fs::path& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec || !fs::is_directory(path)) {
        throw Error::posix(ec ? ec.value() : ENOTDIR, "Cannot create folder " + path.string());
    }
}

bool fileExists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

bool directoryExists(const fs::path& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

fs::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

namespace {
fs::path xdg(const char* var, const char* fallback) {
    const char* v = std::getenv(var);
    if (v && *v == '/') return v;
    return homeDirectory() / fallback;
}
}  // namespace

fs::path xdgConfigHome() { return xdg("XDG_CONFIG_HOME", ".config"); }
fs::path xdgDataHome() { return xdg("XDG_DATA_HOME", ".local/share"); }
fs::path xdgCacheHome() { return xdg("XDG_CACHE_HOME", ".cache"); }

fs::path preferencesDirectory(std::string_view id) { return xdgConfigHome() / std::string(id); }
fs::path applicationSupportDirectory(std::string_view id) { return xdgDataHome() / std::string(id); }
fs::path cachesDirectory(std::string_view id) { return xdgCacheHome() / std::string(id); }

std::string temporaryDirectory() {
    const char* t = std::getenv("TMPDIR");
    std::string dir = (t && *t == '/') ? t : "/tmp";
    if (dir.back() != '/') dir.push_back('/');
    return dir;
}

fs::path resolvedPath(const fs::path& path) {
    // Followed part by part, as the kernel does: a ".." after a link leaves the link's
    // target, not the folder that holds the link.
    std::deque<fs::path> pending;
    for (const auto& part : fs::absolute(path)) pending.push_back(part);
    fs::path resolved = "/";
    int links = 0;
    while (!pending.empty()) {
        const fs::path part = pending.front();
        pending.pop_front();
        if (part.empty() || part == "." || part == "/" || part.has_root_name()) continue;
        if (part == "..") {
            resolved = resolved.parent_path();
            continue;
        }
        const fs::path candidate = resolved / part;
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(candidate, error))) {
            resolved = candidate;
            continue;
        }
        if (++links > 40) throw Error::posix(ELOOP, "Cannot resolve " + path.string());
        const fs::path target = fs::read_symlink(candidate, error);
        if (error) throw Error::posix(error.value(), "Cannot resolve " + path.string());
        if (target.is_absolute()) resolved = "/";
        std::vector<fs::path> parts(target.begin(), target.end());
        pending.insert(pending.begin(), parts.begin(), parts.end());
    }
    return resolved;
}

bool isAtOrBelow(const fs::path& path, const fs::path& folder) {
    auto inside = path.begin();
    for (const auto& part : folder) {
        if (part.empty()) continue;  // the trailing "" of a folder written with "/"
        while (inside != path.end() && inside->empty()) ++inside;
        if (inside == path.end() || *inside != part) return false;
        ++inside;
    }
    return true;
}

}  // namespace platform::foundation::files
