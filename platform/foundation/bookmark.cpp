#include "platform/foundation/bookmark.hpp"

#include "platform/foundation/error.hpp"
#include "platform/foundation/plist.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

Resolved resolve(const Data& data) {
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
    struct stat st {};
    if (::stat(path->c_str(), &st) != 0) throw resolveFailed("the item at " + *path + " no longer exists");
    Resolved out;
    out.url = URL::fileURL(*path, S_ISDIR(st.st_mode) != 0);
    out.isStale = static_cast<std::int64_t>(st.st_dev) != *device || static_cast<std::int64_t>(st.st_ino) != *inode;
    return out;
}

bool startAccessingSecurityScopedResource(const URL& url) {
    return url.isFileURL() && ::access(url.path().c_str(), R_OK) == 0;
}

void stopAccessingSecurityScopedResource(const URL&) {}

}  // namespace platform::foundation::bookmarks
