#include "app/engine/writing_boundary.hpp"

#include "app/foundation/localized_string.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"

namespace gw {

namespace fs = std::filesystem;
namespace pf = platform::foundation;

namespace {

fs::path folderPath(const fs::path& path) {
    const auto normal = path.lexically_normal();
    return normal.has_filename() ? normal : normal.parent_path();
}

}  // namespace

OutsideWritingBoundaryError::OutsideWritingBoundaryError(const fs::path& location, const fs::path& leadsTo,
                                                         const fs::path& root)
    : std::runtime_error(LocalizedString::text("writing.outside-root", location.string(), leadsTo.string()) + " " +
                         LocalizedString::text("writing.outside-root.root", root.string())) {}

WritingBoundary::WritingBoundary(const fs::path& root) {
    try {
        root_ = pf::files::resolvedPath(root);
    } catch (const pf::Error&) {
        // A root behind a loop of links: nothing resolves into it, so everything is refused.
        root_ = root.lexically_normal();
    }
}

bool WritingBoundary::contains(const fs::path& folder) const {
    try {
        return pf::files::isAtOrBelow(pf::files::resolvedPath(folder), root_);
    } catch (const pf::Error&) {
        return false;  // a chain of links too long to follow leads nowhere we can vouch for
    }
}

void WritingBoundary::checkFolder(const fs::path& folder) const {
    const auto location = folderPath(folder);
    fs::path leadsTo;
    try {
        leadsTo = pf::files::resolvedPath(location);
    } catch (const pf::Error&) {
        throw OutsideWritingBoundaryError(location, location, root_);
    }
    if (!pf::files::isAtOrBelow(leadsTo, root_)) throw OutsideWritingBoundaryError(location, leadsTo, root_);
}

void WritingBoundary::checkFile(const fs::path& file) const { checkFolder(folderPath(file).parent_path()); }

void WritingBoundary::checkPlan(const FolderDefinition& folder) const {
    checkFolder(folder.outputDirectory.fsPath());
    for (const auto& image : folder.imageDefinitions) checkFile(image.outputDirectory.fsPath());
    for (const auto& subfolder : folder.subfolderDefinitions) checkPlan(subfolder);
}

}  // namespace gw
