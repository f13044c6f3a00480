#pragma once
// Remembering a file or folder across runs: bookmark data records the path and the
// item's identity (device and inode); stands in for the platform's security-scoped
// bookmarks. Linux has no sandbox, so "starting access" only checks the item is there.
#include "platform/foundation/url.hpp"
#include "platform/foundation/value.hpp"

namespace platform::foundation::bookmarks {

// Bookmark data of an existing item. Error (fileNotFound, or POSIX) when the item
// cannot be examined.
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

// True when the item exists and can be read; nothing to release on Linux.
bool startAccessingSecurityScopedResource(const URL& url);
void stopAccessingSecurityScopedResource(const URL& url);

}  // namespace platform::foundation::bookmarks
