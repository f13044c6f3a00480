#pragma once
// Stands in for the programs the freedesktop tools hand things to (browser, mail
// program, folder viewer): a script that records each invocation's arguments as one line.
// The scoped desktop puts the tools in their plain ("generic") mode with this script as
// the browser, no display, and XDG data and config folders of the test's own, so no
// program or setting of the machine takes part.
#include "support/temp_dir.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace gwtest::desktop {

class DesktopRecorder {
public:
    DesktopRecorder();

    const std::filesystem::path& scriptPath() const { return script_; }
    // Every invocation so far: its arguments in order.
    std::vector<std::vector<std::string>> invocations() const;
    // Waits until at least `count` invocations are recorded; false at the deadline.
    bool waitForInvocations(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;

private:
    TempDir dir_;
    std::filesystem::path script_;
    std::filesystem::path log_;
};

// While it lives: no desktop named, no display, BROWSER = the recorder, XDG folders in a
// scratch folder (data, config and their system lists), so that xdg-open falls back to
// $BROWSER and xdg-mime finds only what the test writes.
class ScopedPlainDesktop {
public:
    explicit ScopedPlainDesktop(const DesktopRecorder& recorder);
    ~ScopedPlainDesktop();

    // Names the recorder as the mailto handler (a desktop file and mimeapps.list in the
    // scratch folders), and gives a display name so that xdg-open uses the handler.
    void useRecorderAsMailHandler();

private:
    const DesktopRecorder& recorder_;
    TempDir dir_;
    std::vector<std::unique_ptr<ScopedEnv>> env_;
};

}  // namespace gwtest::desktop
