#pragma once
// The folder a run may write into and nowhere else: the command line's granted root.
// Every location is judged by where it leads once symbolic links are followed, so a
// catalog, an asset folder or any folder below them that is a link out of the root is
// refused before anything is written, and again right before each folder and file is
// written, in case a link was put in place meanwhile.
#include "app/definitions/folder_definition.hpp"

#include <filesystem>
#include <memory>
#include <stdexcept>

namespace gw {

class OutsideWritingBoundaryError : public std::runtime_error {
public:
    OutsideWritingBoundaryError(const std::filesystem::path& location, const std::filesystem::path& leadsTo,
                                const std::filesystem::path& root);
};

class WritingBoundary {
public:
    // `root` is resolved once, here.
    explicit WritingBoundary(const std::filesystem::path& root);
    const std::filesystem::path& root() const { return root_; }

    // Whether the folder leads to the root or below it.
    bool contains(const std::filesystem::path& folder) const;
    // Throws OutsideWritingBoundaryError when the folder leads outside the root.
    void checkFolder(const std::filesystem::path& folder) const;
    // A file is written by renaming a new one onto its name, which replaces a link
    // instead of following it: only the folder it is written in must lie inside.
    void checkFile(const std::filesystem::path& file) const;
    // Every folder and file of a planned catalog.
    void checkPlan(const FolderDefinition& folder) const;

private:
    std::filesystem::path root_;
};

using WritingBoundaryPtr = std::shared_ptr<const WritingBoundary>;

}  // namespace gw
