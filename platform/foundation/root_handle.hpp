#pragma once
// A folder held open by the kernel, beneath which every path is resolved: the boundary
// of what a run may read and write. A path is never checked first and used later: each
// open, and the folder of each create, rename and remove, is resolved relative to the
// held folder at the moment it is used (openat2 with RESOLVE_BENEATH), so a link put in
// place or swapped in meanwhile cannot lead the step outside. Links that stay inside the
// folder are followed as the file system follows them, absolute ones included.
#include "platform/foundation/error.hpp"

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

namespace platform::foundation::files {

// A file descriptor, closed with the object.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset();

private:
    int fd_ = -1;
};

// A path that leads outside the folder it was resolved beneath. Nothing was opened.
class OutsideRootError : public Error {
public:
    OutsideRootError(const std::filesystem::path& location, const std::filesystem::path& leadsTo);
    const std::filesystem::path& location() const { return location_; }
    // Where it leads, as far as that can be told; the location itself when it cannot.
    const std::filesystem::path& leadsTo() const { return leadsTo_; }

private:
    std::filesystem::path location_;
    std::filesystem::path leadsTo_;
};

class RootHandle {
public:
    // Holds `root` (every link on its way followed, once, now). Error when it is no
    // folder. A root of "/" holds everything: paths resolve there as anywhere else.
    explicit RootHandle(const std::filesystem::path& root);
    // Holds the folder already open as `folder` (O_PATH will do), whose identity the
    // caller has checked: that folder, never whatever `openedAs` names later. Its path is
    // where the folder stands now (it may have moved since it was opened as `openedAs`).
    // Error when it is no folder, or stands at no path that can be found.
    RootHandle(UniqueFd folder, const std::filesystem::path& openedAs);
    // The root of "/", shared.
    static std::shared_ptr<const RootHandle> everything();

    // The root's path, links resolved.
    const std::filesystem::path& path() const { return path_; }
    bool holdsEverything() const { return everything_; }

    // Opens `path` (absolute, or relative to the current folder) with open(2)'s `flags`
    // and `mode`, every link on the way followed, the last one too unless `flags` holds
    // O_NOFOLLOW. OutsideRootError when the path leads outside the root, Error (POSIX
    // domain) for anything else that fails.
    UniqueFd open(const std::filesystem::path& path, int flags, mode_t mode = 0) const;

    // The folder that holds `path`'s last part, opened beneath the root (O_PATH), and
    // that last part, which is not followed: what a create, rename or remove acts on.
    struct Entry {
        UniqueFd folder;
        std::string name;
    };
    Entry entry(const std::filesystem::path& path) const;

    // Where `path` leads once every link is followed, the missing parts taken as
    // written (where something made at `path` would end up): none when that lies
    // outside the root. A check for messages and early refusals; the steps that act
    // resolve again themselves. Error (ELOOP) for a chain of too many links.
    bool contains(const std::filesystem::path& path) const;
    // The same, throwing OutsideRootError (which says where the path led) when it does not.
    void check(const std::filesystem::path& path) const;

    // Whether `path` names the root itself, which has no entry beneath it.
    bool isRoot(const std::filesystem::path& path) const;

    // Tests only: resolves as on kernels without openat2, one part at a time.
    static void setKernelResolutionForTesting(bool enabled);

private:
    UniqueFd resolve(const std::filesystem::path& path, int flags, mode_t mode) const;

    std::filesystem::path path_;
    UniqueFd fd_;
    bool everything_ = false;
};

using RootHandlePtr = std::shared_ptr<const RootHandle>;

}  // namespace platform::foundation::files
