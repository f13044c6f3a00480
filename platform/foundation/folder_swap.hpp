#pragma once
// File-system steps for replacing a folder without ever losing it: a whole-tree copy,
// a swap of two names in one step, a removal of a whole tree and an exclusive lock on a
// folder that several processes write into. Each acts on entries given as an open
// folder and a name in it (see RootHandle::entry), so nothing is looked up again by a
// path that could have been redirected meanwhile; below the entry every step is taken
// relative to the folder the step before opened, and links are never followed.
#include "platform/foundation/root_handle.hpp"

#include <filesystem>
#include <functional>
#include <string>

namespace platform::foundation::files {

// Copies the folder `from` with everything below it to `to`, which must not exist.
// Symbolic links are copied as links (a link at `from` itself is refused); entries for
// which `skip` says so (by name) are left out, with all they hold. FIFOs, sockets and
// devices are no content and are passed over. Throws Error on the first failure (`to`
// may then hold part of the copy; the caller removes it). `shownAs` names `from` in errors.
void copyTree(const RootHandle::Entry& from, const RootHandle::Entry& to, const std::filesystem::path& shownAs,
              const std::function<bool(const std::string& name)>& skip = {});

// Puts `from` at `to` in one step. When something stands at `to`, the two trade
// places (so `from` then names what stood at `to`); otherwise `from` is renamed and
// nothing is left behind it. Where the file system cannot trade places in one step,
// what stands at `to` is first renamed to `aside`, then `from` takes its place and
// `aside` becomes `from`: a crash in between leaves the old content at `aside`.
// Throws Error. Returns whether the two traded places.
bool exchangeOrMove(const RootHandle::Entry& from, const RootHandle::Entry& to, const RootHandle::Entry& aside,
                    const std::filesystem::path& shownAs);

// rename(2) that refuses (EEXIST) to replace whatever stands at the target; where the
// file system cannot refuse in the same step, the target is looked at just before.
// 0, or -1 with errno.
int renameIfFree(int fromFolder, const char* fromName, int toFolder, const char* toName);

// Removes the entry and everything below it (a link itself, never what it leads to);
// nothing there is no failure. Throws Error.
void removeTree(const RootHandle::Entry& entry, const std::filesystem::path& shownAs);

// An exclusive advisory lock (flock) on a folder, held while the object lives. Other
// processes and other locks of this process on the same folder wait for it.
class FolderLock {
public:
    // Blocks until the lock is held on the folder open (for reading) as `folder`.
    // Throws Error when it cannot be taken.
    FolderLock(UniqueFd folder, const std::filesystem::path& shownAs);
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    UniqueFd fd_;
};

}  // namespace platform::foundation::files
