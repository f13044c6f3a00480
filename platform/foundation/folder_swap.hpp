#pragma once
// File-system steps for replacing a folder without ever losing it: a whole-tree copy,
// a swap of two names in one step, and an exclusive lock on a folder that several
// processes write into.
#include <filesystem>
#include <functional>

namespace platform::foundation::files {

// Copies the folder `from` with everything below it to `to`, which must not exist.
// Symbolic links are copied as links; entries for which `skip` says so are left out,
// with all they hold. Throws Error on the first failure (`to` may then hold part of the
// copy; the caller removes it).
void copyTree(const std::filesystem::path& from, const std::filesystem::path& to,
              const std::function<bool(const std::filesystem::path&)>& skip = {});

// Puts `from` at `to` in one step. When something stands at `to`, the two trade
// places (so `from` then names what stood at `to`); otherwise `from` is renamed and
// nothing is left behind it. Where the file system cannot trade places in one step,
// what stands at `to` is first renamed to `aside`, then `from` takes its place and
// `aside` becomes `from`: a crash in between leaves the old content at `aside`.
// Throws Error. Returns whether the two traded places.
bool exchangeOrMove(const std::filesystem::path& from, const std::filesystem::path& to,
                    const std::filesystem::path& aside);

// Removes `path` and everything below it; nothing there is no failure. Throws Error.
void removeTree(const std::filesystem::path& path);

// An exclusive advisory lock (flock) on a folder, held while the object lives. Other
// processes and other locks of this process on the same folder wait for it.
class FolderLock {
public:
    // Blocks until the lock is held. Throws Error when the folder cannot be opened.
    explicit FolderLock(const std::filesystem::path& folder);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_ = -1;
};

}  // namespace platform::foundation::files
