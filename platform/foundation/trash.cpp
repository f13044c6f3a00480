#include "platform/foundation/trash.hpp"

#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/folder_swap.hpp"
#include "platform/foundation/test_hook.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace platform::foundation::files {

namespace fs = std::filesystem;

namespace {

TestHook<> trashFound;

// The highest folder above `folder` on the same file system: where a file system keeps
// its own Trash folders.
fs::path topFolder(fs::path folder) {
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0) return {};
    const dev_t device = info.st_dev;
    while (folder.has_relative_path()) {
        const fs::path parent = folder.parent_path();
        struct stat above {};
        if (::lstat(parent.c_str(), &above) != 0 || above.st_dev != device) break;
        folder = parent;
    }
    return folder;
}

// The home Trash where $XDG_DATA_HOME says it is.
fs::path homeTrash() { return xdgDataHome() / "Trash"; }

std::string uidText() { return std::to_string(::getuid()); }

// The Trash folders the item may go to: the home Trash, then the two kinds a file
// system may keep at its top.
std::vector<fs::path> trashFolders(const fs::path& item) {
    std::vector<fs::path> folders{homeTrash()};
    const fs::path top = topFolder(item.parent_path());
    if (!top.empty()) {
        folders.push_back(top / ".Trash" / uidText());
        folders.push_back(top / (".Trash-" + uidText()));
    }
    return folders;
}

