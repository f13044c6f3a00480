#include "platform/foundation/trash.hpp"

#include "platform/foundation/error.hpp"

#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
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

std::string unescaped(const std::string& text) {
    char* plain = g_uri_unescape_string(text.c_str(), nullptr);
    if (plain == nullptr) return text;
    std::string result(plain);
    g_free(plain);
    return result;
}

// The "Path=" entry of a Trash info file, unescaped.
std::optional<fs::path> trashedFrom(const fs::path& infoFile) {
    std::ifstream in(infoFile);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Path=", 0) == 0) return fs::path(unescaped(line.substr(5)));
    }
    return std::nullopt;
}

// The Trash folders the item may have gone to: the home Trash, then the two kinds a
// file system may keep at its top.
std::vector<fs::path> trashFolders(const fs::path& item) {
    std::vector<fs::path> folders{fs::path(g_get_user_data_dir()) / "Trash"};
    const fs::path top = topFolder(item.parent_path());
    if (!top.empty()) {
        const std::string uid = std::to_string(::getuid());
        folders.push_back(top / ".Trash" / uid);
        folders.push_back(top / (".Trash-" + uid));
    }
    return folders;
}

// Where the item that stood at `original` lies in a Trash: the newest entry recorded for
// it (the home Trash records absolute paths, a file system's own Trash paths from its top).
fs::path locateTrashed(const fs::path& original, const std::vector<fs::path>& folders) {
    const std::string name = original.filename().string();
    fs::path found;
    fs::file_time_type newest = fs::file_time_type::min();
    for (const auto& folder : folders) {
        std::error_code error;
        for (fs::directory_iterator it(folder / "info", error), end; !error && it != end; it.increment(error)) {
            const std::string entry = it->path().filename().string();
            if (entry.rfind(name, 0) != 0 || !entry.ends_with(".trashinfo")) continue;
            const auto from = trashedFrom(it->path());
            const fs::path top = folder.parent_path().filename() == ".Trash" ? folder.parent_path().parent_path()
                                                                              : folder.parent_path();
            if (!from || (*from != original && top / *from != original)) continue;
            std::error_code timeError;
            const auto written = fs::last_write_time(it->path(), timeError);
            if (timeError || (!found.empty() && written < newest)) continue;
            newest = written;
            found = folder / "files" / entry.substr(0, entry.size() - std::string_view(".trashinfo").size());
        }
    }
    return found;
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
    return locateTrashed(original, trashFolders(original));
}

}  // namespace platform::foundation::files
