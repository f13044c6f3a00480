#pragma once
// Stands in for the platform's "move to Trash": the user's Trash in the freedesktop
// layout (the home Trash under $XDG_DATA_HOME/Trash, a Trash folder at the top of other
// file systems), through GLib, so that file managers list
// the item and can put it back where it was.
#include <filesystem>

namespace platform::foundation::files {

// Moves the file or folder at `path` (a symbolic link itself, not its target) to the
// Trash. Returns where it now lies in the Trash's "files" folder, found by the item's
// identity (so a name the Trash had to change is still found); empty when that cannot
// be found out although the move succeeded. Error when the Trash cannot take it: the
// home Trash cannot be made, or the item lies on another file system that has no Trash
// folder at its top (none is made there), or it cannot be moved. The item then stays
// where it was.
std::filesystem::path moveToTrash(const std::filesystem::path& path);

// Whether a Trash that could take the item at `path` already holds an item of the same
// name. An item whose name is free there keeps it in the Trash; otherwise the Trash
// numbers it in a way of its own.
bool trashHoldsName(const std::filesystem::path& path);

// Whether `folder` is a Trash folder: the home Trash, or one a file system keeps at its
// top (".Trash", ".Trash-<uid>").
bool isTrashFolder(const std::filesystem::path& folder);

// Whether `path` is a Trash folder or lies inside one, once symbolic links are followed.
bool isInTrash(const std::filesystem::path& path);

}  // namespace platform::foundation::files