bool itemExists(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

bool hasTrashName(const fs::path& folder) {
    const std::string name = folder.filename().string();
    return name == ".Trash" || name.rfind(".Trash-", 0) == 0;
}

// A Trash that takes an item: its folder, what the info file's Path is written relative
// to (nothing for the home Trash, whose paths are absolute), and its "files" and "info"
// folders, held open: the item and its info go into the folders that were found, whatever
// stands at their names by then.
struct Trash {
    fs::path folder;
    fs::path pathsFrom;
    UniqueFd files;
    UniqueFd info;
};

[[noreturn]] void refuseFolder(const fs::path& folder, int err) {
    // A link, or a file, at the name: a Trash folder is never reached through a link.
    const std::string why = err == ENOTDIR || err == ELOOP ? std::string("something else is in the way") : std::strerror(err);
    throw Error(FoundationErrorCode::fileWriteFailed, "Unable to open the Trash folder " + folder.string() + ": " + why);
}

// The folder `name` in the folder open as `parent` (shown as `folder`), never through a
// link; made (for the user alone) when missing and `make` says so.
UniqueFd openTrashFolder(int parent, const std::string& name, const fs::path& folder, bool make) {
    if (make && ::mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) {
        throw Error(FoundationErrorCode::fileWriteFailed,
                    "Unable to create the Trash folder " + folder.string() + ": " + std::strerror(errno));
    }
    UniqueFd fd(::openat(parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) refuseFolder(folder, errno);
    return fd;
}

// The Trash folder `name` in the folder open as `parent`, with its "files" and "info"
// folders, each opened beneath the one before.
Trash openTrash(int parent, const std::string& name, const fs::path& folder, const fs::path& pathsFrom, bool make) {
    const UniqueFd trash = openTrashFolder(parent, name, folder, make);
    Trash opened{folder, pathsFrom, openTrashFolder(trash.get(), "files", folder / "files", true),
                 openTrashFolder(trash.get(), "info", folder / "info", true)};
    return opened;
}

// The folder that holds a Trash folder.
UniqueFd openFolder(const fs::path& folder) {
    UniqueFd fd(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        throw Error(FoundationErrorCode::fileWriteFailed,
                    "Unable to open " + folder.string() + " for the Trash: " + std::strerror(errno));
    }
    return fd;
}

// The file system of the home Trash: that of its folder, or while it is missing, of the
// nearest folder above it (where it would be made). The home folder may lie elsewhere.
std::optional<dev_t> homeTrashDevice() {
    for (fs::path folder = homeTrash();; folder = folder.parent_path()) {
        struct stat info {};
        if (::stat(folder.c_str(), &info) == 0) return info.st_dev;
        if (!folder.has_relative_path()) return std::nullopt;
    }
}

// The Trash for an item on the device `device`, whose path is `original`: the home Trash
// for what lies on the data folder's file system. The home Trash is made when missing, as
// it belongs to the user; a file system elsewhere (a stick, another disk) is not given a
// Trash folder it never had. The data folder and a file system's top are the user's and
// the system's choice, reached as they lead; from there on nothing is a link.
Trash trashFor(dev_t device, const fs::path& original) {
    if (homeTrashDevice() == device) {
        const fs::path trash = homeTrash();
        std::error_code error;
        fs::create_directories(trash.parent_path(), error);
        const UniqueFd data = openFolder(trash.parent_path());
        return openTrash(data.get(), trash.filename().string(), trash, {}, true);
    }
    const fs::path top = topFolder(original.parent_path());
    if (!top.empty()) {
        const UniqueFd topFd = openFolder(top);
        // A shared ".Trash" counts only as a real folder with the sticky bit, as file
        // managers require; otherwise anyone could read what others throw away.
        UniqueFd shared(::openat(topFd.get(), ".Trash", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat sharedInfo {};
        if (shared && ::fstat(shared.get(), &sharedInfo) == 0 && (sharedInfo.st_mode & S_ISVTX)) {
            return openTrash(shared.get(), uidText(), top / ".Trash" / uidText(), top, true);
        }
        const std::string own = ".Trash-" + uidText();
        struct stat ownInfo {};
        if (::fstatat(topFd.get(), own.c_str(), &ownInfo, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(ownInfo.st_mode)) {
            return openTrash(topFd.get(), own, top / own, top, false);
        }
    }
    throw Error(FoundationErrorCode::fileWriteFailed,
                "there is no Trash folder on the file system that holds " + original.string());
}

// A path as the info file holds it: escaped as in a URL, "/" kept.
std::string escapedPath(const std::string& path) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
            c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(c);
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        }
    }
    return out;
}

// "<stem> <n><extension>": a name the Trash already holds, numbered where a person
// looks for it, the extension kept.
std::string numberedName(const std::string& name, int number) {
    const auto dot = name.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot != 0;
    const std::string stem = hasExtension ? name.substr(0, dot) : name;
    const std::string extension = hasExtension ? name.substr(dot) : std::string();
    return stem + " " + std::to_string(number) + extension;
}

}  // namespace

fs::path moveToTrash(const RootHandle::Entry& item, const fs::path& path) {
    const fs::path original = fs::absolute(path).lexically_normal();
    struct stat info {};
    if (::fstatat(item.folder.get(), item.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        throw Error(FoundationErrorCode::fileWriteFailed, "Unable to find " + original.string() + ": " + std::strerror(errno));
    }
    const Trash trash = trashFor(info.st_dev, original);
    trashFound();
    const int files = trash.files.get();
    const int infos = trash.info.get();
    const std::string recorded =
        trash.pathsFrom.empty() ? original.string() : original.lexically_relative(trash.pathsFrom).string();
    char stamp[32] = {};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    const std::string text = "[Trash Info]\nPath=" + escapedPath(recorded) + "\nDeletionDate=" + stamp + "\n";

    for (int number = 1; number < 10000; ++number) {
        const std::string name = number == 1 ? item.name : numberedName(item.name, number);
        const std::string infoName = name + ".trashinfo";
        // The info file claims the name first, as the layout asks: two programs moving
        // items of one name never take the same one.
        UniqueFd claim(::openat(infos, infoName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!claim) {
            if (errno == EEXIST) continue;
            throw Error(FoundationErrorCode::fileWriteFailed, "Unable to write to the Trash: " + std::string(std::strerror(errno)));
        }
        const bool written = ::write(claim.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                             ::close(claim.release()) == 0;
        if (written && renameIfFree(item.folder.get(), item.name.c_str(), files, name.c_str()) == 0) {
            return trash.folder / "files" / name;
        }
        const int err = written ? errno : EIO;
        ::unlinkat(infos, infoName.c_str(), 0);
        if (err == EEXIST) continue;
        throw Error(FoundationErrorCode::fileWriteFailed, "Unable to move " + original.string() + " to the Trash: " + std::strerror(err));
    }
    throw Error(FoundationErrorCode::fileWriteFailed, "The Trash holds too many items named " + item.name);
}

void setTrashFoundHookForTesting(std::function<void()> hook) { trashFound.set(std::move(hook)); }

bool trashHoldsName(const fs::path& path) {
    const fs::path item = fs::absolute(path).lexically_normal();
    const std::string name = item.filename().string();
    for (const auto& folder : trashFolders(item)) {
        if (itemExists(folder / "files" / name) || itemExists(folder / "info" / (name + ".trashinfo"))) return true;
    }
    return false;
}

bool isTrashFolder(const fs::path& folder) {
    const fs::path normal = folder.lexically_normal();
    if (hasTrashName(normal.has_filename() ? normal : normal.parent_path())) return true;
    struct stat info {};
    struct stat home {};
    return ::stat(folder.c_str(), &info) == 0 && ::stat(homeTrash().c_str(), &home) == 0 &&
           home.st_dev == info.st_dev && home.st_ino == info.st_ino;
}

bool isInTrash(const fs::path& path) {
    fs::path resolved;
    try {
        resolved = resolvedPath(path);
    } catch (const Error&) {
        resolved = fs::absolute(path).lexically_normal();
    }
    fs::path home;
    try {
        home = resolvedPath(homeTrash());
    } catch (const Error&) {
        home = homeTrash();
    }
    if (isAtOrBelow(resolved, home)) return true;
    for (fs::path folder = resolved; folder.has_relative_path(); folder = folder.parent_path()) {
        if (hasTrashName(folder)) return true;
    }
    return false;
}

}  // namespace platform::foundation::files
