#include "app/engine/replaced_item.hpp"

#include "app/engine/catalog_search.hpp"
#include "app/engine/writing_boundary.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"
#include "platform/foundation/date.hpp"
#include "platform/foundation/trash.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <ctime>
#include <string_view>

namespace gw {

namespace pf = platform::foundation;
namespace fs = std::filesystem;

namespace {

// The longest prefix of `text` of at most `bytes` bytes that does not cut a character.
std::string utf8Prefix(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
    return text.substr(0, bytes);
}

// "<name> (replaced <date> <time>)<extension>", free beside `place` and in the Trash
// that would take it: a name a person reads as the old one, which keeps its extension (a
// catalog stays a catalog, and no folder scan takes pictures from it). Runs within one
// second number their names after the time ("… 01.38.56 2)"), since the Trash's own
// numbering would cut into the time. Short enough for the Trash's info file beside it.
fs::path replacedSibling(const fs::path& place, const WritingBoundary& boundary) {
    const std::string name = place.filename().string();
    const auto dot = name.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot != 0;
    const std::string stem = hasExtension ? name.substr(0, dot) : name;
    const std::string extension = hasExtension ? name.substr(dot) : std::string();
    const std::string stamp = pf::Date::fromTimeIntervalSince1970(static_cast<double>(std::time(nullptr))).localFileNameStamp();
    constexpr std::size_t kNameMax = 255 - std::string_view(".trashinfo").size();
    for (int number = 1;; ++number) {
        const std::string suffix = number == 1 ? fmt::format(" (replaced {})", stamp)
                                               : fmt::format(" (replaced {} {})", stamp, number);
        const std::size_t room = kNameMax - std::min(kNameMax, suffix.size() + extension.size());
        const auto candidate = place.parent_path() / (utf8Prefix(stem, room) + suffix + extension);
        if (!boundary.exists(candidate) && !pf::files::trashHoldsName(candidate)) return candidate;
    }
}

}  // namespace

ReplacedItem keepReplaced(const pf::URL& original, const fs::path& kept, const WritingBoundary& boundary) {
    ReplacedItem item;
    item.original = original;
    auto place = original.fsPath().lexically_normal();
    if (!place.has_filename()) place = place.parent_path();
    fs::path at = kept;
    // Taken to a name of its own only while that is free: nothing is renamed onto.
    for (int attempt = 0; attempt < 3 && at == kept; ++attempt) {
        const auto visible = replacedSibling(place, boundary);
        try {
            boundary.renameIfFree(kept, visible);
            at = visible;
        } catch (const std::exception& failure) {
            Logger::log(fmt::format("Unable to rename {} to {}: {}", kept.string(), visible.string(), failure.what()));
        }
    }
    // Kept, it is no longer in flight: the mark goes once it has a name a later run leaves
    // alone, so that a kill in between leaves it hidden and marked, or visible.
    try {
        if (at != kept) boundary.unmark(at);
    } catch (const std::exception& failure) {
        Logger::log(fmt::format("Unable to take the mark off {}: {}", at.string(), failure.what()));
    }
    try {
        item.keptAt = boundary.moveToTrash(at);
        item.inTrash = true;
    } catch (const std::exception& failure) {
        item.keptAt = at;
        item.trashFailure = failure.what();
    }
    return item;
}

bool ReplacedItem::isCatalog() const { return isAssetCatalog(original); }

bool ReplacedItem::isFromAnInterruptedRun() const { return left || unrecognised || !restoredFrom.empty(); }

std::string ReplacedItem::description() const {
    const std::string what = original.path();
    if (unrecognised) return LocalizedString::text("writing.leftover.unrecognised", keptAt.string(), what);
    if (left) {
        if (!inTrash) {
            return LocalizedString::text("writing.leftover.kept", what, keptAt.string()) + " " +
                   LocalizedString::text("writing.replaced.trash-refused", trashFailure);
        }
        if (keptAt.empty()) return LocalizedString::text("writing.leftover.trashed-somewhere", what);
        return LocalizedString::text("writing.leftover.trashed", what, keptAt.string());
    }
    if (!restoredFrom.empty()) {
        const std::string leftover = restoredFrom.string();
        if (!inTrash) {
            return LocalizedString::text("writing.recovered.kept", {leftover, what, keptAt.string()}) + " " +
                   LocalizedString::text("writing.replaced.trash-refused", trashFailure);
        }
        if (keptAt.empty()) return LocalizedString::text("writing.recovered.trashed-somewhere", leftover, what);
        return LocalizedString::text("writing.recovered.trashed", {leftover, what, keptAt.string()});
    }
    if (!inTrash) {
        return LocalizedString::text("writing.replaced.kept", what, keptAt.string()) + " " +
               LocalizedString::text("writing.replaced.trash-refused", trashFailure);
    }
    if (keptAt.empty()) return LocalizedString::text("writing.replaced.trashed-somewhere", what);
    return LocalizedString::text("writing.replaced.trashed", what, keptAt.string());
}

}  // namespace gw
