#pragma once
// The files of the crashes service's folders, opened so that nothing put at their names is
// written or read through: never through a link (O_NOFOLLOW), never waited on (O_NONBLOCK, and
// only a regular file is used), made only where nothing stands (O_EXCL). Whatever else stands
// at a name the service uses is removed with one warning (a link: the link, never its target).
//
// Several launches of the program share these folders. A file is claimed by one of them at a
// time with an exclusive flock() held on it: the kernel drops the lock of a launch that ends,
// however it ends, so what an ended launch held is free for the next, and a launch that still
// runs (even one stopped in a debugger) keeps what it holds. Nobody waits for a claim.
#include "platform/foundation/value.hpp"
#include "platform/foundation/root_handle.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>

namespace rddi {

// The most the service reads back of a file of its own that holds one log or one saved
// exception: what a log may carry (an attachment's limit) and the archive around it.
inline constexpr std::size_t kRDDIMaxReadBackFileSize = 8 * 1024 * 1024;

class RDDICrashesFiles {
public:
    RDDICrashesFiles() = delete;

    // A regular file of this user's with no other name: the only kind the service writes or
    // reads as its own. A hard link would have it write into the file of the other name, and
    // another user's file (in a folder shared with them) would be read as this user's.
    static bool isOwnFile(const struct stat& info);
    // Clears the name of whatever stands there and is not the service's own file, with one
    // warning naming `role` (an error when it cannot): what is no regular file is removed (a
    // link, never what it leads to), a file of someone else's is moved to "<name>.aside". True
    // when the name is free or holds the service's own file.
    static bool setAsideUnlessOwnFile(const std::filesystem::path& path, const std::string& role);
    // The service's own file at path, opened with `access` (O_RDONLY, O_WRONLY, O_RDWR), or
    // made there (mode 0600) when nothing stands at path; whatever else stands there is set
    // aside first. Failures are logged with `role`.
    static platform::foundation::files::UniqueFd openOrCreate(const std::filesystem::path& path, int access,
                                                              const std::string& role);
    // The service's own file at path opened with `access`; an empty descriptor (errno set)
    // for anything else or nothing.
    static platform::foundation::files::UniqueFd openRegular(const std::filesystem::path& path, int access);
    // Everything in the open regular file, read from its start, at most `limit` bytes (none beyond it).
    static std::optional<platform::foundation::Data> readAll(int fd, std::size_t limit);
    // Whether path still names the open file (it was neither removed nor replaced).
    static bool stillNamed(int fd, const std::filesystem::path& path);
    // Removes the name when it still names the open file.
    static void removeIfStillNamed(int fd, const std::filesystem::path& path);
};

// A file of the folders claimed by this launch: open and locked while this lives.
class RDDIClaimedFile {
public:
    // Claims the regular file at path, opened with `access`. None when another launch holds
    // it, or it is no regular file, or it is gone.
    static std::optional<RDDIClaimedFile> claim(const std::filesystem::path& path, int access = 0);
    // Takes the lock file at path, made when missing: none while another launch holds it.
    // Removed again when this ends.
    static std::optional<RDDIClaimedFile> takeLock(const std::filesystem::path& path, const std::string& role);
    // Claims an open file of this launch's making (nobody else can have claimed it).
    static std::optional<RDDIClaimedFile> adopt(platform::foundation::files::UniqueFd fd,
                                                const std::filesystem::path& path);

    RDDIClaimedFile(RDDIClaimedFile&&) = default;
    RDDIClaimedFile& operator=(RDDIClaimedFile&&) = default;
    ~RDDIClaimedFile();

    int fd() const { return fd_.get(); }
    const std::filesystem::path& path() const { return path_; }
    // The file's new name, once this launch gave it one.
    void renamed(std::filesystem::path path) { path_ = std::move(path); }
    // Removes the file, when its name still names it, and gives up the claim.
    void remove();

private:
    RDDIClaimedFile(platform::foundation::files::UniqueFd fd, std::filesystem::path path, bool removeAtEnd)
        : fd_(std::move(fd)), path_(std::move(path)), removeAtEnd_(removeAtEnd) {}

    platform::foundation::files::UniqueFd fd_;
    std::filesystem::path path_;
    bool removeAtEnd_ = false;
};

}  // namespace rddi
