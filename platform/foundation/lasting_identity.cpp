#include "platform/foundation/lasting_identity.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <fstream>

// The kernel's mount numbers that are never given again (Linux 6.8), where the headers predate them.
#ifndef STATX_MNT_ID_UNIQUE
#define STATX_MNT_ID_UNIQUE 0x00004000U
#endif

namespace platform::foundation::files {

namespace {

constexpr unsigned long kOverlay = 0x794c7630;

const std::string& bootIdentity() {
    static const std::string boot = [] {
        std::ifstream in("/proc/sys/kernel/random/boot_id");
        std::string read;
        std::getline(in, read);
        return read;
    }();
    return boot;
}

bool isOverlay(int fd) {
    struct statfs facts {};
    return ::fstatfs(fd, &facts) == 0 && static_cast<unsigned long>(facts.f_type) == kOverlay;
}

}  // namespace

RecordedIdentity identityOf(int fd, const struct stat& item) {
    RecordedIdentity identity;
    identity.numbers = ItemIdentity::of(item);
    struct statx facts {};
    if (::statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT, STATX_BTIME | STATX_MNT_ID_UNIQUE,
                &facts) == 0) {
        if ((facts.stx_mask & STATX_BTIME) != 0) identity.born = Moment{facts.stx_btime.tv_sec, facts.stx_btime.tv_nsec};
        if ((facts.stx_mask & STATX_MNT_ID_UNIQUE) != 0 && !bootIdentity().empty()) {
            identity.mount = std::to_string(facts.stx_mnt_id) + "@" + bootIdentity();
        }
    }
    struct statfs system {};
    if (::fstatfs(fd, &system) == 0) {
        std::uint64_t id = 0;
        static_assert(sizeof system.f_fsid == 2 * sizeof(std::uint32_t));
        const auto* halves = reinterpret_cast<const std::uint32_t*>(&system.f_fsid);
        id = halves[0] | (static_cast<std::uint64_t>(halves[1]) << 32);
        if (id != 0) identity.fileSystem = id;
    }
    return identity;
}

Recognition recognise(const RecordedIdentity& recorded, int fd, const struct stat& found) {
    const RecordedIdentity now = identityOf(fd, found);
    const bool sameInode = recorded.numbers.inode == now.numbers.inode;
    const bool sameNumbers = recorded.numbers == now.numbers;
    const bool lasting = identitiesLastAcrossMounts(fd);
    if (recorded.born && now.born) {
        if (*recorded.born == *now.born) return sameInode || !lasting ? Recognition::same : Recognition::other;
        // An overlay copies a folder of its lower layer up when it is first written in: the
        // same folder at the same inode, born again later.
        if (sameInode && *now.born > *recorded.born && isOverlay(fd)) return Recognition::same;
        return Recognition::other;
    }
    if (!lasting) {
        // Numbers given as items are met tell an item only within the mount that gave them.
        if (recorded.mount && now.mount) {
            if (*recorded.mount != *now.mount) return Recognition::unknown;
            return sameNumbers ? Recognition::same : Recognition::other;
        }
        return sameNumbers ? Recognition::same : Recognition::unknown;
    }
    if (sameNumbers) return Recognition::same;
    if (!sameInode) return Recognition::other;
    // The same inode on another device: the same disk attached again under another number,
    // when its file system says it is the same one.
    if (recorded.fileSystem && now.fileSystem && *recorded.fileSystem == *now.fileSystem) return Recognition::same;
    return Recognition::unknown;
}

}  // namespace platform::foundation::files
