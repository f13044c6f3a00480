#include "app/engine/interrupted_writing.hpp"

#include "app/engine/catalog_search.hpp"
#include "app/engine/writing_boundary.hpp"
#include "app/foundation/logger.hpp"
#include "platform/foundation/folder_swap.hpp"
#include "platform/foundation/url.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <atomic>
#include <system_error>
#include <vector>

namespace gw {

namespace fs = std::filesystem;
namespace pf = platform::foundation;

namespace {

constexpr std::string_view kindText(InFlightKind kind) {
    switch (kind) {
    case InFlightKind::replaced: return "replaced";
    case InFlightKind::writing: return "writing";
    case InFlightKind::discarded: return "discarded";
    }
    return "discarded";
}

bool itemExists(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

bool allDigits(std::string_view text) {
    if (text.empty()) return false;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

bool isAlphanumeric(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// ".<file>.XXXXXX" beside a Contents.json or picture being written atomically.
bool isAtomicWriteLeftover(std::string_view name) {
    if (name.size() < 9 || name.front() != '.' || name[name.size() - 7] != '.') return false;
    for (std::size_t i = name.size() - 6; i < name.size(); ++i) {
        if (!isAlphanumeric(name[i])) return false;
    }
    const auto file = name.substr(1, name.size() - 8);
    return file == "Contents.json" || file.ends_with(".png") || file.ends_with(".pdf");
}

void logFailure(const std::string& what, const std::error_code& error) {
    Logger::log(fmt::format("{}: {}", what, error.message()));
}

// Leftovers of a run that died: what it set aside goes back in place of what it left half written.
void putBack(const fs::path& folder, const std::vector<fs::path>& replaced) {
    for (const auto& aside : replaced) {
        const auto original = folder / parseInFlightName(aside.filename().string())->original;
        try {
            discardTree(original);
            fs::rename(aside, original);
            Logger::log("Put back " + original.string() + " from an interrupted run");
        } catch (const std::exception& failure) {
            Logger::log(fmt::format("Unable to put back {}: {}", original.string(), failure.what()));
        }
    }
}

void removeLeftover(const fs::path& path) {
    std::error_code removal;
    fs::remove_all(path, removal);
    if (removal) logFailure("Unable to remove " + path.string(), removal);
}

void recoverFolder(const fs::path& folder, int depth) {
    if (depth > 32) return;
    std::error_code error;
    std::vector<fs::path> replaced;
    std::vector<fs::path> subfolders;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const auto path = it->path();
        const auto name = path.filename().string();
        const auto parsed = parseInFlightName(name);
        if (parsed && parsed->kind == InFlightKind::replaced) {
            replaced.push_back(path);
        } else if (parsed || isAtomicWriteLeftover(name)) {
            removeLeftover(path);
        } else if (it->is_directory(error) && !it->is_symlink(error)) {
            subfolders.push_back(path);
        }
    }
    if (error) {
        logFailure("Unable to list " + folder.string(), error);
        return;
    }
    putBack(folder, replaced);
    for (const auto& subfolder : subfolders) {
        recoverFolder(subfolder, depth + 1);
    }
}

}  // namespace

fs::path inFlightSibling(const fs::path& path, InFlightKind kind) {
    static std::atomic<unsigned> counter{0};
    for (;;) {
        const auto candidate = path.parent_path() / fmt::format(".{}.{}-{}-{}", path.filename().string(),
                                                                kindText(kind), ::getpid(), counter.fetch_add(1));
        if (!itemExists(candidate)) return candidate;
    }
}

std::optional<InFlightName> parseInFlightName(std::string_view name) {
    if (name.size() < 2 || name.front() != '.') return std::nullopt;
    // "-<pid>-<n>" at the end.
    const auto lastDash = name.rfind('-');
    if (lastDash == std::string_view::npos || !allDigits(name.substr(lastDash + 1))) return std::nullopt;
    const auto pidDash = name.rfind('-', lastDash - 1);
    if (pidDash == std::string_view::npos || !allDigits(name.substr(pidDash + 1, lastDash - pidDash - 1)))
        return std::nullopt;
    const auto dot = name.rfind('.', pidDash);
    if (dot == std::string_view::npos || dot < 2) return std::nullopt;
    const auto kindName = name.substr(dot + 1, pidDash - dot - 1);
    for (const auto kind : {InFlightKind::replaced, InFlightKind::writing, InFlightKind::discarded}) {
        if (kindName == kindText(kind)) return InFlightName{std::string(name.substr(1, dot - 1)), kind};
    }
    return std::nullopt;
}

void discardTree(const fs::path& path) {
    if (!itemExists(path)) return;
    const auto discarded = inFlightSibling(path, InFlightKind::discarded);
    std::error_code error;
    fs::rename(path, discarded, error);
    if (error) throw std::system_error(error, "Unable to remove " + path.string());
    fs::remove_all(discarded, error);
    if (error) logFailure("Unable to remove " + discarded.string(), error);
}

void recoverInterruptedWriting(const fs::path& outputDirectory, const WritingBoundary* boundary) {
    std::error_code error;
    if (!fs::is_directory(outputDirectory, error)) return;
    std::vector<fs::path> catalogs;
    // The output chosen inside a catalog (or a catalog itself): that catalog is written.
    if (auto enclosing = enclosingAssetCatalog(pf::URL::fileURL(outputDirectory / "Assets.xcassets", true))) {
        catalogs.push_back(enclosing->fsPath());
    }
    // The output folder's own leftovers first: a catalog set aside whole goes back
    // before its content is looked at.
    std::vector<fs::path> replaced;
    for (fs::directory_iterator it(outputDirectory, error), end; !error && it != end; it.increment(error)) {
        const auto name = it->path().filename().string();
        const auto parsed = parseInFlightName(name);
        if (!parsed || !parsed->original.ends_with(".xcassets")) continue;
        if (parsed->kind == InFlightKind::replaced) {
            replaced.push_back(it->path());
        } else {
            removeLeftover(it->path());
        }
    }
    putBack(outputDirectory, replaced);
    for (fs::directory_iterator it(outputDirectory, error), end; !error && it != end; it.increment(error)) {
        const auto name = it->path().filename().string();
        if (name.front() != '.' && name.ends_with(".xcassets") && it->is_directory(error)) catalogs.push_back(it->path());
    }
    for (const auto& catalog : catalogs) {
        if (!boundary || boundary->contains(catalog)) recoverFolder(catalog, 0);
    }
}

}  // namespace gw
