#pragma once
// The user's desktop workspace: handing a URL to the application the desktop chooses
// for it (xdg-open), and showing files in the desktop's file manager (the freedesktop
// FileManager1 service on the session bus, else the folder opened with xdg-open).
#include "platform/foundation/url.hpp"

#include <functional>
#include <string>
#include <vector>

namespace platform::appkit {

class Workspace {
public:
    // Starts the desktop's opener for the URL (no shell involved) and answers whether it
    // could be started; the opener runs on without being waited for. Store links
    // ("macappstore:") are opened as their https twin: no program here handles that scheme.
    static bool open(const foundation::URL& url);
    static bool open(const std::string& urlText);
    // The same, and `opened` is told whether the opener handed the URL over: false when
    // it could not be started (told before this returns) or ended in failure (no program
    // for the URL, or the program failed; told on a worker thread). A browser the opener waits for may hold the answer
    // back until it ends.
    using OpenCompletion = std::function<void(bool opened)>;
    static void open(const foundation::URL& url, OpenCompletion opened);

    // The text handed to the opener for a URL text: the https twin of a store link (same
    // host, path and query), any other text unchanged.
    static std::string openableText(const std::string& urlText);

    // How a reveal reached the user.
    enum class RevealRoute {
        fileManager,  // the session bus's file manager was asked to show the items
        folderOpened,  // no file manager answered: each parent folder was opened
        failed,        // neither worked (no bus and no opener), or nothing to show
    };
    using RevealCompletion = std::function<void(RevealRoute)>;

    // Shows the items selected in the desktop's file manager. Runs off the calling
    // thread (a file manager may take seconds to start); `completion`, when given, runs
    // on that worker thread once the route is known.
    static void activateFileViewerSelecting(const std::vector<foundation::URL>& urls,
                                            RevealCompletion completion = {});
    // The same, waited for on the calling thread.
    static RevealRoute revealSelecting(const std::vector<foundation::URL>& urls);
};

}  // namespace platform::appkit
