#pragma once
// File-system steps for replacing a folder without ever losing it: a whole-tree copy,
// a swap of two names in one step, the removal of what a writer may remove from a tree,
// the marks that tell an item in flight from anything else, and an exclusive lock on a
// folder that several processes write into. Each acts on entries given as an open folder
// and a name in it (see RootHandle::entry), so nothing is looked up again by a path that
// could have been redirected meanwhile; below the entry every step is taken relative to
// the folder the step before opened, and links are never followed.
#include "platform/foundation/root_handle.hpp"

#include <sys/stat.h>

#include <compare>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace platform::foundation::files {

// An item's identity on the machine, whatever it is named: its device and inode.
struct ItemIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    static ItemIdentity of(const struct stat& item) { return {item.st_dev, item.st_ino}; }
    auto operator<=>(const ItemIdentity&) const = default;
};

// Whether the file system of the item open as `fd` (O_PATH will do) gives each item the
// same device and inode number whenever it is mounted: FAT and exFAT number items as they
// are met, FUSE file systems mostly as they are looked up, so there an item cannot be told
// by its numbers across a remount.
bool identitiesLastAcrossMounts(int fd);
// Tests only: every file system is taken for one whose numbers do not last.
void setIdentitiesLastingRefusedForTesting(bool refused);

// What one writer made, by identity, recorded as it made it: the folders, files and links
// it created, and which of them are copies of an item (with that item as it was when it
// was copied). A name proves nothing; an identity recorded at the moment of making does.
// Safe to use from several threads.
class MadeItems {
public:
    void made(const struct stat& item);
    void copied(const struct stat& copy, const struct stat& source);
    // The item is gone (the writer removed or replaced it): its identity may be given to
    // another item, which the writer did not make.
    void forget(const struct stat& item);
    bool isMade(const struct stat& item) const;
    // Made, and not as a copy: what the writer wrote of its own.
    bool isWritten(const struct stat& item) const;
    // Whether `copy` was made as a copy of `source`, and `source` still looks as it did then
    // (its size and time of modification). Where times are kept in whole seconds (exFAT), a
    // file saved anew in the same second looks the same: see holdTheSameBytes.
    bool isCopyOf(const struct stat& copy, const struct stat& source) const;

private:
    struct Source {
        ItemIdentity identity;
        off_t size;
        struct timespec modified;
    };
    mutable std::mutex mutex_;
    std::set<ItemIdentity> made_;
    std::map<ItemIdentity, Source> copies_;
};

// How copyTree carries a folder over.
struct TreeCopy {
    // Entries left out (by name and what they are), with all they hold.
    std::function<bool(const std::string& name, const struct stat& item)> skip;
    // Runs once the copy's own folder is made, open as `folder`, before anything is put in it.
    std::function<void(int folder)> madeFolder;
    // Where every folder, link and copied file made is recorded.
    MadeItems* made = nullptr;
    // Filled in: the entries left out, relative to the folder copied.
    std::vector<std::filesystem::path> skipped;
};

// Copies the folder `from` with everything below it to `to`, which must not exist. A
// regular file is carried over as a second name of the same file where the file system
// allows (so it keeps what it is, and the old name can later go without taking it along;
// nothing writes into such a file: a new version replaces its name), else copied.
// Symbolic links are copied as links (a link at `from` itself is refused). FIFOs, sockets
// and devices are no content and are passed over. Throws Error on the first failure
// (`to` may then hold part of the copy; the caller removes it). `shownAs` names `from` in
// errors.
void copyTree(const RootHandle::Entry& from, const RootHandle::Entry& to, const std::filesystem::path& shownAs,
              TreeCopy& copy);

// Tests only: files are copied, never linked, as on file systems that refuse links.
void setLinksRefusedForTesting(bool refused);

// Tests only: runs in copyTree each time an entry has been looked at, before it is carried
// over, with the folder it is in (open) and its name; a test removes or replaces it then.
void setCopyLookHookForTesting(std::function<void(int folder, const std::string& name)> hook);

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

// An entry of a tree being removed: `item`, standing at `name` in the folder open as
// `folder`, and `counterpart`, what stands at the same place in the tree that took the
// removed tree's place (none when nothing does, or nothing took its place), at
// `counterpartName` in the folder open as `counterpartFolder`.
struct PruneEntry {
    const struct stat& item;
    const struct stat* counterpart;
    int folder;
    const std::string& name;
    int counterpartFolder;
    const std::string& counterpartName;
};
// Whether an entry of a tree being removed may go. A folder is asked only once everything
// in it went; one that keeps anything stays.
using MayGo = std::function<bool(const PruneEntry& entry)>;

