#include "platform/appkit/recent_documents.hpp"

#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/root_handle.hpp"
#include "platform/log/system_log.hpp"

#include <fcntl.h>
#include <gio/gio.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <vector>

namespace platform::appkit {

namespace {

namespace fs = std::filesystem;
using foundation::files::UniqueFd;

const log::SystemLog& recentLog() {
    static const log::SystemLog handle("platform.appkit", "recent-documents");
    return handle;
}

// One writer for the whole process: notes from several threads never interleave their
// read-modify-write of the list.
const dispatch::DispatchQueue& writer() {
    static const dispatch::DispatchQueue queue("platform.appkit.recent-documents");
    return queue;
}

struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};
using GText = std::unique_ptr<gchar, GFree>;

// The type the desktop's own file manager would give the file (its content sniffed when
// its name says nothing).
std::string mimeTypeOf(const fs::path& path) {
    std::unique_ptr<GFile, void (*)(gpointer)> file(g_file_new_for_path(path.c_str()), g_object_unref);
    std::unique_ptr<GFileInfo, void (*)(gpointer)> info(
        g_file_query_info(file.get(), G_FILE_ATTRIBUTE_STANDARD_CONTENT_TYPE, G_FILE_QUERY_INFO_NONE, nullptr, nullptr),
        g_object_unref);
    const char* contentType = info ? g_file_info_get_content_type(info.get()) : nullptr;
    GText guessed;
    if (!contentType) {
        guessed.reset(g_content_type_guess(path.c_str(), nullptr, 0, nullptr));
        contentType = guessed.get();
    }
    GText mime(contentType ? g_content_type_get_mime_type(contentType) : nullptr);
    return mime ? std::string(mime.get()) : std::string("application/octet-stream");
}

// One document noted by one application.
struct Note {
    std::string uri;
    std::string mimeType;
    std::string appName;
    std::string exec;
};

// The list `bytes` hold with the note added; none (logged) when they are no list, which
// must then be left as it is: writing it anew would throw every other program's entries away.
std::optional<std::string> withNote(const std::string& bytes, const Note& note) {
    std::unique_ptr<GBookmarkFile, void (*)(GBookmarkFile*)> list(g_bookmark_file_new(), g_bookmark_file_free);
    GError* error = nullptr;
    if (!bytes.empty() && !g_bookmark_file_load_from_data(list.get(), bytes.data(), bytes.size(), &error)) {
        recentLog().error(std::string("Cannot read the recently-used list: ") + error->message);
        g_clear_error(&error);
        return std::nullopt;
    }
    g_bookmark_file_set_mime_type(list.get(), note.uri.c_str(), note.mimeType.c_str());
    g_bookmark_file_add_application(list.get(), note.uri.c_str(), note.appName.c_str(), note.exec.c_str());
    gsize length = 0;
    GText text(g_bookmark_file_to_data(list.get(), &length, &error));
    if (!text) {
        recentLog().error(std::string("Cannot write the recently-used list: ") + error->message);
        g_clear_error(&error);
        return std::nullopt;
    }
    return std::string(text.get(), length);
}

// What tells one version of the list from another without reading it: a rename keeps all
// of it, a write in place changes the size or the time of change.
bool sameVersion(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool lockExclusively(int fd) {
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// The list where it is written: the folder that holds it (after the user's link, when the
// list is one) and its name there.
struct Place {
    UniqueFd folder;
    std::string name;
    fs::path shownAs;
};

// Our programs take turns at the list: an exclusive flock() of the folder that holds it,
// for the whole read-merge-write. The list itself is no place for the lock, since every
// write replaces it. (Other programs take no lock at all; what they write meanwhile is
// caught just before and after the rename.)
class FolderTurn {
public:
    explicit FolderTurn(const Place& place) : fd_(::openat(place.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_) lockExclusively(fd_.get());
    }

private:
    UniqueFd fd_;
};

// Where the list is to be written, or none (logged) when it is to be left alone: a link
// is written through only to a regular file of this user's, never replaced and never
// made to point anywhere new.
std::optional<Place> placeOf(const fs::path& list) {
    fs::path file = list;
    struct stat info {};
    if (::lstat(list.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(list.c_str(), nullptr), &std::free);
        if (!resolved || ::lstat(resolved.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
            recentLog().info("The recently-used list " + list.string() +
                             " is a link to no file of this user's: left as it is");
            return std::nullopt;
        }
        file = resolved.get();
    } else {
        std::error_code ignored;
        fs::create_directories(list.parent_path(), ignored);
    }
    UniqueFd folder(::open(file.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder) {
        recentLog().error("Cannot open the folder of the recently-used list " + file.string() + ": " +
                          std::strerror(errno));
        return std::nullopt;
    }
    return Place{std::move(folder), file.filename().string(), file};
}

// The list as it is now.
struct Current {
    bool exists = false;
    struct stat info {};
    std::string bytes;
};

std::optional<Current> readCurrent(const Place& place) {
    Current current;
    UniqueFd fd(::openat(place.folder.get(), place.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return current;
        // A link or something else put there since it was looked at: left alone too.
        recentLog().error("Cannot open the recently-used list " + place.shownAs.string() + ": " + std::strerror(errno));
        return std::nullopt;
    }
    try {
        if (::fstat(fd.get(), &current.info) != 0) throw foundation::Error::posix(errno, "Cannot read " + place.shownAs.string());
        current.bytes = foundation::stringFromData(foundation::files::readOpenedFile(fd.get(), place.shownAs));
    } catch (const foundation::Error& error) {
        recentLog().error(std::string("Cannot read the recently-used list: ") + error.what());
        return std::nullopt;
    }
    current.exists = true;
    return current;
}

// Whether the list may be rewritten keeping what it is: a list without its owner's write
// permission is the user's way to keep history off, and one of another owner can be
// replaced only by someone who can give the new file that owner.
bool mayRewrite(const Current& current, const fs::path& shownAs) {
    if (!current.exists) return true;
    if ((current.info.st_mode & S_IWUSR) == 0) {
        recentLog().info("The recently-used list " + shownAs.string() + " is read-only: left as it is");
        return false;
    }
    if (current.info.st_uid != ::geteuid() && ::geteuid() != 0) {
        recentLog().info("The recently-used list " + shownAs.string() + " belongs to another user: left as it is");
        return false;
    }
    return true;
}

std::string temporaryName(const std::string& name) {
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 random(std::random_device{}());
    std::string suffix(6, 'a');
    for (auto& c : suffix) c = letters[random() % (sizeof letters - 1)];
    return "." + name + "." + suffix;
}

// A new version of the list, written in full beside it under a temporary name with the
// list's mode, owner and group.
struct Written {
    std::string name;
    UniqueFd fd;
    struct stat info {};
};

std::optional<Written> writeBeside(const Place& place, const std::string& bytes, const struct stat* like) {
    Written written;
    for (int attempt = 0; !written.fd; ++attempt) {
        written.name = temporaryName(place.name);
        written.fd = UniqueFd(::openat(place.folder.get(), written.name.c_str(),
                                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!written.fd && (errno != EEXIST || attempt > 100)) {
            recentLog().error("Cannot write the recently-used list " + place.shownAs.string() + ": " +
                              std::strerror(errno));
            return std::nullopt;
        }
    }
    const auto fail = [&](const char* step) {
        recentLog().error(std::string("Cannot ") + step + " the recently-used list " + place.shownAs.string() + ": " +
                          std::strerror(errno));
        ::unlinkat(place.folder.get(), written.name.c_str(), 0);
        return std::nullopt;
    };
    // A new list is the user's alone; an existing one keeps who may read it.
    const mode_t mode = like ? (like->st_mode & 07777) : 0600;
    if (like && (like->st_uid != ::geteuid() || like->st_gid != ::getegid()) &&
        ::fchown(written.fd.get(), like->st_uid, like->st_gid) != 0) {
        return fail("keep the owner of");
    }
    if (::fchmod(written.fd.get(), mode) != 0) return fail("keep the mode of");
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t n = ::write(written.fd.get(), bytes.data() + at, bytes.size() - at);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail("write");
        }
        at += static_cast<std::size_t>(n);
    }
    if (::fsync(written.fd.get()) != 0 || ::fstat(written.fd.get(), &written.info) != 0) {
        return fail("write");
    }
    return written;
}

void addToList(const Note& note) {
    auto place = placeOf(RecentDocuments::listPath());
    if (!place) return;
    const int folder = place->folder.get();
    const FolderTurn turn(*place);
    const auto failed = [&](int err) {
        recentLog().error("Cannot write the recently-used list " + place->shownAs.string() + ": " + std::strerror(err));
    };
    // Another program that writes the list without pause can keep a note from its place for
    // a while, not for ever: after that long, the note is given up (and logged).
    const auto givenUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < givenUpAt) {
        const auto current = readCurrent(*place);
        if (!current || !mayRewrite(*current, place->shownAs)) return;
        const auto bytes = withNote(current->bytes, note);
        if (!bytes) return;
        auto written = writeBeside(*place, *bytes, current->exists ? &current->info : nullptr);
        if (!written) return;
        const char* temporary = written->name.c_str();
        if (!current->exists) {
            if (::renameat2(folder, temporary, folder, place->name.c_str(), RENAME_NOREPLACE) == 0) return;
            const int err = errno;
            ::unlinkat(folder, temporary, 0);
            // Another program made the list meanwhile: it is read again and added to.
            if (err == EEXIST) continue;
            return failed(err);
        }
        // Other programs take no lock: one that wrote since the list was read is caught
        // here, just before the rename, and its version read again.
        struct stat there {};
        if (::fstatat(folder, place->name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
            !sameVersion(there, current->info)) {
            ::unlinkat(folder, temporary, 0);
            continue;
        }
        if (::renameat2(folder, temporary, folder, place->name.c_str(), RENAME_EXCHANGE) != 0) {
            const int err = errno;
            // A file system that cannot swap two names: the plain rename, checked just before.
            if ((err == EINVAL || err == ENOSYS) && ::renameat(folder, temporary, folder, place->name.c_str()) == 0) {
                return;
            }
            ::unlinkat(folder, temporary, 0);
            return failed(err);
        }
        // The version that gave way now has the temporary name: the one read, unless
        // another program put its own in place in the moment after the check. Then that
        // one goes back at once, and the note is added to it in the next round.
        struct stat displaced {};
        if (::fstatat(folder, temporary, &displaced, AT_SYMLINK_NOFOLLOW) == 0 && sameVersion(displaced, current->info)) {
            ::unlinkat(folder, temporary, 0);
            return;
        }
        if (::renameat2(folder, temporary, folder, place->name.c_str(), RENAME_EXCHANGE) != 0) {
            // Theirs goes back over ours all the same: their entries count more than our note.
            const int err = errno;
            ::renameat(folder, temporary, folder, place->name.c_str());
            return failed(err);
        }
        struct stat returned {};
        if (::fstatat(folder, temporary, &returned, AT_SYMLINK_NOFOLLOW) == 0 && !sameVersion(returned, written->info)) {
            // A third version came in the moment ours stood there: the newest stays.
            ::renameat2(folder, temporary, folder, place->name.c_str(), RENAME_EXCHANGE);
        }
        ::unlinkat(folder, temporary, 0);
    }
    recentLog().error("The recently-used list " + place->shownAs.string() + " kept changing while it was written");
}

}  // namespace

std::filesystem::path RecentDocuments::listPath() { return foundation::files::xdgDataHome() / "recently-used.xbel"; }

void RecentDocuments::noteNewRecentDocumentURL(const foundation::URL& url, const std::string& appName,
                                               const std::string& exec) {
    if (!url.isFileURL()) return;
    const auto document = url.fsPath();
    writer().async([document, appName, exec] {
        GText uri(g_filename_to_uri(document.c_str(), nullptr, nullptr));
        if (!uri) return;
        // Looked at before the list is: the list is read and replaced in as short a time as can be.
        addToList(Note{uri.get(), mimeTypeOf(document), appName, exec});
    });
}

void RecentDocuments::waitUntilWritten() {
    writer().sync([] {});
}

}  // namespace platform::appkit
