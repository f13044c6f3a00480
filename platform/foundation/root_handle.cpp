#include "platform/foundation/root_handle.hpp"

#include "platform/foundation/files.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <vector>

namespace platform::foundation::files {

namespace fs = std::filesystem;

void UniqueFd::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

namespace {

std::atomic<bool> kernelResolution{true};

// The parts of a path as the file system takes them: "." and empty parts (doubled or
// trailing separators) say nothing.
std::deque<std::string> partsOf(const fs::path& path) {
    std::deque<std::string> parts;
    for (const auto& part : path) {
        std::string text = part.string();
        if (text.empty() || text == "/" || text == ".") continue;
        parts.push_back(std::move(text));
    }
    return parts;
}

// The parts of `path` after those of `folder`, when `path` starts with them.
std::optional<std::deque<std::string>> partsBelow(const fs::path& path, const fs::path& folder) {
    auto parts = partsOf(path);
    for (const auto& part : partsOf(folder)) {
        if (parts.empty() || parts.front() != part) return std::nullopt;
        parts.pop_front();
    }
    return parts;
}

bool climbs(const std::deque<std::string>& parts) {
    for (const auto& part : parts) {
        if (part == "..") return true;
    }
    return false;
}

std::string joined(const std::deque<std::string>& parts) {
    std::string text;
    for (const auto& part : parts) {
        if (!text.empty()) text.push_back('/');
        text += part;
    }
    return text.empty() ? std::string(".") : text;
}

fs::path absolutePath(const fs::path& path) {
    if (path.is_absolute()) return path;
    std::error_code error;
    const auto here = fs::current_path(error);
    if (error) throw Error::posix(error.value(), "Cannot resolve " + path.string());
    return here / path;
}

fs::path leadsTo(const fs::path& path) {
    try {
        return resolvedPath(path);
    } catch (const Error&) {
        return absolutePath(path).lexically_normal();
    }
}

// The target of the link `name` in `folder`; none when it is no link.
std::optional<std::string> linkTarget(int folder, const std::string& name) {
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t length = ::readlinkat(folder, name.c_str(), buffer.data(), buffer.size());
        if (length < 0) return std::nullopt;
        if (static_cast<std::size_t>(length) < buffer.size()) return std::string(buffer.data(), static_cast<std::size_t>(length));
        buffer.resize(buffer.size() * 2);
    }
}

constexpr int kMaxLinks = 40;

// Resolution one part at a time, for kernels without openat2 and for the links
// openat2 will not follow beneath a folder (absolute ones, and ".." that leaves and
// comes back). Each step opens one part, never following it, relative to the folder
// the step before opened; a link is read and its target walked the same way. ".." goes
// back to the folder the walk came from, so the walk can never climb above the root.
class Walk {
public:
    Walk(int root, const fs::path& rootPath, bool everything, const fs::path& location)
        : rootPath_(rootPath), everything_(everything), location_(location) {
        UniqueFd first(::fcntl(root, F_DUPFD_CLOEXEC, 0));
        if (!first) throw Error::posix(errno, "Cannot open " + location.string());
        folders_.push_back(std::move(first));
    }

