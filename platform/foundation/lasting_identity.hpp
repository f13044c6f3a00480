#pragma once
// Knowing an item again in a later process, when its numbers may have changed meanwhile. A
// disk attached again under another device number (a USB disk in another port, disks found in
// another order at a boot, an overlay mounted again after another took its number) keeps each
// item's inode and moment of birth; an overlay copies a folder of its lower layer up when it is
// first written in, which gives it a later moment of birth; a file system that numbers items as
// it meets them (exFAT, FAT, most FUSE file systems) keeps neither across a mount. What is
// recorded of an item, and how an item found at its place later is told from another.
#include "platform/foundation/folder_swap.hpp"

#include <sys/stat.h>

#include <compare>
#include <cstdint>
#include <optional>
#include <string>

namespace platform::foundation::files {

// A moment as a file system keeps it.
struct Moment {
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    auto operator<=>(const Moment&) const = default;
};

struct RecordedIdentity {
    ItemIdentity numbers;
    // Where the file system keeps one: an item made later at the same numbers never shares it.
    std::optional<Moment> born;
    // The file system's own identity where it has one that does not follow the device number
    // (ext4 and btrfs take it from the file system's UUID).
    std::optional<std::uint64_t> fileSystem;
    // The mount it was seen on, where the kernel numbers mounts without ever giving a number
    // again, with the boot that numbered it: within one mount, numbers given as items are met
    // still tell items apart.
    std::optional<std::string> mount;
};

// What can be recorded now of the item open as `fd` (O_PATH will do), which `item` describes.
RecordedIdentity identityOf(int fd, const struct stat& item);

enum class Recognition {
    same,     // the item recorded
    other,    // another item
    unknown,  // nothing left that could tell (its numbers given afresh, and no moment of birth)
};

// Whether the item open as `fd` (O_PATH will do), which `found` describes, is the one
// recorded. A device number that changed alone never makes it another item: the same inode
// with the same moment of birth is the same item, an inode of another moment of birth another
// (save for an overlay's copy-up, born later at the same inode), and with no moments to
// compare, the same inode on a file system that says it is the same one is the same item.
Recognition recognise(const RecordedIdentity& recorded, int fd, const struct stat& found);

}  // namespace platform::foundation::files
