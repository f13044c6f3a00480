#include "platform/foundation/bookmark.hpp"

#include "platform/foundation/error.hpp"
#include "platform/foundation/plist.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::foundation::bookmarks {

namespace {
constexpr std::string_view kKind = "bookmark";

Error resolveFailed(const std::string& why) {
    return Error(FoundationErrorCode::bookmarkResolveFailed, "The bookmark couldn't be resolved. (" + why + ")");
}
}  // namespace

Data create(const URL& url) {
    if (!url.isFileURL()) throw Error(FoundationErrorCode::fileNotFound, "Only file URLs can be bookmarked: " + url.absoluteString());
    std::string path = url.path();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        int err = errno;
        if (err == ENOENT) throw Error(FoundationErrorCode::fileNotFound, "The file \"" + url.lastPathComponent() + "\" couldn't be opened because there is no such file.");
        throw Error::posix(err, "Cannot bookmark " + path);
    }
    Value record = Value::dict({
        {"kind", Value(kKind)},
        {"version", Value(1)},
        {"path", Value(path)},
        {"directory", Value(S_ISDIR(st.st_mode) != 0)},
        {"device", Value(static_cast<std::int64_t>(st.st_dev))},
        {"inode", Value(static_cast<std::int64_t>(st.st_ino))},
    });
    return plist::serialize(record, plist::Format::binary);
}

namespace {

struct Record {
    std::string path;
    std::int64_t device = 0;
    std::int64_t inode = 0;
    bool directory = false;

    bool identifies(const struct stat& st) const {
        return static_cast<std::int64_t>(st.st_dev) == device && static_cast<std::int64_t>(st.st_ino) == inode;
    }
};

Record recordOf(const Data& data) {
    Value record;
    try {
        record = plist::parse(data);
    } catch (const Error&) {
        throw resolveFailed("not bookmark data");
    }
    const std::string* kind = record["kind"].asString();
    const std::string* path = record["path"].asString();
    auto device = record["device"].asInteger();
    auto inode = record["inode"].asInteger();
    if (!kind || *kind != kKind || !path || path->empty() || (*path)[0] != '/' || !device || !inode) {
        throw resolveFailed("not bookmark data");
    }
    // Bookmarks made before the kind of item was recorded were of folders only.
    const auto directory = record["directory"].asBool();
    return Record{*path, *device, *inode, !directory || *directory};
}

}  // namespace

Resolved resolve(const Data& data) {
    const Record record = recordOf(data);
    struct stat st {};
    if (::stat(record.path.c_str(), &st) != 0) throw resolveFailed("the item at " + record.path + " no longer exists");
    Resolved out;
    out.url = URL::fileURL(record.path, S_ISDIR(st.st_mode) != 0);
    out.isStale = !record.identifies(st);
    return out;
}

OpenedFolder openFolder(const Data& data) {
    const Record record = recordOf(data);
    OpenedFolder out;
    out.url = URL::fileURL(record.path, true);
    if (!record.directory) {
        out.standing = OpenedFolder::Standing::notAFolder;
        return out;
    }
    files::UniqueFd folder(::open(record.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder) {
        const int err = errno;
        if (err == ENOENT) {
            out.standing = OpenedFolder::Standing::gone;
        } else if (err == ENOTDIR) {
            // A file at the path itself, or where one of the folders above it was.
            struct stat info {};
            const bool fileThere = ::stat(record.path.c_str(), &info) == 0;
            out.standing = fileThere ? OpenedFolder::Standing::notAFolder : OpenedFolder::Standing::gone;
        } else {
            out.standing = OpenedFolder::Standing::unusable;
            out.error = err;
            out.reason = std::strerror(err);
        }
        return out;
    }
    struct stat opened {};
    if (::fstat(folder.get(), &opened) != 0) {
        out.standing = OpenedFolder::Standing::unusable;
        out.error = errno;
        out.reason = std::strerror(out.error);
        return out;
    }
    if (!record.identifies(opened)) {
        out.standing = OpenedFolder::Standing::replaced;
        return out;
    }
    // Readable by this process: its listing can be opened through the descriptor.
    files::UniqueFd listing(::openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing) {
        out.standing = OpenedFolder::Standing::unusable;
        out.error = errno;
        out.reason = std::strerror(out.error);
        return out;
    }
    out.standing = OpenedFolder::Standing::same;
    out.folder = std::move(folder);
    return out;
}

bool startAccessingSecurityScopedResource(const URL& url) {
    return url.isFileURL() && ::access(url.path().c_str(), R_OK) == 0;
}

void stopAccessingSecurityScopedResource(const URL&) {}

}  // namespace platform::foundation::bookmarks
