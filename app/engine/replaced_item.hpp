#pragma once
// What had to leave its place and was not made by the run that moved it: what an
// "overwrite" answer replaced, once its replacement was written; what the user kept in a
// folder the run replaced; what stood where a killed run's set-aside folder was put back;
// what a killed run left in flight. It is never deleted but moved to the user's Trash,
// or, where the Trash cannot take it, kept beside under a name that says it was replaced.
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
    // Set when it is what a killed run left in flight for `original`.
    bool left = false;
    // Set when it only seems to be what a killed run set aside for `original`: it carries
    // such a run's mark under the name that run gave it, but the mark names another item.
    // Neither moved nor kept: it stays at `keptAt`, and the user is told.
    bool unrecognised = false;

    // A whole catalog (else an asset set inside one).
    bool isCatalog() const;
    // Not what the run was asked to do, but what an earlier, killed one left behind.
    bool isFromAnInterruptedRun() const;
    // One sentence saying where it went.
    std::string description() const;
};

// Keeps what stands at `kept` (set aside for `original`, or standing at its name): its mark
// is taken off, it is renamed beside `original` under a name that says it was replaced
// (only while that name is free), then moved to the Trash; where the Trash cannot take
// it, it stays beside under that name, or failing that where it was.
ReplacedItem keepReplaced(const platform::foundation::URL& original, const std::filesystem::path& kept,
                          const WritingBoundary& boundary);

}  // namespace gw
