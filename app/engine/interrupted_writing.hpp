#pragma once
// The hidden names a run gives what it has in flight beside the folder it belongs to,
// and the clean-up that a later run does first when an earlier one was killed.
//
//   .<name>.replaced-<pid>-<n>   the old content of <name>, set aside until the run ends
//   .<name>.writing-<pid>-<n>    the new content of <name>, written before it takes the
//                                name (after a swap: the old content, about to go)
//   .<file>.XXXXXX               a file being written atomically
//
// Each carries the run's mark while it is in flight (see InFlightMark): the name alone
// proves nothing, since anyone can give one. A run that ends resolves all of them. One
// found later is a leftover of a killed run only when it carries the mark of a run that
// no longer runs, of the same user, for the item itself; anything else is the user's and
// stays. What was set aside goes back to its name; anything else in flight goes to the
// Trash (see WritingBoundary::dispose), since a run unlinks only what it made itself.
// What stands at a name a folder goes back to is kept like a replaced folder (see
// ReplacedItem): it may be what the killed run had half written, but it may as well be
// the user's current folder.
#include <cstddef>
#include <filesystem>
#include <vector>

#include "app/engine/in_flight_mark.hpp"
#include "app/engine/replaced_item.hpp"
#include "app/engine/writing_boundary.hpp"

namespace gw {

// A free hidden name beside `path` for the given purpose.
std::filesystem::path inFlightSibling(const std::filesystem::path& path, InFlightKind kind,
                                      const WritingBoundary& boundary = *WritingBoundary::everything());
// The longest addition such a name makes to the original name, in bytes.
constexpr std::size_t kInFlightNameOverhead = 1 + 11 + 1 + 10 + 1 + 10;

// Resolves what killed runs left in the catalog a run into `outputDirectory` writes (the
// "Assets.xcassets" there, or the catalog that encloses it) and beside that catalog: puts
// back what was set aside, and keeps (in the Trash) what else was in flight. Only items
// marked by a run of this user that no longer runs count; a folder is put back only when
// it is a real folder of this user. Returns what was kept, for the user to be told.
// Every step goes through `boundary`: a catalog that leads outside it is not touched.
// Failures are logged, never thrown. Without a boundary, one with a record of its own: what
// earlier runs of the process made and removed must not make a user's file that got the
// same inode count as made here.
std::vector<ReplacedItem> recoverInterruptedWriting(const std::filesystem::path& outputDirectory,
                                                    const WritingBoundary& boundary = *WritingBoundary::everything()->forRun());

}  // namespace gw
