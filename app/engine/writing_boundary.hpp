#pragma once
// The folder a run may write into and nowhere else: the command line's granted root, or
// everything for the window, which grants nothing. The root is held open by the kernel,
// and every step that writes beneath it (folders made, files written, renames, swaps,
// removals, the lock, the move to the Trash) goes through this class, which resolves the
// folder the step acts in beneath the root at the moment it acts. A link put in place or
// swapped in at any time therefore cannot lead a step outside: the step is refused with
// OutsideWritingBoundaryError and nothing is written there. The checks (checkFolder,
// checkPlan) refuse a plan early and name where it leads, before anything is set aside.
//
// It is also the one gate through which anything leaves its place: a boundary made for a
// run (forRun) records by identity every folder, file and link the run makes, and only
// those are ever unlinked (dispose, removeIfMade). Anything else that must go (what the
// user keeps in a folder the run replaces, a leftover of a killed run) is kept: renamed
// beside under a name that says it was replaced and moved to the Trash, and told.
#include "app/definitions/folder_definition.hpp"
#include "app/engine/in_flight_mark.hpp"
#include "app/engine/replaced_item.hpp"
#include "platform/foundation/folder_swap.hpp"
#include "platform/foundation/root_handle.hpp"

#include <filesystem>
#include <array>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace gw {

class OutsideWritingBoundaryError : public std::runtime_error {
public:
    OutsideWritingBoundaryError(const std::filesystem::path& location, const std::filesystem::path& leadsTo,
                                const std::filesystem::path& root);
};

class WritingBoundary;
using WritingBoundaryPtr = std::shared_ptr<const WritingBoundary>;

class WritingBoundary {
public:
    // `root` is resolved and opened once, here. The platform's Error when it cannot be
    // opened (gone, no folder, behind a loop of links).
    explicit WritingBoundary(const std::filesystem::path& root);
    // The root already held open (checked by whoever opened it); never opened again here.
    explicit WritingBoundary(platform::foundation::files::RootHandlePtr root);
    // Everything: what the window writes, which has no root.
    static const WritingBoundaryPtr& everything();
    // The same root for one run, with a record of its own of what the run makes, sets
    // aside and keeps.
    WritingBoundaryPtr forRun() const;

    const std::filesystem::path& root() const { return handle_->path(); }
    const platform::foundation::files::RootHandlePtr& handle() const { return handle_; }

    // Whether the folder leads to the root or below it. The platform's Error when no file
    // descriptor is left to look (here and in the checks below).
    bool contains(const std::filesystem::path& folder) const;
    // Throws OutsideWritingBoundaryError when the folder leads outside the root.
    void checkFolder(const std::filesystem::path& folder) const;
    // A file is written by renaming a new one onto its name, which replaces a link
    // instead of following it: only the folder it is written in must lie inside.
    void checkFile(const std::filesystem::path& file) const;
    // Every folder and file of a planned catalog.
    void checkPlan(const FolderDefinition& folder) const;

    // --- the steps that write; each throws OutsideWritingBoundaryError when the
    // folder it acts in leads outside the root, and the platform's Error otherwise.

    enum class Kind { missing, folder, link, file, other };
    // What stands at the path itself (a link is not followed).
    Kind kindOf(const std::filesystem::path& path) const;
    bool exists(const std::filesystem::path& path) const { return kindOf(path) != Kind::missing; }
    // Whether the path leads to a folder, links followed.
    bool leadsToFolder(const std::filesystem::path& path) const;
    struct Item {
        std::string name;
        Kind kind;
        uid_t owner = 0;
    };
    // What the folder holds (links followed on the way to it); Error when it cannot be listed.
    std::vector<Item> list(const std::filesystem::path& folder) const;

    // Makes the folder and its missing parents; an existing folder is fine.
    void createFolders(const std::filesystem::path& folder) const;
    // Writes the file atomically (see files::writeAtomicallyAt with a mark): a temporary
    // name it may take on the way carries this run's mark.
    void writeFile(const std::filesystem::path& file, std::string_view bytes) const;
    // Whether a file could be made in the folder of `file` now; the platform's Error when
    // no file descriptor is left to try.
    bool canCreateFileBeside(const std::filesystem::path& file) const;
    // Renames `from` to `to` only while nothing stands at `to`; the platform's Error
    // (EEXIST) otherwise. No step renames onto anything: that would remove it.
    void renameIfFree(const std::filesystem::path& from, const std::filesystem::path& to) const;
    // See files::exchangeOrMove.
    bool exchangeOrMove(const std::filesystem::path& from, const std::filesystem::path& to,
                        const std::filesystem::path& aside) const;
    // Makes `staging` (a free hidden name beside `place`), marked as this run's new content
    // of `place`: a copy of the folder at `place` (its files carried over as the same files
    // where the file system allows, see files::copyTree) or, with nothing there, an empty
    // folder. What this run set aside inside is left out and answered, relative to `place`,
    // to follow its folder once the staged one has taken its place.
    std::vector<std::filesystem::path> stage(const std::filesystem::path& place,
                                             const std::filesystem::path& staging) const;
    // Sets the folder at `path` aside at the free hidden name `aside`, marked as its old
    // content (so that a later run puts it back should this one be killed). What cannot be
    // marked is not moved: the platform's Error, naming it.
    void setAside(const std::filesystem::path& path, const std::filesystem::path& aside) const;
    // Puts a folder this run set aside back at `path` (nothing may stand there).
    void putBack(const std::filesystem::path& aside, const std::filesystem::path& path) const;
    // Whether the item is one this run set aside.
    bool isSetAside(const struct stat& item) const;
    // Marks the item at `path` as in flight for `original` in this run; false where the
    // file system keeps no mark on it (a file without extended attributes, a link), the
    // platform's Error when the mark cannot be set. `original` defaults to the item's own name.
    bool mark(const std::filesystem::path& path, InFlightKind kind, const std::string& original = {}) const;
    // The mark on the item at `path` (any run's), when it carries one for itself. `text`,
    // when given, gets the text kept where the item keeps a mark, whatever it says.
    std::optional<InFlightMark> markOn(const std::filesystem::path& path, std::string* text = nullptr) const;
    // Takes the mark off the item at `path`, whichever run gave it.
    void unmark(const std::filesystem::path& path) const;
    // What runs announced they were about to make in `folder` (see files::announce): the
    // name of each item, and the mark of the run, for the item's place.
    struct Announcement {
        std::string key;
        std::string name;
        InFlightMark mark;
    };
    std::vector<Announcement> announcedIn(const std::filesystem::path& folder) const;
    void withdraw(const std::filesystem::path& folder, const std::string& key) const;