    UniqueFd open(std::deque<std::string> pending, int flags, mode_t mode) {
        const bool followLast = (flags & O_NOFOLLOW) == 0;
        while (!pending.empty()) {
            const std::string name = pending.front();
            pending.pop_front();
            if (name == "..") {
                up(pending);
                continue;
            }
            if (!pending.empty()) {
                descend(name, pending, false);
                continue;
            }
            if (followLast) {
                if (const auto target = linkTarget(top(), name)) {
                    follow(*target, pending);
                    continue;
                }
            }
            UniqueFd fd(::openat(top(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
            if (!fd) {
                // A link put in its place since it was looked at: looked at again.
                if (errno == ELOOP && followLast) {
                    countLink();
                    pending.push_front(name);
                    continue;
                }
                throw Error::posix(errno, "Cannot open " + location_.string());
            }
            if ((flags & O_PATH) != 0 && followLast) {
                struct stat info {};
                if (::fstat(fd.get(), &info) == 0 && S_ISLNK(info.st_mode)) {
                    countLink();
                    pending.push_front(name);
                    continue;
                }
            }
            return fd;
        }
        // The path ends at a folder the walk holds: it is opened anew with the flags asked.
        UniqueFd fd(::openat(top(), ".", (flags & ~(O_NOFOLLOW | O_CREAT | O_EXCL)) | O_CLOEXEC));
        if (!fd) throw Error::posix(errno, "Cannot open " + location_.string());
        return fd;
    }

    // Follows the path as far as it exists and takes the rest as written; throws
    // OutsideRootError when that leads out.
    void check(std::deque<std::string> pending) {
        while (!pending.empty()) {
            const std::string name = pending.front();
            pending.pop_front();
            if (name == "..") {
                up(pending);
                continue;
            }
            if (const auto target = linkTarget(top(), name)) {
                follow(*target, pending);
                continue;
            }
            if (pending.empty()) return;
            pending.push_front(name);
            if (!descend(name, pending, true)) return;
        }
    }

private:
    int top() const { return folders_.back().get(); }

    void up(const std::deque<std::string>& pending) {
        if (folders_.size() > 1) {
            folders_.pop_back();
        } else if (!everything_) {
            throw OutsideRootError(location_, joined(rootPath_.parent_path(), pending));
        }
    }

    static fs::path joined(fs::path path, const std::deque<std::string>& pending) {
        for (const auto& part : pending) path /= part;
        return path.lexically_normal();
    }

    void countLink() {
        if (++links_ > kMaxLinks) throw Error::posix(ELOOP, "Cannot resolve " + location_.string());
    }

    // Enters the folder `name`; a link is followed instead. Checking, a part that does
    // not exist (or is no folder) ends the walk: the rest is taken as written, and
    // must not climb out. Returns whether the walk goes on.
    bool descend(const std::string& name, std::deque<std::string>& pending, bool checking) {
        if (checking) pending.pop_front();
        UniqueFd fd(::openat(top(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd) {
            folders_.push_back(std::move(fd));
            return true;
        }
        const int err = errno;
        if (const auto target = linkTarget(top(), name)) {
            follow(*target, pending);
            return true;
        }
        if (!checking) throw Error::posix(err, "Cannot open " + location_.string());
        // The missing part is one level below the folder the walk holds.
        std::size_t depth = folders_.size() + 1;
        for (const auto& part : pending) {
            if (part != "..") {
                ++depth;
            } else if (depth > 1) {
                --depth;
            } else if (!everything_) {
                throw OutsideRootError(location_, leadsTo(location_));
            }
        }
        return false;
    }

    void follow(const std::string& target, std::deque<std::string>& pending) {
        countLink();
        if (target.empty()) throw Error::posix(ENOENT, "Cannot open " + location_.string());
        std::deque<std::string> parts = partsOf(target);
        if (target.front() == '/') {
            if (!everything_) {
                auto below = partsBelow(target, rootPath_);
                if (!below || climbs(*below)) {
                    // Reaches the root through another link, or leads out.
                    const auto resolved = resolvedPath(target);
                    // Where the link led when it was read, not where it may lead by now.
                    if (!isAtOrBelow(resolved, rootPath_)) {
                        throw OutsideRootError(location_, joined(resolved, pending));
                    }
                    below = partsBelow(resolved, rootPath_);
                }
                parts = std::move(*below);
            }
            folders_.resize(1);
        }
        pending.insert(pending.begin(), parts.begin(), parts.end());
    }

    std::vector<UniqueFd> folders_;
    const fs::path& rootPath_;
    bool everything_;
    const fs::path& location_;
    int links_ = 0;
};

}  // namespace

OutsideRootError::OutsideRootError(const fs::path& location, const fs::path& leadsTo)
    : Error(kPosixErrorDomain.data(), EXDEV,
            location.string() + " leads to " + leadsTo.string() + ", which is outside the folder it must stay in"),
      location_(location),
      leadsTo_(leadsTo) {}

RootHandle::RootHandle(const fs::path& root) {
    path_ = resolvedPath(root);
    fd_ = UniqueFd(::open(path_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd_) throw Error::posix(errno, "Cannot open " + root.string());
    everything_ = path_ == "/";
}

namespace {

bool sameItem(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether `path` names the item `held` is.
bool names(const fs::path& path, const struct stat& held) {
    struct stat named {};
    return !path.empty() && path.is_absolute() && ::stat(path.c_str(), &named) == 0 && sameItem(named, held);
}

}  // namespace

RootHandle::RootHandle(UniqueFd folder, const fs::path& openedAs) : fd_(std::move(folder)) {
    struct stat held {};
    if (!fd_ || ::fstat(fd_.get(), &held) != 0) throw Error::posix(fd_ ? errno : EBADF, "Cannot open " + openedAs.string());
    if (!S_ISDIR(held.st_mode)) throw Error::posix(ENOTDIR, "Cannot open " + openedAs.string());
    // The kernel knows where the descriptor's folder stands; the path it was opened by is
    // the answer only while it still leads there.
    std::error_code unknown;
    const fs::path here = fs::read_symlink("/proc/self/fd/" + std::to_string(fd_.get()), unknown);
    if (!unknown && names(here, held)) {
        path_ = here;
    } else {
        try {
            path_ = resolvedPath(openedAs);
        } catch (const Error&) {
            path_.clear();
        }
        if (!names(path_, held)) throw Error::posix(ENOENT, "Cannot find where " + openedAs.string() + " went");
    }
    everything_ = path_ == "/";
}

std::shared_ptr<const RootHandle> RootHandle::everything() {
    static const auto root = std::make_shared<const RootHandle>("/");
    return root;
}

void RootHandle::setKernelResolutionForTesting(bool enabled) { kernelResolution = enabled; }

namespace {

// The parts of `path` below the root. A path written below the root is taken as
// written; one that reaches it otherwise (through a link outside it, or ".." that
// leaves it and comes back) by where it leads now. The steps that act on it resolve
// it again beneath the root, so what it leads to cannot change that.
std::deque<std::string> partsBeneath(const fs::path& path, const fs::path& root, bool everything) {
    const fs::path location = absolutePath(path);
    if (everything) return partsOf(location);
    if (auto below = partsBelow(location, root); below && !climbs(*below)) return *below;
    const fs::path resolved = resolvedPath(location);
    if (!isAtOrBelow(resolved, root)) throw OutsideRootError(path, resolved);
    return *partsBelow(resolved, root);
}

}  // namespace

UniqueFd RootHandle::resolve(const fs::path& path, int flags, mode_t mode) const {
    auto parts = partsBeneath(path, path_, everything_);
    if (everything_) {
        // Nothing to stay beneath: resolved as any path is.
        UniqueFd fd(::openat(fd_.get(), joined(parts).c_str(), flags | O_CLOEXEC, mode));
        if (!fd) throw Error::posix(errno, "Cannot open " + path.string());
        return fd;
    }
    if (kernelResolution) {
        open_how how{};
        how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
        how.mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode : 0;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        const std::string relative = joined(parts);
        int err = 0;
        for (int attempt = 0; attempt < 4; ++attempt) {
            const long fd = ::syscall(SYS_openat2, fd_.get(), relative.c_str(), &how, sizeof how);
            if (fd >= 0) return UniqueFd(static_cast<int>(fd));
            err = errno;
            // A rename elsewhere raced a "..": the kernel asks to try again.
            if (err != EAGAIN && err != EINTR) break;
        }
        if (err == ENOSYS) {
            kernelResolution = false;
        } else if (err != EXDEV && err != ELOOP && err != EAGAIN) {
            // Absolute links and ".." that leaves and comes back are refused by the
            // kernel beneath a folder (EXDEV) even where they stay inside: walked below.
            throw Error::posix(err, "Cannot open " + path.string());
        }
    }
    return Walk(fd_.get(), path_, everything_, path).open(std::move(parts), flags, mode);
}

UniqueFd RootHandle::open(const fs::path& path, int flags, mode_t mode) const { return resolve(path, flags, mode); }

RootHandle::Entry RootHandle::entry(const fs::path& path) const {
    fs::path location = absolutePath(path);
    if (!location.has_filename()) location = location.parent_path();
    std::string name = location.filename().string();
    if (name.empty() || name == "." || name == ".." || name == "/") {
        throw Error::posix(EINVAL, "Cannot use " + path.string());
    }
    return Entry{resolve(location.parent_path(), O_PATH | O_DIRECTORY, 0), std::move(name)};
}

void RootHandle::check(const fs::path& path) const {
    auto parts = partsBeneath(path, path_, everything_);
    if (!everything_) Walk(fd_.get(), path_, everything_, path).check(std::move(parts));
}

bool RootHandle::isRoot(const fs::path& path) const {
    try {
        return partsBeneath(path, path_, everything_).empty();
    } catch (const Error&) {
        return false;
    }
}

bool RootHandle::contains(const fs::path& path) const {
    try {
        check(path);
        return true;
    } catch (const OutsideRootError&) {
        return false;
    }
}

}  // namespace platform::foundation::files
