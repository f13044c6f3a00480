#include "app/engine/interrupted_writing.hpp"

#include "app/engine/catalog_search.hpp"
#include "app/engine/writing_boundary.hpp"
#include "app/foundation/logger.hpp"
#include "platform/foundation/url.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <optional>
#include <set>
#include <string_view>

namespace gw {

namespace fs = std::filesystem;
namespace pf = platform::foundation;

namespace {

void logFailure(const std::string& what, const std::exception& error) {
    Logger::log(fmt::format("{}: {}", what, error.what()));
}

using Kind = WritingBoundary::Kind;

struct Leftover {
    fs::path path;
    InFlightMark mark;
    // The announcement it is known by, where it carries no mark: it is the one thing that
    // tells the folder from the user's, so it stays until the folder has left its name.
    std::optional<std::string> announcement;
};

// The mark that makes `item` of `folder` a leftover of a killed run this run may resolve:
// the mark of a run of this user that no longer runs, given to this very item, which
// belongs to this user (the superuser's runs act on what they set aside of anyone's).
// `text` gets what the item keeps where a mark is kept, whatever it says.
std::optional<InFlightMark> leftoverMark(const fs::path& folder, const WritingBoundary::Item& item,
                                         const WritingBoundary& boundary, std::string& text) {
    text.clear();
    if (item.kind != Kind::folder && item.kind != Kind::file) return std::nullopt;
    const auto path = folder / item.name;
    auto mark = boundary.markOn(path, &text);
    if (!mark) {
        // Written as ours but naming no item beside it (".." or "."): it would lead out of
        // the folder recovered. (A mark copied onto another item is quietly none.)
        if (!text.empty() && InFlightMark::looksLikeOne(text) && !InFlightMark::parse(text)) {
            Logger::log("Left " + path.string() + " as it is: its in-flight mark names no item beside it");
        }
        return std::nullopt;
    }
    if (mark->run.mayStillRun()) return std::nullopt;
    const uid_t user = ::geteuid();
    if (mark->run.user != user || (item.owner != user && user != 0)) {
        Logger::log("Left " + path.string() + " as it is: it belongs to another user");
        return std::nullopt;
    }
    return mark;
}

// A folder that carries, under the very name a killed run of this user gave what it set aside,
// that run's mark for another item: what the run set aside, its numbers given afresh with
// nothing left to prove it (or a copy of it). It stays where it is, but is never left hidden
// unsaid.
std::optional<InFlightMark> seemsSetAside(const WritingBoundary::Item& item, const std::string& text) {
    if (item.kind != Kind::folder || text.empty()) return std::nullopt;
    auto mark = InFlightMark::parse(text);
    if (!mark || mark->kind != InFlightKind::replaced || !isNameGivenFor(item.name, *mark) ||
        mark->run.user != ::geteuid() || mark->run.mayStillRun()) {
        return std::nullopt;
    }
    return mark;
}

// Whether the process numbered so may be running (or may be this one).
bool processMayRun(std::uint64_t process) {
    if (process == 0 || process > static_cast<std::uint64_t>(INT_MAX)) return false;
    if (process == static_cast<std::uint64_t>(::getpid())) return true;
    return ::kill(static_cast<pid_t>(process), 0) == 0 || errno != ESRCH;
}

// A staging folder a killed run made but had not marked yet, where it could not announce it
// (a file system without extended attributes): known by the name the run gave it, with the
// number of a process that no longer runs, and holding nothing (or only the mark file it was
// making, still empty). It holds nothing of anyone's, and goes.
bool removeUnmarkedStaging(const fs::path& folder, const WritingBoundary::Item& item, const std::string& text,
                           const WritingBoundary& boundary) {
    if (item.kind != Kind::folder || !text.empty()) return false;
    const auto name = parseInFlightName(item.name);
    const uid_t user = ::geteuid();
    if (!name || name->kind != InFlightKind::writing || (item.owner != user && user != 0) ||
        processMayRun(name->process)) {
        return false;
    }
    const auto path = folder / item.name;
    const auto markFiles = platform::foundation::files::markFileNames(kInFlightMarkName);
    for (const auto& inside : boundary.list(path)) {
        if (inside.kind != Kind::file || std::find(markFiles.begin(), markFiles.end(), inside.name) == markFiles.end()) {
            return false;
        }
    }
    if (!boundary.removeEmptyFolder(path, markFiles)) return false;
    Logger::log("Removed " + path.string() + ": an interrupted run made it for " + name->original + " and left it empty");
    return true;
}

void recoverFolder(const fs::path& folder, const std::optional<std::string>& onlyFor, bool deeper, int depth,
                   const WritingBoundary& boundary, std::vector<ReplacedItem>& kept);

// A folder a killed run set aside goes back to its name. What stands there is kept, not
// removed: the killed run's half-written output cannot be told from a folder of the
// user's. Only a real folder goes back: a link at a catalog's or set's name would lead
// every later run wherever it points, outside the catalog, and a file is neither.
void putBack(const fs::path& folder, const Leftover& leftover, int depth, const WritingBoundary& boundary,
             std::vector<ReplacedItem>& kept) {
    const auto original = folder / leftover.mark.original;
    // Never outside the folder recovered (a mark's name is a plain item name).
    if (original.parent_path() != folder || !isPlainItemName(leftover.mark.original)) return;
    try {
        if (boundary.kindOf(leftover.path) != Kind::folder) {
            Logger::log("Left " + leftover.path.string() + " as it is: it is no folder an interrupted run set aside");
            return;
        }
        std::optional<ReplacedItem> madeWay;
        if (boundary.exists(original)) {
            // What the killed run left in flight in the folder that makes way (what it set aside
            // in its new content, say) is resolved first: once the folder is kept elsewhere, no
            // run looks into it again.
            if (boundary.kindOf(original) == Kind::folder) recoverFolder(original, std::nullopt, true, depth + 1, boundary, kept);
            madeWay = keepReplaced(pf::URL::fileURL(original, true), original, boundary);
            if (boundary.exists(original)) {
                Logger::log(fmt::format("Unable to put back {}: {} cannot be moved out of the way",
                                        leftover.path.string(), original.string()));
                return;
            }
        }
        boundary.putBack(leftover.path, original);
        Logger::log("Put back " + original.string() + " from an interrupted run");
        if (madeWay) {
            madeWay->restoredFrom = leftover.path;
            kept.push_back(std::move(*madeWay));
        }
    } catch (const std::exception& failure) {
        logFailure("Unable to put back " + original.string(), failure);
    }
}

// Resolves the leftovers among the hidden items of `folder` (only those in flight for
// `onlyFor`, when given), then, with `deeper`, those of its folders.
void recoverFolder(const fs::path& folder, const std::optional<std::string>& onlyFor, bool deeper, int depth,
                   const WritingBoundary& boundary, std::vector<ReplacedItem>& kept) {
    if (depth > 32) return;
    std::vector<Leftover> setAside;
    std::vector<Leftover> inFlight;
    std::set<std::string> subfolders;
    try {
        const auto items = boundary.list(folder);
        std::set<std::string> announcedNames;
        // A folder a killed run announced and made, but had not marked yet: it is empty.
        for (const auto& announced : boundary.announcedIn(folder)) {
            announcedNames.insert(announced.name);
            const auto& run = announced.mark.run;
            if (run.mayStillRun() || run.user != ::geteuid() || (onlyFor && announced.mark.original != *onlyFor)) continue;
            const auto path = folder / announced.name;
            // Announced for its own name, it would be its own counterpart: only the announcement goes.
            if (announced.name == announced.mark.original) {
                boundary.withdraw(folder, announced.key);
                continue;
            }
            const auto made = std::find_if(items.begin(), items.end(), [&](const auto& item) { return item.name == announced.name; });
            if (made != items.end() && made->kind == Kind::folder && (made->owner == ::geteuid() || ::geteuid() == 0) &&
                !boundary.markOn(path) && boundary.list(path).empty()) {
                inFlight.push_back({path, announced.mark, announced.key});
                continue;
            }
            boundary.withdraw(folder, announced.key);
        }
        for (const auto& item : items) {
            if (item.name.front() != '.') {
                if (item.kind == Kind::folder) subfolders.insert(item.name);
                continue;
            }
            std::string text;
            auto mark = leftoverMark(folder, item, boundary, text);
            if (!mark) {
                if (announcedNames.count(item.name)) continue;
                if (const auto seeming = seemsSetAside(item, text); seeming && (!onlyFor || seeming->original == *onlyFor)) {
                    ReplacedItem told;
                    told.original = pf::URL::fileURL(folder / seeming->original, true);
                    told.keptAt = folder / item.name;
                    told.unrecognised = true;
                    kept.push_back(std::move(told));
                    Logger::log("Left " + (folder / item.name).string() + " as it is: its in-flight mark names another item");
                } else if (!onlyFor || parseInFlightName(item.name).value_or(InFlightName{}).original == *onlyFor) {
                    removeUnmarkedStaging(folder, item, text, boundary);
                }
                continue;
            }
            if (onlyFor && mark->original != *onlyFor) continue;
            if (mark->original == item.name) {
                // A leftover is never its own counterpart: an item that stands at the name its
                // mark names took that name before the kill (a hidden set, say), and is no
                // longer in flight. Only the mark comes off.
                const auto path = folder / item.name;
                try {
                    boundary.unmark(path);
                    Logger::log("Took the in-flight mark off " + path.string() + ": it stands at its own name");
                } catch (const std::exception& failure) {
                    logFailure("Unable to take the in-flight mark off " + path.string(), failure);
                }
                if (item.kind == Kind::folder) subfolders.insert(item.name);
                continue;
            }
            auto& list = mark->kind == InFlightKind::replaced ? setAside : inFlight;
            list.push_back({folder / item.name, std::move(*mark)});
        }
    } catch (const std::exception& failure) {
        logFailure("Unable to list " + folder.string(), failure);
        return;
    }
    for (const auto& leftover : inFlight) {
        try {
            const auto place = folder / leftover.mark.original;
            for (auto& item : boundary.dispose(leftover.path, place, place, true)) kept.push_back(std::move(item));
            if (leftover.announcement && !boundary.exists(leftover.path)) boundary.withdraw(folder, *leftover.announcement);
        } catch (const std::exception& failure) {
            logFailure("Unable to keep " + leftover.path.string(), failure);
        }
    }
    for (const auto& leftover : setAside) {
        putBack(folder, leftover, depth, boundary, kept);
        subfolders.insert(leftover.mark.original);
    }
    if (!deeper) return;
    for (const auto& name : subfolders) {
        const auto subfolder = folder / name;
        try {
            // A folder that took its name as a kill came carries a mark that is no longer true.
            if (const auto mark = boundary.markOn(subfolder); mark && !mark->run.mayStillRun()) boundary.unmark(subfolder);
        } catch (const std::exception& failure) {
            logFailure("Unable to look at " + subfolder.string(), failure);
        }
        recoverFolder(subfolder, std::nullopt, true, depth + 1, boundary, kept);
    }
}

}  // namespace

fs::path inFlightSibling(const fs::path& path, InFlightKind kind, const WritingBoundary& boundary) {
    static std::atomic<unsigned> counter{0};
    for (;;) {
        const auto candidate = path.parent_path() / fmt::format(".{}.{}-{}-{}", path.filename().string(),
                                                                inFlightKindText(kind), ::getpid(), counter.fetch_add(1));
        if (!boundary.exists(candidate)) return candidate;
    }
}

std::vector<ReplacedItem> recoverInterruptedWriting(const fs::path& outputDirectory, const WritingBoundary& boundary) {
    std::vector<ReplacedItem> kept;
    try {
        if (!boundary.leadsToFolder(outputDirectory)) return kept;
        // The catalog the run writes: the one the output lies in, or the one it makes.
        auto catalog = (outputDirectory / "Assets.xcassets").lexically_normal();
        if (auto enclosing = enclosingAssetCatalog(pf::URL::fileURL(catalog, true))) catalog = enclosing->fsPath();
        catalog = catalog.lexically_normal();
        if (!catalog.has_filename()) catalog = catalog.parent_path();
        // The catalog's own leftovers first: a catalog set aside whole goes back before its
        // content is looked at.
        recoverFolder(catalog.parent_path(), catalog.filename().string(), false, 0, boundary, kept);
        if (boundary.kindOf(catalog) == Kind::folder && boundary.contains(catalog)) {
            recoverFolder(catalog, std::nullopt, true, 0, boundary, kept);
        }
    } catch (const std::exception& failure) {
        logFailure("Unable to recover what an interrupted run left in " + outputDirectory.string(), failure);
    }
    return kept;
}

}  // namespace gw