    // --- the gate: the only ways anything leaves its place.

    // Removes the item at `path` and everything below it that this run made; everything
    // else of it stays and, as it must leave its place, is kept (see keepReplaced) and
    // answered. `replacedBy`, when given, is what took the item's place: an entry of the
    // item whose own file stands on there, whose place there holds a file the run wrote or
    // a copy it made of the entry as it is, or a folder that was emptied and whose place
    // there is a folder the run made, goes too. `keptFor` is where what is kept stood (the
    // item's own place by default); `left` marks what a killed run left. Nothing there:
    // nothing to do. An item is never the counterpart of itself: where `replacedBy` names
    // the item (the same device and inode), nothing is done, and the log says so.
    std::vector<ReplacedItem> dispose(const std::filesystem::path& path,
                                      const std::optional<std::filesystem::path>& replacedBy = std::nullopt,
                                      const std::optional<std::filesystem::path>& keptFor = std::nullopt,
                                      bool left = false) const;
    // Removes the item at `path` with what is below it only as far as this run made it;
    // anything else stays where it is. Whether nothing is left there.
    bool removeIfMade(const std::filesystem::path& path) const;
    // Removes the folder at `path` when it holds nothing, or nothing but empty files of the
    // names `emptyFiles` (which go with it): nothing of anyone's is lost. Whether it went.
    bool removeEmptyFolder(const std::filesystem::path& path, const std::vector<std::string>& emptyFiles) const;
    // A folder this run may not write, with the reason (an existing one that cannot be set
    // aside to be replaced): checkNotRefused throws that reason for it, so that only the
    // folders that write it fail.
    void refuse(const std::filesystem::path& folder, std::exception_ptr why) const;
    void checkNotRefused(const std::filesystem::path& folder) const;
    // The items kept while the run wrote, for the run to tell; taken once.
    void report(std::vector<ReplacedItem> kept) const;
    std::vector<ReplacedItem> takeReported() const;

    // The folder's lock (see files::FolderLock), held while the object lives. A lock another
    // process holds is waited for, once told to the notice (see setLockWaitNotice).
    std::unique_ptr<platform::foundation::files::FolderLock> lock(const std::filesystem::path& folder) const;
    // Told, with the folder and its holder, when a run of this boundary (or made from it by
    // forRun) must wait for another's lock.
    using LockWaitNotice =
        std::function<void(const std::filesystem::path& folder, const platform::foundation::files::LockHolder& holder)>;
    void setLockWaitNotice(LockWaitNotice notice) { lockWaitNotice_ = std::move(notice); }
    // Moves the item to the Trash (see files::moveToTrash); returns where it went.
    std::filesystem::path moveToTrash(const std::filesystem::path& path) const;

    // Tests only: runs as each step above begins, before it resolves the folder it acts in
    // (and so after every check a run makes), with the path the step writes, makes, moves
    // to or removes; a test swaps a link in there at that moment.
    static void setStepHookForTesting(std::function<void(const std::filesystem::path&)> hook);

    // Tests only: what this boundary's run made.
    const platform::foundation::files::MadeItems& madeItems() const { return run_->made; }

private:
    // What one run made, set aside and kept.
    struct Run {
        platform::foundation::files::MadeItems made;
        mutable std::mutex mutex;
        std::set<platform::foundation::files::ItemIdentity> setAside;
        std::vector<ReplacedItem> reported;
        std::map<std::filesystem::path, std::exception_ptr> refused;
        // Writes of one file take turns (one of these, by the file's path).
        static constexpr std::size_t kWriteTurns = 64;
        std::array<std::mutex, kWriteTurns> writeTurns;
    };
    WritingBoundary() = default;
    void record(const platform::foundation::files::RootHandle::Entry& item) const;
    // Removes what of the item at `path` may go (see dispose) and forgets it.
    enum class Pruned {
        gone,     // nothing of it is left
        partly,   // what may not go is left
        refused,  // what took its place is the item itself: nothing was touched
    };
    Pruned prune(const std::filesystem::path& path, const std::optional<std::filesystem::path>& replacedBy) const;
    // Runs a step, turning a path that leads out into OutsideWritingBoundaryError.
    template <typename Step>
    auto bounded(Step&& step) const -> decltype(step());
    platform::foundation::files::RootHandle::Entry entry(const std::filesystem::path& path) const;
    // The entry, or none when a folder on the way to it is missing.
    std::optional<platform::foundation::files::RootHandle::Entry> entryOnExistingPath(
        const std::filesystem::path& path) const;

    platform::foundation::files::RootHandlePtr handle_;
    std::shared_ptr<Run> run_ = std::make_shared<Run>();
    LockWaitNotice lockWaitNotice_;
};

}  // namespace gw