// Whether the entry and its counterpart are regular files holding the same bytes, read
// through, and neither changed (size, times of modification and change) while they were
// read or since they were looked at.
bool holdTheSameBytes(const PruneEntry& entry);

// Removes from the tree at `entry` every entry that `mayGo` lets go, children before their
// folder, and leaves the rest where it is; a file changed between the answer and its
// removal stays. `counterpart`, when given, is the folder that
// took the tree's place; a folder of the tree is never taken as its own counterpart, and a
// tree given as its own is left whole. Links are never followed. Nothing there is no
// failure. Returns whether nothing of the tree is left. Throws Error. A folder's files of the
// mark `markName` (see setMark) are asked about only once everything else in it went and the
// folder may go: a folder kept, or one killed while it is pruned, keeps its mark.
bool pruneTree(const RootHandle::Entry& entry, const RootHandle::Entry* counterpart, const MayGo& mayGo,
               const std::filesystem::path& shownAs, std::string_view markName = {});

// Tests only: runs in pruneTree each time an entry has been looked at, before anything is
// decided about it or done to it, with the folder it is in (open) and its name; a test
// swaps another item in at that name at that moment.
void setPruneLookHookForTesting(std::function<void(int folder, const std::string& name)> hook);

// A short text an item carries about itself: the extended attribute "user.<name>" of the
// item, or, on a file system without extended attributes, for a folder, a hidden file inside
// it: the first of ".<name>", ".<name>-2" … ".<name>-8" that is free there (and in the folder
// open as `alsoFreeIn`, when given: one about to be copied into it), never one that stands
// there already, which may be the user's or a mark copied in with the folder (a file has no
// other place for it). `item` is open on the item (for reading will do). Error when it cannot
// be set (EEXIST: every such name is taken); a file system without extended attributes leaves
// a file unmarked (false). The file a folder's mark is kept in is recorded in `made`.
bool setMark(int item, bool isFolder, std::string_view name, std::string_view value, MadeItems* made,
             int alsoFreeIn = -1);
// What the item keeps at the mark's places, whatever it says: the attribute first, then each
// regular file of a mark's names and length in the folder, in the order of the names.
std::vector<std::string> readMarks(int item, bool isFolder, std::string_view name);
// The names of the files a folder's mark may be kept in where there are no extended attributes.
std::vector<std::string> markFileNames(std::string_view name);
// Removes the mark that reads `value`; none there is no failure (nor is a mark that cannot
// be removed: it only describes the item). A folder's file of a mark's name that holds
// anything else is not the mark, and stays; the one removed is forgotten by `made`.
void removeMark(int item, bool isFolder, std::string_view name, std::string_view value, MadeItems* made = nullptr);

// Announces on the folder open as `folder` (for reading) that an item is about to be made in
// it, before it has a name: the extended attribute "user.<name>.<key>" holding `value`,
// taken off with withdraw() once the item carries a mark of its own. What a process killed
// in between left at a name is known by it. False where the folder keeps no extended
// attributes; Error when it cannot be set.
bool announce(int folder, std::string_view name, std::string_view key, std::string_view value);
void withdraw(int folder, std::string_view name, std::string_view key);
// The announcements on the folder, by key.
std::map<std::string, std::string> announcements(int folder, std::string_view name);

// Tests only: every extended attribute is refused as by a file system without them.
void setExtendedAttributesRefusedForTesting(bool refused);

// The process that holds a lock another waits for, as far as the system says: its number
// (0 when the system does not say), its name, and whether it is stopped (Ctrl+Z).
struct LockHolder {
    pid_t process = 0;
    std::string name;
    bool stopped = false;
};

// An exclusive advisory lock (flock) on a folder, held while the object lives. Other
// processes and other locks of this process on the same folder wait for it.
class FolderLock {
public:
    // Told once, before the wait, when another holds the lock.
    using WaitNotice = std::function<void(const LockHolder& holder)>;
    // Blocks until the lock is held on the folder open (for reading) as `folder`.
    // Throws Error when it cannot be taken.
    FolderLock(UniqueFd folder, const std::filesystem::path& shownAs, const WaitNotice& waiting = {});
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    UniqueFd fd_;
};

}  // namespace platform::foundation::files
