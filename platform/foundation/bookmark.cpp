#include "platform/foundation/bookmark.hpp"

#include "platform/foundation/error.hpp"
#include "platform/foundation/folder_swap.hpp"
#include "platform/foundation/plist.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

namespace platform::foundation::bookmarks {

namespace {
constexpr std::string_view kKind = "bookmark";

// When the item came to be, where its file system keeps that.
std::optional<struct statx_timestamp> birthOf(int folder, const char* path, int flags) {
    struct statx info {};
    if (::statx(folder, path, flags | AT_STATX_SYNC_AS_STAT, STATX_BTIME, &info) != 0 || !(info.stx_mask & STATX_BTIME)) {
        return std::nullopt;
    }
    return info.stx_btime;
}

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
    // A folder removed and made again at the same path may well get the same inode
    // number; it never gets the same moment of birth.
    if (const auto born = birthOf(AT_FDCWD, path.c_str(), 0)) {
        record.member("birthSeconds") = Value(static_cast<std::int64_t>(born->tv_sec));
        record.member("birthNanoseconds") = Value(static_cast<std::int64_t>(born->tv_nsec));
    }
    return plist::serialize(record, plist::Format::binary);
}

namespace {

struct Record {
    std::string path;
    std::int64_t device = 0;
    std::int64_t inode = 0;
    bool directory = false;
    // None in a bookmark made on a file system that keeps no birth times, or before they
    // were recorded: the item is then known by its device and inode alone.
    std::optional<struct statx_timestamp> born;

    enum class Match { same, other, unknown };

    // Whether the item at `st` (opened in `folder`, or reached by `path` with `flags`; `fd`
    // open on it, or -1) is the one recorded.
    Match identifies(const struct stat& st, int folder, const char* path, int flags, int fd) const {
        const auto found = born ? birthOf(folder, path, flags) : std::nullopt;
        const bool sameBirth = found && found->tv_sec == born->tv_sec && found->tv_nsec == born->tv_nsec;
        if (static_cast<std::int64_t>(st.st_dev) == device && static_cast<std::int64_t>(st.st_ino) == inode) {
            return !born || sameBirth ? Match::same : Match::other;
        }
        // Numbered afresh at each mount, the item is known only by its moment of birth; without
        // one, nothing tells the folder granted from another at its path.
        if (fd >= 0 && !files::identitiesLastAcrossMounts(fd)) {
            if (born && found) return sameBirth ? Match::same : Match::other;
            return Match::unknown;
        }
        return Match::other;
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
    Record read{*path, *device, *inode, !directory || *directory, std::nullopt};
    const auto seconds = record["birthSeconds"].asInteger();
    const auto nanoseconds = record["birthNanoseconds"].asInteger();
    if (seconds || nanoseconds) {
        if (!seconds || !nanoseconds || *nanoseconds < 0 || *nanoseconds >= 1'000'000'000) {
            throw resolveFailed("not bookmark data");
        }
        read.born = statx_timestamp{*seconds, static_cast<std::uint32_t>(*nanoseconds), 0};
    }
    return read;
}

}  // namespace

Resolved resolve(const Data& data) {
    const Record record = recordOf(data);
    struct stat st {};
    if (::stat(record.path.c_str(), &st) != 0) throw resolveFailed("the item at " + record.path + " no longer exists");
    Resolved out;
    out.url = URL::fileURL(record.path, S_ISDIR(st.st_mode) != 0);
    files::UniqueFd item(::open(record.path.c_str(), O_PATH | O_CLOEXEC));
    out.isStale = record.identifies(st, AT_FDCWD, record.path.c_str(), 0, item ? item.get() : -1) != Record::Match::same;
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
    switch (record.identifies(opened, folder.get(), "", AT_EMPTY_PATH, folder.get())) {
    case Record::Match::same: break;
    case Record::Match::other: out.standing = OpenedFolder::Standing::replaced; return out;
    case Record::Match::unknown: out.standing = OpenedFolder::Standing::unrecognised; return out;
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
