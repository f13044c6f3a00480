#include "platform/foundation/bookmark.hpp"

#include "platform/foundation/error.hpp"
#include "platform/foundation/lasting_identity.hpp"
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
    files::UniqueFd item(::open(path.c_str(), O_PATH | O_CLOEXEC));
    struct stat st {};
    if (!item || ::fstat(item.get(), &st) != 0) {
        int err = errno;
        if (err == ENOENT) throw Error(FoundationErrorCode::fileNotFound, "The file \"" + url.lastPathComponent() + "\" couldn't be opened because there is no such file.");
        throw Error::posix(err, "Cannot bookmark " + path);
    }
    const auto identity = files::identityOf(item.get(), st);
    Value record = Value::dict({
        {"kind", Value(kKind)},
        {"version", Value(1)},
        {"path", Value(path)},
        {"directory", Value(S_ISDIR(st.st_mode) != 0)},
        {"device", Value(static_cast<std::int64_t>(st.st_dev))},
        {"inode", Value(static_cast<std::int64_t>(st.st_ino))},
    });
    // A folder removed and made again at the same path may well get the same inode
    // number; it never gets the same moment of birth.
    if (identity.born) {
        record.member("birthSeconds") = Value(static_cast<std::int64_t>(identity.born->seconds));
        record.member("birthNanoseconds") = Value(static_cast<std::int64_t>(identity.born->nanoseconds));
    }
    // What tells the folder after its disk was attached again under another device number.
    if (identity.fileSystem) record.member("fileSystem") = Value(static_cast<std::int64_t>(*identity.fileSystem));
    if (identity.mount) record.member("mount") = Value(*identity.mount);
    return plist::serialize(record, plist::Format::binary);
}

namespace {

struct Record {
    std::string path;
    bool directory = false;
    // Without a moment of birth in a bookmark made on a file system that keeps none, or
    // before they were recorded: the item is then known by its numbers.
    files::RecordedIdentity identity;
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
    Record read{*path, !directory || *directory, {}};
    read.identity.numbers = {static_cast<dev_t>(*device), static_cast<ino_t>(*inode)};
    const auto seconds = record["birthSeconds"].asInteger();
    const auto nanoseconds = record["birthNanoseconds"].asInteger();
    if (seconds || nanoseconds) {
        if (!seconds || !nanoseconds || *nanoseconds < 0 || *nanoseconds >= 1'000'000'000) {
            throw resolveFailed("not bookmark data");
        }
        read.identity.born = files::Moment{*seconds, static_cast<std::uint32_t>(*nanoseconds)};
    }
    if (const auto fileSystem = record["fileSystem"].asInteger(); fileSystem && *fileSystem != 0) {
        read.identity.fileSystem = static_cast<std::uint64_t>(*fileSystem);
    }
    if (const std::string* mount = record["mount"].asString(); mount && !mount->empty()) read.identity.mount = *mount;
    return read;
}

}  // namespace

Resolved resolve(const Data& data) {
    const Record record = recordOf(data);
    files::UniqueFd item(::open(record.path.c_str(), O_PATH | O_CLOEXEC));
    struct stat st {};
    if (!item || ::fstat(item.get(), &st) != 0) throw resolveFailed("the item at " + record.path + " no longer exists");
    Resolved out;
    out.url = URL::fileURL(record.path, S_ISDIR(st.st_mode) != 0);
    out.isStale = files::recognise(record.identity, item.get(), st) != files::Recognition::same;
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
    switch (files::recognise(record.identity, folder.get(), opened)) {
    case files::Recognition::same: break;
    case files::Recognition::other: out.standing = OpenedFolder::Standing::replaced; return out;
    case files::Recognition::unknown: out.standing = OpenedFolder::Standing::unrecognised; return out;
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
