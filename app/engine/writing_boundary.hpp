#pragma once
// The folder a run may write into and nowhere else: the command line's granted root, or
// everything for the window, which grants nothing. The root is held open by the kernel,
// and every step that writes beneath it (folders made, files written, renames, swaps,
// removals, the lock, the move to the Trash) goes through this class, which resolves the
// folder the step acts in beneath the root at the moment it acts. A link put in place or
// swapped in at any time therefore cannot lead a step outside: the step is refused with
// OutsideWritingBoundaryError and nothing is written there. The checks (checkFolder,
// checkPlan) refuse a plan early and name where it leads, before anything is set aside.
#include "app/definitions/folder_definition.hpp"
#include "platform/foundation/folder_swap.hpp"
#include "platform/foundation/root_handle.hpp"

#include <filesystem>
#include <functional>
#include <memory>
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
    };
    // What the folder holds (links followed on the way to it); Error when it cannot be listed.
    std::vector<Item> list(const std::filesystem::path& folder) const;

    // Makes the folder and its missing parents; an existing folder is fine.
    void createFolders(const std::filesystem::path& folder) const;
    // Writes the file atomically (see files::writeAtomically).
    void writeFile(const std::filesystem::path& file, std::string_view bytes) const;
    // Whether a file could be made in the folder of `file` now; the platform's Error when
    // no file descriptor is left to try.
    bool canCreateFileBeside(const std::filesystem::path& file) const;
    // Renames `from` to `to`, replacing what stands there as rename(2) does.
    void rename(const std::filesystem::path& from, const std::filesystem::path& to) const;
    // Renames `from` to `to` only while nothing stands at `to`; the platform's Error
    // (EEXIST) otherwise.
    void renameIfFree(const std::filesystem::path& from, const std::filesystem::path& to) const;
    // See files::exchangeOrMove.
    bool exchangeOrMove(const std::filesystem::path& from, const std::filesystem::path& to,
                        const std::filesystem::path& aside) const;
    // Removes the path and everything below it; nothing there is no failure.
    void removeTree(const std::filesystem::path& path) const;
    // Removes a file, or a folder that is empty.
    void remove(const std::filesystem::path& path) const;
    // See files::copyTree.
    void copyTree(const std::filesystem::path& from, const std::filesystem::path& to,
                  const std::function<bool(const std::string& name)>& skip) const;
    // The folder's lock (see files::FolderLock), held while the object lives.
    std::unique_ptr<platform::foundation::files::FolderLock> lock(const std::filesystem::path& folder) const;
    // Moves the item to the Trash (see files::moveToTrash); returns where it went.
    std::filesystem::path moveToTrash(const std::filesystem::path& path) const;

    // Tests only: runs as each step above begins, before it resolves the folder it acts in
    // (and so after every check a run makes), with the path the step writes, makes, moves
    // to or removes; a test swaps a link in there at that moment.
    static void setStepHookForTesting(std::function<void(const std::filesystem::path&)> hook);

private:
    WritingBoundary() = default;
    // Runs a step, turning a path that leads out into OutsideWritingBoundaryError.
    template <typename Step>
    auto bounded(Step&& step) const -> decltype(step());
    platform::foundation::files::RootHandle::Entry entry(const std::filesystem::path& path) const;
    // The entry, or none when a folder on the way to it is missing.
    std::optional<platform::foundation::files::RootHandle::Entry> entryOnExistingPath(
        const std::filesystem::path& path) const;

    platform::foundation::files::RootHandlePtr handle_;
};

}  // namespace gw
