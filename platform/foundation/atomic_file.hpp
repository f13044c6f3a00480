#pragma once
// A file written atomically in pieces, for files too large to hold as one text: the pieces
// go to a temporary file in the same folder, which takes the file's place whole (after
// fsync) on commit(). Until then, and when anything fails, the file is as it was; the
// temporary file is removed when the writer is destroyed uncommitted.
//
// The temporary file is named ".<name>.unfinished-" and twelve random letters and digits,
// and marked as a writer's (an extended attribute naming the file and the temporary file's
// own identity), so that a user's file beside it, whatever its name, is never taken for one.
// Where the file system allows, it is made without a name and takes its name only once it is
// marked and locked.
// A writer holds a lock on its temporary file (an open-file-description lock) until it is
// done with it, so that one a killed or crashed writer left behind can be told from one
// still being written, by any process: removeStaleTemporaries() removes only the former.
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace platform::foundation::files {

class AtomicFileWriter {
public:
    // How the bytes go to the disk. Through the page cache, each byte is first copied into
    // memory the system has to find for it; `pastPageCache` writes from a few buffers of
    // the writer's own (used again and again) straight to the disk, on a thread of its own
    // while the caller makes the next bytes: for files of gigabytes, written once and not
    // read back soon. Where the file system refuses that (no direct input and output, as
    // on ramfs), the bytes go through the page cache all the same.
    enum class Route { pageCache, pastPageCache };

    // The folder must exist. A file that already exists keeps its permission bits; a new
    // one gets `newFileMode`. Error (POSIX domain) when the temporary file cannot be made.
    explicit AtomicFileWriter(const std::filesystem::path& path, unsigned newFileMode = 0644,
                              Route route = Route::pageCache);
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    // Error (POSIX domain) when the bytes cannot be written (a full disk, say); the
    // writer is then spent and the file stays as it was. Past the page cache, a failure
    // is told by the write or commit after the one whose bytes met it.
    void write(std::string_view bytes);
    // Puts the file in place; Error as for write.
    void commit();

    // The temporary file being written now (for tests and diagnostics).
    const std::string& temporaryPath() const { return temporary_; }

    // Removes the temporary files of writes of `path` that ended without finishing (the
    // writer was killed, or the machine stopped): those beside it named as a writer names
    // them, carrying a writer's mark for themselves, and held by no writer. Where the file
    // system keeps no extended attributes nothing is marked, and nothing goes. Never fails;
    // answers how many went.
    static int removeStaleTemporaries(const std::filesystem::path& path);

private:
    struct Direct;

    // The temporary file, made and marked before it has a name; false where the file system
    // (or a missing /proc) does not allow that, with nothing made.
    bool openUnnamed(const std::filesystem::path& dir, const std::string& prefix);
    // The temporary file, made under its name.
    void openNamed(const std::string& prefix);
    void writeOut(std::string_view bytes);
    [[noreturn]] void fail(int error);

    std::filesystem::path path_;
    std::string temporary_;
    int fd_ = -1;
    std::string buffer_;
    // Bytes written to the temporary file, and how many of them the disk was asked to
    // write out.
    long long written_ = 0;
    long long startedWriteback_ = 0;
    // Past the page cache: the buffers and the thread that writes them.
    std::unique_ptr<Direct> direct_;
};

}  // namespace platform::foundation::files
