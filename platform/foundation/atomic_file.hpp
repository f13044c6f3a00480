#pragma once
// A file written atomically in pieces, for files too large to hold as one text: the pieces
// go to a temporary file in the same folder, which takes the file's place whole (after
// fsync) on commit(). Until then, and when anything fails, the file is as it was; the
// temporary file is removed when the writer is destroyed uncommitted.
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
