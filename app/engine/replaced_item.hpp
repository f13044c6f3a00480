#pragma once
// What an "overwrite" answer replaced, once its replacement was written, or what stood
// where a killed run's set-aside folder was put back: the catalog or asset set is never
// deleted but moved to the user's Trash, or, where the Trash cannot take it, kept beside
// under a name that says it was replaced.
#include "platform/foundation/url.hpp"

#include <filesystem>
#include <string>

namespace gw {

class WritingBoundary;

struct ReplacedItem {
    // Where it stood, and where its replacement stands now.
    platform::foundation::URL original;
    // Where it lies now; empty when it went to the Trash but the Trash did not say where.
    std::filesystem::path keptAt;
    bool inTrash = false;
    // Why the Trash could not take it (when it did not).
    std::string trashFailure;
    // Set when it made way for a folder that a killed run had set aside, found under this
    // hidden name and put back at `original`.
    std::filesystem::path restoredFrom;

    // A whole catalog (else an asset set inside one).
    bool isCatalog() const;
    // One sentence saying where it went.
    std::string description() const;
};

// Keeps what stands at `kept` (set aside for `original`, or standing at its name): it is
// renamed beside it under a name that says it was replaced, then moved to the Trash; where
// the Trash cannot take it, it stays beside under that name, or failing that where it
// was.
ReplacedItem keepReplaced(const platform::foundation::URL& original, const std::filesystem::path& kept,
                          const WritingBoundary& boundary);

}  // namespace gw
