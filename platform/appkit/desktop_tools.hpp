#pragma once
// Running the desktop's freedesktop tools (xdg-open, xdg-email, xdg-mime): each argument
// is its own argv entry and no shell is involved, so nothing in a path or a text is ever
// read as shell syntax.
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform::appkit::desktop_tools {

// Starts `argv[0]` (looked up on PATH) and returns at once; the child is reaped in the
// background. False when it could not be started.
bool spawnDetached(const std::vector<std::string>& argv);
// The same, and `onExit` is told on the reaping thread whether the program exited with
// status 0 (not called when it could not be started).
bool spawnDetached(const std::vector<std::string>& argv, std::function<void(bool succeeded)> onExit);

// Runs `argv[0]` to its end and returns what it wrote on standard output; none when it
// could not be started or did not exit with status 0.
std::optional<std::string> runCapturingOutput(const std::vector<std::string>& argv);

}  // namespace platform::appkit::desktop_tools
