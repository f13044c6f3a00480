#pragma once
// The mark a run gives what it has in flight under a hidden name beside the folder it
// belongs to, so that a later run can tell a leftover of a killed run from anything else:
// a name can be given by anyone (a user's ".Logo.png.backup", a sync tool's copy), a mark
// that names the process, the moment it started and the item's own identity cannot be
// come by. It is kept on the item (see files::setMark) while the item is in flight, and
// taken off when the item takes its own name again.
#include "platform/foundation/folder_swap.hpp"
#include "platform/foundation/lasting_identity.hpp"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gw {

// What the item stands for while it is in flight.
enum class InFlightKind {
    // The old content of a folder, set aside until the run ends: it goes back to its name.
    replaced,
    // The new content of a folder, written before it takes the name.
    writing,
    // A file being written, before it takes its name.
    temporary,
};

// The kind as the mark's text and a hidden name in flight say it.
std::string_view inFlightKindText(InFlightKind kind);

// A run as a later one can tell whether it may still be at work: the process (by its
// number and the moment it started, so that the number given to another process later
// does not count) on this boot of the machine, and the user it ran as.
struct RunIdentity {
    std::string boot;
    std::uint64_t process = 0;
    std::uint64_t started = 0;
    uid_t user = 0;

    // This process.
    static RunIdentity current();
    // Whether the run may still be at work: the same boot, and its process still running
    // (not a zombie) since the same moment.
    bool mayStillRun() const;
};

struct InFlightMark {
    RunIdentity run;
    InFlightKind kind = InFlightKind::writing;
    // The item that carries it: a copy (made by anyone) is not what the run left.
    platform::foundation::files::ItemIdentity item;
    // The name it stands in for, in the same folder.
    std::string original;
    // What else tells the item once its numbers were given afresh (see files::RecordedIdentity);
    // none in marks made before they were recorded.
    std::optional<platform::foundation::files::Moment> born;
    std::optional<std::uint64_t> fileSystem;
    std::optional<std::string> mount;

    platform::foundation::files::RecordedIdentity identity() const { return {item, born, fileSystem, mount}; }

    std::string text() const;
    // None for text that is no mark, and for a mark whose name is no plain item name: a
    // name such as ".." or "a/b" would lead a later run out of the folder it recovers.
    static std::optional<InFlightMark> parse(std::string_view text);
    // Whether the text begins as a mark does (parse says whether it is a whole one).
    static bool looksLikeOne(std::string_view text);
};

// The name of an item in a folder: not empty, "." or "..", and holding no "/", NUL or
// line break.
bool isPlainItemName(std::string_view name);

// A hidden name a run gives what it has in flight beside the item it stands in for:
// ".<original>.<kind>-<process>-<n>".
struct InFlightName {
    std::string original;
    InFlightKind kind = InFlightKind::writing;
    std::uint64_t process = 0;
};
// None for any other name (a temporary file's name is not one of these).
std::optional<InFlightName> parseInFlightName(std::string_view name);
// Whether `name` is the hidden name a run gives the item its mark describes.
bool isNameGivenFor(std::string_view name, const InFlightMark& mark);

// The name of the mark (see files::setMark).
inline constexpr std::string_view kInFlightMarkName = "glyphwright.in-flight";

// The mark this process gives the item open as `fd`, which `item` describes.
InFlightMark markOfThisRun(InFlightKind kind, int fd, const struct stat& item, std::string original);

}  // namespace gw
