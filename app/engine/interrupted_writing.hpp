#pragma once
// The hidden names a run gives what it has in flight beside the folder it belongs to,
// and the clean-up that a later run does first when an earlier one was killed.
//
//   .<name>.replaced-<pid>-<n>   the old content of <name>, set aside until the run ends
//   .<name>.writing-<pid>-<n>    the new content of <name>, written before it takes the
//                                name (after a swap: the old content, about to go)
//   .<name>.discarded-<pid>-<n>  anything on its way out
//   .<file>.XXXXXX               a file being written atomically
//
// A run that ends resolves all of them. One found later belongs to a run that was
// killed, unless its process still runs: the set-aside content goes back to its name,
// and everything else is removed. What stands at that name by then is not removed but
// kept like a replaced folder (see ReplacedItem): it may be what the killed run had
// half written, but a folder that merely carries such a name (a stale leftover, or a
// copy a sync tool brought over) would otherwise cost the user their current one.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/engine/replaced_item.hpp"
#include "app/engine/writing_boundary.hpp"

namespace gw {

enum class InFlightKind { replaced, writing, discarded };

struct InFlightName {
    std::string original;
    InFlightKind kind;
    // The process that gave the name.
    std::uint64_t process = 0;
};

// A free hidden name beside `path` for the given purpose.
std::filesystem::path inFlightSibling(const std::filesystem::path& path, InFlightKind kind,
                                      const WritingBoundary& boundary = *WritingBoundary::everything());
// The longest addition such a name makes to the original name, in bytes.
constexpr std::size_t kInFlightNameOverhead = 1 + 11 + 1 + 10 + 1 + 10;
// What a hidden name stands for; none for any other name.
std::optional<InFlightName> parseInFlightName(std::string_view name);

// Moves `path` out of the way under a discarded name, then removes it. Nothing there
// is no failure. Throws the file system's error when it cannot be moved; a removal that
// fails after the move is only logged (the next run removes it).
void discardTree(const std::filesystem::path& path, const WritingBoundary& boundary = *WritingBoundary::everything());

// Resolves what killed runs left in the catalogs of `outputDirectory` (its own
// "*.xcassets" folders and the catalog that encloses it): puts back what was set aside,
// removes what was in flight. A leftover whose process still runs is left alone, and
// only a real folder is put back (a link or a file keeps its hidden name). Returns what
// stood where a folder was put back and where it went, for the user to be told. Every
// step goes through `boundary`: a catalog that leads outside it is not touched.
// Failures are logged, never thrown.
std::vector<ReplacedItem> recoverInterruptedWriting(const std::filesystem::path& outputDirectory,
                                                    const WritingBoundary& boundary = *WritingBoundary::everything());

}  // namespace gw
