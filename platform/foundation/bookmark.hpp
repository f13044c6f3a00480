#pragma once
// Remembering a file or folder across runs: bookmark data records the path and the
// item's identity (see files::RecordedIdentity: device and inode, its moment of birth where
// the file system keeps one, which an item made later at the same path never shares, whatever
// inode it gets, and what tells it once its disk is attached under another device number);
// stands in for the platform's security-scoped bookmarks. Linux has no sandbox, so "starting access" only checks the item is there.
#include "platform/foundation/root_handle.hpp"
#include "platform/foundation/url.hpp"
#include "platform/foundation/value.hpp"

#include <string>

namespace platform::foundation::bookmarks {

// Bookmark data of an existing item. Error (fileNotFound, or POSIX) when the item
// cannot be examined. Where the file system numbers items afresh at each mount (exFAT),
// the item is known again by its moment of birth where the file system keeps one, and
// otherwise only within the mount it was bookmarked on.
Data create(const URL& url);

struct Resolved {
    URL url;
    // The path still exists but now names a different item (replaced, or a new item
    // of the same name): the bookmark should be made anew.
    bool isStale = false;
};

// Resolves bookmark data. Data that is not a bookmark, or whose item no longer
// exists: Error(bookmarkResolveFailed).
Resolved resolve(const Data& data);

// A bookmarked folder opened once, for use by its descriptor.
struct OpenedFolder {
    enum class Standing {
        same,        // the folder bookmarked: `folder` holds it
        gone,        // nothing at the path (removed, moved or renamed)
        replaced,    // another item stands at the path now
        // A folder stands at the path that nothing left can tell from the one bookmarked or
        // another: mounted anew on a file system whose numbers do not last across a mount
        // (exFAT), or at its inode on a disk attached again under another device number,
        // where neither a moment of birth nor the file system's identity tells it.
        unrecognised,
        notAFolder,  // the bookmark, or what stands at the path, is no folder
        unusable,    // it could not be opened or read (`reason` says why)
    };
    Standing standing = Standing::gone;
    URL url;                 // the path the bookmark names
    files::UniqueFd folder;  // O_PATH; set only when `same`
    int error = 0;           // unusable: the errno
    std::string reason;      // unusable: its text
};

// Opens the folder that bookmark data names, links followed as `create` followed them,
// and checks the identity of what was opened, not of what the path names before or
// after: a folder swapped in at the path at any moment is never taken for the bookmarked
// one. A folder counts as usable only when it can be read. Error(bookmarkResolveFailed)
// for data that is not a bookmark.
OpenedFolder openFolder(const Data& data);

// True when the item exists and can be read; nothing to release on Linux.
bool startAccessingSecurityScopedResource(const URL& url);
void stopAccessingSecurityScopedResource(const URL& url);

}  // namespace platform::foundation::bookmarks
