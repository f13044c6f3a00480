#include "platform/foundation/trash.hpp"

#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"

#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace platform::foundation::files {

namespace fs = std::filesystem;

namespace {

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

// The Trash folders the item may go to: the home Trash where GLib puts it (GLib reads
// $XDG_DATA_HOME once, on first use, so only what trashes asks it), then the two kinds
// a file system may keep at its top.
std::vector<fs::path> trashFolders(const fs::path& item) {
    std::vector<fs::path> folders{fs::path(g_get_user_data_dir()) / "Trash"};
    if (homeTrash() != folders.front()) folders.push_back(homeTrash());
    const fs::path top = topFolder(item.parent_path());
    if (!top.empty()) {
        const std::string uid = std::to_string(::getuid());
        folders.push_back(top / ".Trash" / uid);
        folders.push_back(top / (".Trash-" + uid));
    }
    return folders;
}

struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
};

std::optional<Identity> identityOf(const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
    return Identity{info.st_dev, info.st_ino};
}

bool hasIdentity(const fs::path& path, const Identity& identity) {
    const auto found = identityOf(path);
    return found && found->device == identity.device && found->inode == identity.inode;
}

// Where the item of that identity lies in one of the Trash folders. A move keeps the
// identity, so this finds the item whatever name the Trash gave it, and never another
// item of the same name. Its own name is looked at first: the Trash keeps it when free.
fs::path locateTrashed(const Identity& identity, const std::string& name, const std::vector<fs::path>& folders) {
    for (const auto& folder : folders) {
        if (hasIdentity(folder / "files" / name, identity)) return folder / "files" / name;
    }
    for (const auto& folder : folders) {
        std::error_code error;
        for (fs::directory_iterator it(folder / "files", error), end; !error && it != end; it.increment(error)) {
            if (hasIdentity(it->path(), identity)) return it->path();
        }
    }
    return {};
}

bool itemExists(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

bool hasTrashName(const fs::path& folder) {
    const std::string name = folder.filename().string();
    return name == ".Trash" || name.rfind(".Trash-", 0) == 0;
}

bool sameDevice(const fs::path& a, const fs::path& b) {
    struct stat first {};
    struct stat second {};
    return ::lstat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev;
}

// Whether the file system that holds `item` already has a Trash folder at its top. The
// home Trash is made when missing, as it belongs to the user; a file system elsewhere
// (a stick, another disk) is not given a Trash folder it never had.
bool hasTrashFolder(const fs::path& item) {
    if (sameDevice(item, g_get_home_dir())) return true;
    const fs::path top = topFolder(item.parent_path());
    if (top.empty()) return false;
    std::error_code error;
    const auto shared = fs::symlink_status(top / ".Trash", error);
    const auto own = fs::symlink_status(top / (".Trash-" + std::to_string(::getuid())), error);
    return fs::is_directory(shared) || fs::is_directory(own);
}

}  // namespace

fs::path moveToTrash(const fs::path& path) {
    const fs::path original = fs::absolute(path).lexically_normal();
    const auto identity = identityOf(original);
    if (!hasTrashFolder(original)) {
        throw Error(FoundationErrorCode::fileWriteFailed,
                    "there is no Trash folder on the file system that holds " + original.string());
    }
    GFile* file = g_file_new_for_path(original.c_str());
    GError* error = nullptr;
    const bool trashed = g_file_trash(file, nullptr, &error);
    g_object_unref(file);
    if (!trashed) {
        const std::string reason = error != nullptr ? error->message : "the Trash refused it";
        if (error != nullptr) g_error_free(error);
        throw Error(FoundationErrorCode::fileWriteFailed, reason);
    }
    return identity ? locateTrashed(*identity, original.filename().string(), trashFolders(original)) : fs::path();
}

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
