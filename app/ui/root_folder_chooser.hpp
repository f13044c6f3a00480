#pragma once
// Installs the folder panel the command-line switch asks the user with.
namespace gw {

void installRootFolderChooser();

}  // namespace gw
