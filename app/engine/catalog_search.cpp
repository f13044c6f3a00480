#include "app/engine/catalog_search.hpp"

#include "platform/foundation/error.hpp"
#include "platform/foundation/trash.hpp"

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace gw {

namespace pf = platform::foundation;
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kCatalogSuffix = ".xcassets";
constexpr std::string_view kStickerPackSuffix = ".stickerpack";

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool hasCatalogName(std::string_view name) {
    return endsWith(name, kCatalogSuffix) || endsWith(name, kStickerPackSuffix);
}

// The non-empty components of a path, root first.
std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start <= path.size()) {
        auto end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) result.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

// Every path below `folder`, at any depth, hidden ones included, relative to it.
// Symbolic links to folders are listed but not entered, and neither is a Trash: what lies
// there was thrown away, and a location found in it would lead the output into the Trash.
std::vector<std::string> subpaths(const pf::URL& folder) {
    std::vector<std::string> result;
    std::error_code error;
    const fs::path root = folder.fsPath();
    fs::recursive_directory_iterator it(root, fs::directory_options::none, error);
    if (error) throw pf::Error::posix(error.value(), "Unable to list " + root.string());
    for (const fs::recursive_directory_iterator end; it != end; it.increment(error)) {
        if (error) throw pf::Error::posix(error.value(), "Unable to list " + root.string());
        std::error_code kind;
        if (it->is_directory(kind) && !it->is_symlink(kind) && pf::files::isTrashFolder(it->path())) {
            it.disable_recursion_pending();
            continue;
        }
        result.push_back(it->path().lexically_relative(root).generic_string());
    }
    if (error) throw pf::Error::posix(error.value(), "Unable to list " + root.string());
    return result;
}

}  // namespace

pf::URL slashTrimmed(const pf::URL& url) {
    std::string path = url.path();
    const auto first = path.find_first_not_of('/');
    if (first == std::string::npos) return url;
    const auto last = path.find_last_not_of('/');
    path = path.substr(first, last - first + 1);
    // A path without its leading "/" is no absolute file URL of its own; keep it under
    // the root so that only its last component matters.
    return pf::URL::fileURL("/" + path, false);
}

bool isAssetCatalog(const pf::URL& url) { return hasCatalogName(slashTrimmed(url).lastPathComponent()); }

std::optional<pf::URL> firstAncestor(const pf::URL& url, std::string_view suffix) {
    std::string walked;
    for (const auto& component : components(url.path())) {
        walked += "/" + component;
        if (endsWith(component, suffix)) return pf::URL::fileURL(walked, true);
    }
    return std::nullopt;
}

bool isInsideAssetCatalog(const pf::URL& url) {
    return firstAncestor(url, "xcassets").has_value() || firstAncestor(url, "stickerpack").has_value();
}

std::optional<pf::URL> enclosingAssetCatalog(const pf::URL& url) {
    auto found = firstAncestor(url, "xcassets");
    if (!found) found = firstAncestor(url, "stickerpack");
    if (!found) return std::nullopt;
    if (components(found->path()).size() == components(url.path()).size()) return std::nullopt;
    return found;
}

std::vector<pf::URL> assetCatalogURLs(const pf::URL& folder) {
    if (isAssetCatalog(folder)) return {folder};
    std::vector<pf::URL> result;
    for (const auto& subpath : subpaths(folder)) {
        auto candidate = folder.appendingPathComponent(subpath, true);
        if (hasCatalogName(slashTrimmed(candidate).lastPathComponent())) result.push_back(std::move(candidate));
    }
    return result;
}

std::vector<pf::URL> urls(std::string_view name, const pf::URL& folder) {
    std::vector<pf::URL> result;
    for (const auto& subpath : subpaths(folder)) {
        auto candidate = folder.appendingPathComponent(subpath, true);
        if (candidate.lastPathComponent() == name) result.push_back(std::move(candidate));
    }
    return result;
}

}  // namespace gw
