#include "platform/foundation/files.hpp"

#include "platform/foundation/error.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace platform::foundation::files {

namespace fs = std::filesystem;

Data readData(const fs::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == ENOENT) {
            throw Error(FoundationErrorCode::fileNotFound,
                        "The file \"" + path.filename().string() + "\" couldn't be opened because there is no such file.");
        }
        throw Error::posix(err, "Cannot open " + path.string());
    }
    Data out;
    std::uint8_t buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            throw Error::posix(err, "Cannot read " + path.string());
        }
        if (n == 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    ::close(fd);
    return out;
}

std::string readString(const fs::path& path) { return stringFromData(readData(path)); }

void writeAtomically(const fs::path& path, std::string_view text, unsigned newFileMode) {
    fs::path dir = path.parent_path();
    if (dir.empty()) dir = ".";
    std::string tmpl = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) throw Error::posix(errno, "Cannot write " + path.string());
    auto fail = [&](int err) {
        ::close(fd);
        ::unlink(name.data());
        return Error::posix(err, "Cannot write " + path.string());
    };
    struct stat existing {};
    mode_t mode = static_cast<mode_t>(newFileMode);
    if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) mode = existing.st_mode & 07777;
    if (::fchmod(fd, mode) != 0) throw fail(errno);
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw fail(errno);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) throw fail(errno);
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(name.data());
        throw Error::posix(err, "Cannot write " + path.string());
    }
    if (::rename(name.data(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(name.data());
        throw Error::posix(err, "Cannot write " + path.string());
    }
}

void writeAtomically(const fs::path& path, const Data& data, unsigned newFileMode) {
    writeAtomically(path, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), newFileMode);
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

}  // namespace platform::foundation::files
