#include "app/engine/interrupted_writing.hpp"

#include "app/engine/catalog_search.hpp"
#include "app/engine/writing_boundary.hpp"
#include "app/foundation/logger.hpp"
#include "platform/foundation/folder_swap.hpp"
#include "platform/foundation/url.hpp"

#include <fmt/format.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <fstream>
#include <limits>
#include <stdexcept>
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

void logFailure(const std::string& what, const std::exception& error) {
    Logger::log(fmt::format("{}: {}", what, error.what()));
}

using Kind = WritingBoundary::Kind;

// Whether the process that gave a hidden name may still be at work on it: it is running
// (this one included), and is no zombie. A number that another process took since only
// makes a leftover wait for a later run.
bool isRunning(std::uint64_t process) {
    if (process == 0 || process > static_cast<std::uint64_t>(INT_MAX)) return false;
    const auto pid = static_cast<pid_t>(process);
    if (::kill(pid, 0) != 0 && errno != EPERM) return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    // "<pid> (<name>) <state> ...", where the name may hold anything, ")" included.
    const auto close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'Z';
}

// Leftovers of a run that died: what it set aside goes back to its name. What stands
// there is kept, not removed: the killed run's half-written output cannot be told from a
// folder of the user's beside a leftover that only carries the name. Only a real folder
// goes back: a link at a catalog's or set's name would lead every later run wherever it
// points, outside the catalog, and a file is neither; they keep their hidden names.
std::vector<ReplacedItem> putBack(const fs::path& folder, const std::vector<std::string>& replaced,
                                  const WritingBoundary& boundary) {
    std::vector<ReplacedItem> kept;
    for (const auto& aside : replaced) {
        const auto leftover = folder / aside;
        const auto original = folder / parseInFlightName(aside)->original;
        try {
            if (boundary.kindOf(leftover) != Kind::folder) {
                Logger::log("Left " + leftover.string() + " as it is: it is no folder an interrupted run set aside");
                continue;
            }
            std::optional<ReplacedItem> madeWay;
            if (boundary.exists(original)) {
                madeWay = keepReplaced(pf::URL::fileURL(original, true), original, boundary);
                if (boundary.exists(original)) {
                    Logger::log(fmt::format("Unable to put back {}: {} cannot be moved out of the way",
                                            leftover.string(), original.string()));
                    continue;
                }
            }
            boundary.renameIfFree(leftover, original);
            Logger::log("Put back " + original.string() + " from an interrupted run");
            if (madeWay) {
                madeWay->restoredFrom = leftover;
                kept.push_back(std::move(*madeWay));
            }
        } catch (const std::exception& failure) {
            Logger::log(fmt::format("Unable to put back {}: {}", original.string(), failure.what()));
        }
    }
    return kept;
}

void removeLeftover(const fs::path& path, const WritingBoundary& boundary) {
    try {
        boundary.removeTree(path);
    } catch (const std::exception& failure) {
        logFailure("Unable to remove " + path.string(), failure);
    }
}

void recoverFolder(const fs::path& folder, int depth, const WritingBoundary& boundary,
                   std::vector<ReplacedItem>& kept) {
    if (depth > 32) return;
    std::vector<std::string> replaced;
    std::vector<fs::path> subfolders;
    try {
        for (const auto& item : boundary.list(folder)) {
            const auto parsed = parseInFlightName(item.name);
            if (parsed && isRunning(parsed->process)) continue;
            if (parsed && parsed->kind == InFlightKind::replaced) {
                replaced.push_back(item.name);
            } else if (parsed || isAtomicWriteLeftover(item.name)) {
                removeLeftover(folder / item.name, boundary);
            } else if (item.kind == Kind::folder) {
                subfolders.push_back(folder / item.name);
            }
        }
    } catch (const std::exception& failure) {
        logFailure("Unable to list " + folder.string(), failure);
        return;
    }
    auto madeWay = putBack(folder, replaced, boundary);
    kept.insert(kept.end(), madeWay.begin(), madeWay.end());
    for (const auto& subfolder : subfolders) {
        recoverFolder(subfolder, depth + 1, boundary, kept);
    }
}

}  // namespace

fs::path inFlightSibling(const fs::path& path, InFlightKind kind, const WritingBoundary& boundary) {
    static std::atomic<unsigned> counter{0};
    for (;;) {
        const auto candidate = path.parent_path() / fmt::format(".{}.{}-{}-{}", path.filename().string(),
                                                                kindText(kind), ::getpid(), counter.fetch_add(1));
        if (!boundary.exists(candidate)) return candidate;
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
        if (kindName != kindText(kind)) continue;
        const auto digits = name.substr(pidDash + 1, lastDash - pidDash - 1);
        std::uint64_t process = 0;
        // More digits than any number holds: no process has it.
        if (std::from_chars(digits.data(), digits.data() + digits.size(), process).ec != std::errc()) {
            process = std::numeric_limits<std::uint64_t>::max();
        }
        return InFlightName{std::string(name.substr(1, dot - 1)), kind, process};
    }
    return std::nullopt;
}

void discardTree(const fs::path& path, const WritingBoundary& boundary) {
    if (!boundary.exists(path)) return;
    const auto discarded = inFlightSibling(path, InFlightKind::discarded, boundary);
    try {
        boundary.rename(path, discarded);
    } catch (const OutsideWritingBoundaryError&) {
        throw;
    } catch (const std::exception& failure) {
        throw std::runtime_error("Unable to remove " + path.string() + ": " + failure.what());
    }
    removeLeftover(discarded, boundary);
}

std::vector<ReplacedItem> recoverInterruptedWriting(const fs::path& outputDirectory, const WritingBoundary& boundary) {
    std::vector<ReplacedItem> kept;
    try {
        if (!boundary.leadsToFolder(outputDirectory)) return kept;
        std::vector<fs::path> catalogs;
        // The output chosen inside a catalog (or a catalog itself): that catalog is written.
        if (auto enclosing = enclosingAssetCatalog(pf::URL::fileURL(outputDirectory / "Assets.xcassets", true))) {
            catalogs.push_back(enclosing->fsPath());
        }
        // The output folder's own leftovers first: a catalog set aside whole goes back
        // before its content is looked at.
        std::vector<std::string> replaced;
        for (const auto& item : boundary.list(outputDirectory)) {
            const auto parsed = parseInFlightName(item.name);
            if (!parsed || !parsed->original.ends_with(".xcassets") || isRunning(parsed->process)) continue;
            if (parsed->kind == InFlightKind::replaced) {
                replaced.push_back(item.name);
            } else {
                removeLeftover(outputDirectory / item.name, boundary);
            }
        }
        kept = putBack(outputDirectory, replaced, boundary);
        for (const auto& item : boundary.list(outputDirectory)) {
            if (item.name.front() != '.' && item.name.ends_with(".xcassets") &&
                boundary.leadsToFolder(outputDirectory / item.name)) {
                catalogs.push_back(outputDirectory / item.name);
            }
        }
        for (const auto& catalog : catalogs) {
            if (boundary.contains(catalog)) recoverFolder(catalog, 0, boundary, kept);
        }
    } catch (const std::exception& failure) {
        logFailure("Unable to recover what an interrupted run left in " + outputDirectory.string(), failure);
    }
    return kept;
}

}  // namespace gw
