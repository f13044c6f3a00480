#pragma once
// What an "overwrite" answer replaced, once its replacement was written: the old
// catalog or asset set is never deleted but moved to the user's Trash, or, where the
// Trash cannot take it, kept beside the new one under a name that says it was replaced.
#include "platform/foundation/url.hpp"

#include <filesystem>
#include <string>

namespace gw {

struct ReplacedItem {
    // Where it stood, and where its replacement stands now.
    platform::foundation::URL original;
    // Where it lies now; empty when it went to the Trash but the Trash did not say where.
    std::filesystem::path keptAt;
    bool inTrash = false;
    // Why the Trash could not take it (when it did not).
    std::string trashFailure;

    // A whole catalog (else an asset set inside one).
    bool isCatalog() const;
    // One sentence saying where it went.
    std::string description() const;
};

}  // namespace gw
