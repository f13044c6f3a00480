#pragma once
// Stands in for the platform's "move to Trash": the user's Trash in the freedesktop
// layout (the home Trash under $XDG_DATA_HOME/Trash for what lies on the file system of
// that folder, wherever the home folder is; a Trash folder at the top of other file
// systems), with the info file beside it, so that file managers list the item and can put
// it back where it was.
#include "platform/foundation/root_handle.hpp"

#include <filesystem>
#include <functional>

namespace platform::foundation::files {

// Moves the entry (a symbolic link itself, not its target), which stands at `path`, to
// the Trash: it is renamed from the folder it was opened in, never looked up again by
// its path. Returns where it now lies in the Trash's "files" folder; its own name when
// that is free there, else the name numbered before its extension. Error when the Trash
// cannot take it: the home Trash cannot be made, or the item lies on another file
// system that has no Trash folder at its top (none is made there), or a link stands at
// the name of one of the Trash's own folders (it would lead the item elsewhere), or it
// cannot be moved. The item then stays where it was. The Trash's folders are opened once,
// one beneath the other, and the item moves into the folder that was opened.
std::filesystem::path moveToTrash(const RootHandle::Entry& item, const std::filesystem::path& path);

// Whether a Trash that could take the item at `path` already holds an item of the same
// name. An item whose name is free there keeps it in the Trash; otherwise the Trash
// numbers it in a way of its own.
bool trashHoldsName(const std::filesystem::path& path);

// Whether `folder` is a Trash folder: the home Trash, or one a file system keeps at its
// top (".Trash", ".Trash-<uid>").
bool isTrashFolder(const std::filesystem::path& folder);

// Whether `path` is a Trash folder or lies inside one, once symbolic links are followed.
bool isInTrash(const std::filesystem::path& path);

// Tests only: runs each time the Trash that takes an item has been found, before the item
// moves into it (to change what stands at the Trash's name at that moment).
void setTrashFoundHookForTesting(std::function<void()> hook);

}  // namespace platform::foundation::files
