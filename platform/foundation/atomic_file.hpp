#pragma once
// A file written atomically in pieces, for files too large to hold as one text: the pieces
// go to a temporary file in the same folder, which takes the file's place whole (after
// fsync) on commit(). Until then, and when anything fails, the file is as it was; the
// temporary file is removed when the writer is destroyed uncommitted.
//
// A writer holds a lock on its temporary file (an open-file-description lock) until it is
// done with it, so that one a killed or crashed writer left behind can be told from one
// still being written, by any process: removeStaleTemporaries() removes only the former.
#include <filesystem>
#include <string>
#include <string_view>

namespace platform::foundation::files {

class AtomicFileWriter {
public:
    // The folder must exist. A file that already exists keeps its permission bits; a new
    // one gets `newFileMode`. Error (POSIX domain) when the temporary file cannot be made.
    explicit AtomicFileWriter(const std::filesystem::path& path, unsigned newFileMode = 0644);
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    // Error (POSIX domain) when the bytes cannot be written (a full disk, say); the
    // writer is then spent and the file stays as it was.
    void write(std::string_view bytes);
    // Puts the file in place; Error as for write.
    void commit();

    // The temporary file being written now (for tests and diagnostics).
    const std::string& temporaryPath() const { return temporary_; }

    // Removes the temporary files of writes of `path` that ended without finishing (the
    // writer was killed, or the machine stopped): those beside it named as a writer names
    // them and held by no writer. Never fails; answers how many went.
    static int removeStaleTemporaries(const std::filesystem::path& path);

private:
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
};

}  // namespace platform::foundation::files
